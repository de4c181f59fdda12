#include "net_port.h"

#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "capture/driver_protocol.h"
#include "warn.h"

namespace tillcast::serialfilter {
namespace {

using platform::ScopedFd;

// The printer's answers kept for a till that does not read them.
constexpr size_t kMaxToTill = 1u << 20;
// Tags: the connection's id and which of its descriptors.
constexpr uint64_t kTagListener = 0;
constexpr uint64_t kSideTill = 1;
constexpr uint64_t kSidePrinter = 2;

uint64_t Tag(uint64_t id, uint64_t side) { return id << 2 | side; }

// Small writes go out as they come (a till's status request must not wait
// for the acknowledgement of its last bytes), and a peer that vanished
// without a word is noticed within about two minutes.
void TuneSocket(int fd) {
  const int one = 1, idle = 60, interval = 10, count = 6;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof(one));
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof(idle));
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof(interval));
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof(count));
}

// The kernel's buffer on each side of the driver: the till's bytes it has
// not read yet, and those the printer has not taken yet. Fixed (the system
// would let them grow to many megabytes on a fast link), so what is on its
// way between a till and its printer stays near `printer_backlog` and the
// till is held back soon after the printer stops taking bytes. Linux
// doubles the value for its bookkeeping; 256 KiB still fills a shop's LAN.
constexpr int kSocketBuffer = 128 * 1024;

int SocketError(int fd) {
  int err = 0;
  socklen_t len = sizeof(err);
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
  return err;
}

}  // namespace

NetworkPort::NetworkPort(const PortConfig& cfg, ScopedFd listener, const DriverConfig& limits, DriverCore* core)
    : cfg_(cfg),
      listener_(std::move(listener)),
      backlog_(limits.printer_backlog),
      connect_timeout_ms_(limits.printer_connect_timeout_ms),
      core_(core) {
  ParseHostPort(cfg.printer, &printer_at_);
  std::string why;
  if (!ResolveAddress(printer_at_, &printer_addr_, &why))
    Warn("network port %u: printer %s not found (%s); looked up again when the till connects", cfg_.number,
         cfg_.printer.c_str(), why.c_str());
}

bool NetworkPort::TillMaySend(const Conn& c) const { return c.failed || c.to_printer.size() < backlog_; }

void NetworkPort::Accept(uint64_t now_ms) {
  // A few at a time, so one busy port does not starve the others.
  for (int i = 0; i < 4 && conns_.size() < kMaxConnections; ++i) {
    sockaddr_storage sa{};
    socklen_t len = sizeof(sa);
    ScopedFd fd(accept4(listener_.get(), reinterpret_cast<sockaddr*>(&sa), &len, SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (!fd.valid()) return;
    TuneSocket(fd.get());
    setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &kSocketBuffer, sizeof(kSocketBuffer));
    const uint64_t id = next_id_++;
    Conn& c = conns_[id];
    c.till = std::move(fd);
    c.peer = AddressText(reinterpret_cast<sockaddr*>(&sa), len);
    c.last_till_at = now_ms;
    StartPrinter(&c, now_ms);
    if (!Advance(&c, now_ms)) conns_.erase(id);
  }
}

void NetworkPort::StartPrinter(Conn* c, uint64_t now_ms) {
  if (printer_addr_.len == 0) {
    std::string why;
    if (!ResolveAddress(printer_at_, &printer_addr_, &why)) {
      PrinterFailed(c, "not found (" + why + ")", now_ms);
      return;
    }
  }
  ScopedFd fd(socket(printer_addr_.family(), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd.valid()) {
    PrinterFailed(c, std::string("no socket: ") + std::strerror(errno), now_ms);
    return;
  }
  TuneSocket(fd.get());
  setsockopt(fd.get(), SOL_SOCKET, SO_SNDBUF, &kSocketBuffer, sizeof(kSocketBuffer));
  c->connect_due = now_ms + connect_timeout_ms_;
  int rc;
  do {
    rc = connect(fd.get(), printer_addr_.get(), printer_addr_.len);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0 && errno != EINPROGRESS) {
    PrinterFailed(c, std::strerror(errno), now_ms);
    return;
  }
  c->printer = std::move(fd);
  c->connecting = rc != 0;
}

void NetworkPort::ReadTill(Conn* c, uint64_t now_ms) {
  uint8_t buf[driver::kPayloadMax];
  for (int rounds = 0; rounds < 16 && !c->till_eof && TillMaySend(*c); ++rounds) {
    const ssize_t n = read(c->till.get(), buf, sizeof(buf));
    if (n > 0) {
      core_->Capture(driver::kPortSerial, NetworkSource(cfg_.number), buf, static_cast<size_t>(n));
      if (!c->failed) c->to_printer.Append(buf, static_cast<size_t>(n), now_ms);
      c->last_till_at = now_ms;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    // The end of what the till sends (or its connection failed: what it
    // sent before still goes to the printer).
    c->till_eof = true;
    if (n < 0) c->till_dead = true;
  }
}

void NetworkPort::WriteTill(Conn* c) {
  while (!c->to_till.empty() && !c->till_dead) {
    const ssize_t n = send(c->till.get(), c->to_till.data(), c->to_till.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      c->to_till.erase(0, static_cast<size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      return;
    } else {
      c->till_dead = true;
    }
  }
  if (c->till_dead) c->to_till.clear();
}

void NetworkPort::PrinterReady(Conn* c, short revents, uint64_t now_ms) {
  if (c->connecting) {
    if ((revents & (POLLOUT | POLLERR | POLLHUP)) == 0) return;
    if (const int err = SocketError(c->printer.get()); err != 0) {
      PrinterFailed(c, std::strerror(err), now_ms);
      return;
    }
    c->connecting = false;
    if (printer_gone_) Warn("network port %u: printer %s is back", cfg_.number, cfg_.printer.c_str());
    printer_gone_ = false;
  }
  if (revents & POLLIN) {
    char buf[4096];
    const ssize_t n = read(c->printer.get(), buf, sizeof(buf));
    if (n > 0) {
      if (!c->till_dead && c->to_till.size() + static_cast<size_t>(n) <= kMaxToTill)
        c->to_till.append(buf, static_cast<size_t>(n));
      WriteTill(c);
    } else if (n == 0) {
      if (!c->printer_shut) {
        PrinterFailed(c, "ended the connection", now_ms);
        return;
      }
      c->printer.reset();  // done: the till had finished and the printer too
      return;
    } else if (errno != EAGAIN && errno != EINTR) {
      PrinterFailed(c, std::strerror(errno), now_ms);
      return;
    }
  }
  if (!c->to_printer.empty() && !c->to_printer.FlushTo(c->printer.get())) {
    PrinterFailed(c, std::strerror(errno), now_ms);
    return;
  }
  if ((revents & (POLLERR | POLLHUP)) && (revents & POLLIN) == 0) {
    const int err = SocketError(c->printer.get());
    PrinterFailed(c, err != 0 ? std::strerror(err) : "hung up", now_ms);
  }
}

void NetworkPort::PrinterFailed(Conn* c, const std::string& why, uint64_t now_ms) {
  if (c->failed) return;
  const size_t dropped = c->to_printer.DropToLimit(0);
  if (c->printer_shut) {
    // Everything was written; only the printer's end was not seen.
    Warn("network port %u: printer %s %s after the till's connection from %s ended", cfg_.number, cfg_.printer.c_str(),
         why.c_str(), c->peer.c_str());
  } else {
    Warn(
        "network port %u: printer %s %s; the till's connection from %s is closed once what it sends is captured "
        "(%zu bytes not printed)",
        cfg_.number, cfg_.printer.c_str(), why.c_str(), c->peer.c_str(), dropped);
  }
  printer_gone_ = !c->printer_shut;
  c->failed = true;
  c->failed_at = now_ms;
  c->last_till_at = now_ms;
  c->printer.reset();
  c->connecting = false;
  // Answers already there go to the till; then it sees the end of the
  // connection (a till waiting for a status answer stops waiting).
  WriteTill(c);
  if (!c->till_dead) shutdown(c->till.get(), SHUT_WR);
}

bool NetworkPort::Advance(Conn* c, uint64_t now_ms) {
  if (c->failed) {
    if (c->till_eof) return false;
    return now_ms - c->last_till_at < kClosingQuietMs && now_ms - c->failed_at < kClosingMaxMs;
  }
  if (c->connecting && now_ms >= c->connect_due) {
    PrinterFailed(c, "did not answer within " + std::to_string(connect_timeout_ms_) + " ms", now_ms);
    return Advance(c, now_ms);
  }
  if (!c->printer.valid()) return false;  // the printer ended after the till
  if (!c->connecting && c->till_eof && c->to_printer.empty() && !c->printer_shut) {
    // All the till sent is with the printer: its end of the job.
    shutdown(c->printer.get(), SHUT_WR);
    c->printer_shut = true;
    c->finish_due = now_ms + kFinishMs;
  }
  return !(c->printer_shut && now_ms >= c->finish_due);
}

void NetworkPort::Collect(uint64_t now_ms, std::vector<PollItem>* items) {
  for (auto it = conns_.begin(); it != conns_.end();) {
    if (Advance(&it->second, now_ms)) {
      ++it;
    } else {
      it = conns_.erase(it);
    }
  }
  if (conns_.size() < kMaxConnections) items->push_back({listener_.get(), POLLIN, kTagListener});
  for (auto& [id, c] : conns_) {
    short till = 0;
    if (!c.till_eof && TillMaySend(c)) till |= POLLIN;
    if (!c.to_till.empty() && !c.till_dead) till |= POLLOUT;
    if (till != 0) items->push_back({c.till.get(), till, Tag(id, kSideTill)});
    if (c.printer.valid()) {
      short printer = c.connecting ? POLLOUT : POLLIN;
      if (!c.connecting && !c.to_printer.empty()) printer |= POLLOUT;
      items->push_back({c.printer.get(), printer, Tag(id, kSidePrinter)});
    }
  }
}

void NetworkPort::Ready(uint64_t tag, short revents, uint64_t now_ms) {
  if (tag == kTagListener) {
    Accept(now_ms);
    return;
  }
  auto it = conns_.find(tag >> 2);
  if (it == conns_.end()) return;
  Conn& c = it->second;
  if ((tag & 3) == kSideTill) {
    if (revents & (POLLIN | POLLHUP | POLLERR)) ReadTill(&c, now_ms);
    // A connection reset while it was not being read (its printer's
    // backlog full): nothing more comes from it or goes to it.
    if ((revents & POLLERR) && !c.till_eof) c.till_eof = c.till_dead = true;
    if (revents & POLLOUT) WriteTill(&c);
    // What the till just sent goes on at once.
    if (!c.failed && c.printer.valid() && !c.connecting && !c.to_printer.empty() &&
        !c.to_printer.FlushTo(c.printer.get()))
      PrinterFailed(&c, std::strerror(errno), now_ms);
  } else if (c.printer.valid()) {
    PrinterReady(&c, revents, now_ms);
  }
  if (!Advance(&c, now_ms)) conns_.erase(it);
}

int64_t NetworkPort::NextDueMs(uint64_t now_ms) const {
  int64_t next = -1;
  const auto consider = [&](uint64_t due) {
    const int64_t in = due > now_ms ? static_cast<int64_t>(due - now_ms) : 0;
    if (next < 0 || in < next) next = in;
  };
  for (const auto& [id, c] : conns_) {
    if (c.failed) {
      consider(c.last_till_at + kClosingQuietMs);
    } else if (c.connecting) {
      consider(c.connect_due);
    } else if (c.printer_shut) {
      consider(c.finish_due);
    }
  }
  return next;
}

}  // namespace tillcast::serialfilter
