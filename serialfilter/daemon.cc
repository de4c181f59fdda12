#include "daemon.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include "byte_queue.h"
#include "capture/driver_protocol.h"
#include "driver_core.h"
#include "keeper_link.h"
#include "listener.h"
#include "net_port.h"
#include "platform/scoped_fd.h"
#include "ports.h"
#include "warn.h"

namespace tillcast::serialfilter {
namespace {

using tillcast::platform::ScopedFd;

constexpr size_t kMaxClients = 64;
// The printer's answers kept for a till that does not read them.
constexpr size_t kMaxToTill = 1u << 20;

uint64_t NowMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
}

// Writes as much of `buf` as the descriptor takes now.
bool Flush(int fd, std::string* buf) {
  while (!buf->empty()) {
    const ssize_t n = write(fd, buf->data(), buf->size());
    if (n > 0) {
      buf->erase(0, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
  }
  return true;
}

}  // namespace

struct Daemon::Impl {
  struct Port {
    PortConfig cfg;
    ScopedFd dev;         // pty master or FIFO
    ScopedFd slave_keep;  // keeps the pty alive while the till has it closed
    ScopedFd printer;
    bool printer_reads = false;
    uint64_t next_printer_try = 0;
    ByteQueue to_printer;
    std::string to_till;
    bool printer_gone = false;  // logged as missing, not yet back
    bool drop_warned = false;   // the one warning of this absence was written
  };
  struct Client {
    ScopedFd fd;
  };

  explicit Impl(bool hooks) : core(hooks) {}

  DriverConfig config;
  DriverCore core;
  ScopedFd listener;
  ScopedFd signals;
  std::vector<Port> ports;
  std::vector<std::unique_ptr<NetworkPort>> nets;
  std::map<int, Client> clients;  // by descriptor
  KeeperLink keeper;
  // The control socket's group (-1: the driver's own).
  gid_t socket_gid = static_cast<gid_t>(-1);
  // Ports this driver made itself (no keeper could be had): their paths
  // are removed at exit. Identity only, no descriptors.
  std::vector<HeldPort> own_paths;

  void OpenPorts(const std::string& config_path);
  void OpenPrinter(Port* p);
  bool TillMayWrite(const Port& p) const;
  void ReadPort(Port* p);
  void FlushPrinter(Port* p);
  void PrinterFailed(Port* p, const char* what);
  void DropStale(Port* p);
  void ReadPrinter(Port* p);
  void Accept();
  bool ServeClient(int fd);
  void Cleanup();
};

Daemon::Daemon() = default;
Daemon::~Daemon() {
  if (impl_) impl_->Cleanup();
}

// The ports come from the port keeper, so that they outlive this process;
// without a keeper they are made here and end with it.
void Daemon::Impl::OpenPorts(const std::string& config_path) {
  std::vector<HeldPort> held;
  std::string why;
  const bool kept = keeper.Obtain(config, config_path, &held, &why);
  if (!kept) Warn("no port keeper (%s): the ports are the driver's own and end with it", why.c_str());
  for (const PortConfig& pc : config.ports) {
    HeldPort h;
    if (kept) {
      auto it = held.begin();
      while (it != held.end() && !(it->type == pc.type && it->path == pc.path)) ++it;
      if (it == held.end()) {
        Warn("the port keeper holds no port %s; port left out", pc.path.c_str());
        continue;
      }
      h = std::move(*it);
      held.erase(it);
    } else {
      if (!CreatePort(pc, PortAccessOf(config), &h)) continue;
      HeldPort identity;
      identity.type = h.type;
      identity.path = h.path;
      identity.pty = h.pty;
      identity.fifo_dev = h.fifo_dev;
      identity.fifo_ino = h.fifo_ino;
      own_paths.push_back(std::move(identity));
    }
    if (pc.type == kPortNetwork) {
      nets.push_back(std::make_unique<NetworkPort>(pc, std::move(h.dev), config, &core));
      continue;
    }
    Port p;
    p.cfg = pc;
    p.dev = std::move(h.dev);
    p.slave_keep = std::move(h.slave_keep);
    OpenPrinter(&p);
    ports.push_back(std::move(p));
  }
}

void Daemon::Impl::OpenPrinter(Port* p) {
  if (p->cfg.printer.empty() || p->printer.valid()) return;
  const uint64_t now = NowMs();
  if (now < p->next_printer_try) return;
  p->next_printer_try = now + 1000;
  int fd = open(p->cfg.printer.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  p->printer_reads = fd >= 0 && p->cfg.type == driver::kPortSerial;
  if (fd < 0) fd = open(p->cfg.printer.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    if (!p->printer_gone) Warn("printer device %s not available: %s", p->cfg.printer.c_str(), std::strerror(errno));
    p->printer_gone = true;
    return;
  }
  if (isatty(fd)) MakeRaw(fd, p->cfg.baud, p->cfg.flow);
  p->printer.reset(fd);
  if (p->printer_gone) Warn("printer device %s is back", p->cfg.printer.c_str());
  p->printer_gone = false;
  p->drop_warned = false;
}

// A present printer that is slow holds the till back once its backlog is
// full; a printer that is missing or failed never does.
bool Daemon::Impl::TillMayWrite(const Port& p) const {
  return !p.printer.valid() || p.to_printer.size() < config.printer_backlog;
}

void Daemon::Impl::ReadPort(Port* p) {
  uint8_t buf[driver::kPayloadMax];
  for (int rounds = 0; rounds < 16 && TillMayWrite(*p); ++rounds) {
    const ssize_t n = read(p->dev.get(), buf, sizeof(buf));
    if (n <= 0) return;
    core.Capture(p->cfg.type, p->cfg.number, buf, static_cast<size_t>(n));
    if (!p->cfg.printer.empty()) p->to_printer.Append(buf, static_cast<size_t>(n), NowMs());
  }
}

void Daemon::Impl::FlushPrinter(Port* p) {
  if (p->printer.valid() && !p->to_printer.empty() && !p->to_printer.FlushTo(p->printer.get()))
    PrinterFailed(p, "writing to");
}

void Daemon::Impl::PrinterFailed(Port* p, const char* what) {
  Warn("%s printer device %s failed: %s", what, p->cfg.printer.c_str(), std::strerror(errno));
  p->printer.reset();
  p->printer_gone = true;
}

// Bytes for a printer that is not there: kept for a while (a printer
// switched off for a moment gets them), then dropped as a real port without
// a printer would lose them. One warning per absence.
void Daemon::Impl::DropStale(Port* p) {
  if (p->cfg.printer.empty() || p->printer.valid() || p->to_printer.empty()) return;
  const uint64_t now = NowMs();
  size_t dropped = 0;
  if (now > config.printer_drop_after_ms)
    dropped += p->to_printer.DropArrivedBefore(now - config.printer_drop_after_ms);
  dropped += p->to_printer.DropToLimit(config.printer_backlog);
  if (dropped > 0 && !p->drop_warned) {
    p->drop_warned = true;
    Warn("WARNING: printer device %s missing: printer-bound bytes older than %u ms are dropped (%zu so far)",
         p->cfg.printer.c_str(), config.printer_drop_after_ms, dropped);
  }
}

void Daemon::Impl::ReadPrinter(Port* p) {
  char buf[4096];
  const ssize_t n = read(p->printer.get(), buf, sizeof(buf));
  if (n > 0) {
    if (p->to_till.size() + static_cast<size_t>(n) <= kMaxToTill) p->to_till.append(buf, static_cast<size_t>(n));
    return;
  }
  if (n == 0) {
    p->printer_reads = false;  // a device without a back channel
  } else if (errno != EAGAIN && errno != EINTR) {
    PrinterFailed(p, "reading from");
  }
}

void Daemon::Impl::Accept() {
  ScopedFd fd(accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
  if (!fd.valid()) return;
  if (!PeerAllowed(fd.get(), socket_gid)) return;
  if (clients.size() >= kMaxClients) return;
  const int key = fd.get();
  clients[key].fd = std::move(fd);
}

bool Daemon::Impl::ServeClient(int fd) {
  std::vector<uint8_t> buf(driver::kMaxMessage + 1);
  iovec iov{buf.data(), buf.size()};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 4)];
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = sizeof(control);
  const ssize_t n = recvmsg(fd, &msg, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
  if (n < 0) return errno == EAGAIN || errno == EINTR;
  if (n == 0) return false;
  int passed = -1;
  for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
    const size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
    for (size_t i = 0; i < count; ++i) {
      int got = -1;
      std::memcpy(&got, CMSG_DATA(c) + i * sizeof(int), sizeof(int));
      if (passed < 0)
        passed = got;
      else
        close(got);
    }
  }
  std::string reply;
  if (msg.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) {
    if (passed >= 0) close(passed);
    reply = driver::EncodeMessage(driver::kErrInvalidParameter, nullptr, 0);
  } else {
    reply = core.Handle(fd, buf.data(), static_cast<size_t>(n), passed);
  }
  return send(fd, reply.data(), reply.size(), MSG_NOSIGNAL | MSG_DONTWAIT) == static_cast<ssize_t>(reply.size());
}

void Daemon::Impl::Cleanup() {
  for (const HeldPort& p : own_paths) RemovePortPath(p);
  own_paths.clear();
  if (listener.valid()) {
    unlink(config.socket.c_str());
    listener.reset();
  }
}

bool Daemon::Start(const DriverConfig& config, const std::string& config_path, bool test_hooks, std::string* error) {
  impl_ = std::make_unique<Impl>(test_hooks);
  Impl& d = *impl_;
  d.config = config;
  // A group that does not exist leaves the driver's own: only root and the
  // driver's user are served then.
  unsigned g = 0;
  if (ResolveGroup(config.socket_group, &g)) {
    d.socket_gid = static_cast<gid_t>(g);
  } else if (config.socket_group != "-") {
    Warn("group %s not found; the driver's own group is kept", config.socket_group.c_str());
  }
  bool in_use = false;
  if (!BindListener(config.socket, config.socket_mode, &d.listener, error, &in_use)) {
    if (in_use) *error = "another driver serves " + config.socket;
    return false;
  }
  if (d.socket_gid != static_cast<gid_t>(-1) && chown(config.socket.c_str(), static_cast<uid_t>(-1), d.socket_gid) != 0)
    Warn("cannot give %s to group %u: %s", config.socket.c_str(), static_cast<unsigned>(d.socket_gid),
         std::strerror(errno));
  chmod(config.socket.c_str(), config.socket_mode);
  d.core.HoldUnmonitored(config.capture_hold_ms, NowMs);
  d.OpenPorts(config_path);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  d.signals.reset(signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK));
  if (!d.signals.valid()) {
    *error = std::string("signalfd: ") + std::strerror(errno);
    return false;
  }
  return true;
}

int Daemon::Run() {
  Impl& d = *impl_;
  enum Kind { kSignal, kListen, kClient, kPort, kPrinter, kNet };
  struct Slot {
    Kind kind;
    int fd;
    size_t port;
    uint64_t tag;  // kNet: the network port's own tag
  };
  std::vector<pollfd> pfds;
  std::vector<Slot> slots;
  std::vector<NetworkPort::PollItem> net_items;
  uint64_t last_reap = NowMs();
  for (;;) {
    pfds.clear();
    slots.clear();
    const auto add = [&](Kind k, int fd, short events, size_t port, uint64_t tag = 0) {
      pfds.push_back({fd, events, 0});
      slots.push_back({k, fd, port, tag});
    };
    add(kSignal, d.signals.get(), POLLIN, 0);
    add(kListen, d.listener.get(), POLLIN, 0);
    for (const auto& [fd, c] : d.clients) add(kClient, fd, POLLIN, 0);
    for (size_t i = 0; i < d.ports.size(); ++i) {
      Impl::Port& p = d.ports[i];
      d.OpenPrinter(&p);
      d.FlushPrinter(&p);
      d.DropStale(&p);
      add(kPort, p.dev.get(), static_cast<short>((d.TillMayWrite(p) ? POLLIN : 0) | (p.to_till.empty() ? 0 : POLLOUT)),
          i);
      if (p.printer.valid()) {
        const short ev = static_cast<short>((p.printer_reads ? POLLIN : 0) | (p.to_printer.empty() ? 0 : POLLOUT));
        add(kPrinter, p.printer.get(), ev, i);
      }
    }
    // Network ports: their connections, and when the next of their time
    // limits is due.
    int timeout = 1000;
    const uint64_t before = NowMs();
    for (size_t i = 0; i < d.nets.size(); ++i) {
      net_items.clear();
      d.nets[i]->Collect(before, &net_items);
      for (const NetworkPort::PollItem& item : net_items) add(kNet, item.fd, item.events, i, item.tag);
      if (const int64_t due = d.nets[i]->NextDueMs(before); due >= 0 && due < timeout) timeout = static_cast<int>(due);
    }
    if (poll(pfds.data(), pfds.size(), timeout) < 0) {
      if (errno == EINTR) continue;
      Warn("poll failed: %s", std::strerror(errno));
      break;
    }
    bool stop = false;
    for (size_t i = 0; i < pfds.size() && !stop; ++i) {
      const short re = pfds[i].revents;
      if (re == 0) continue;
      const Slot& s = slots[i];
      switch (s.kind) {
        case kSignal: stop = true; break;
        case kListen: d.Accept(); break;
        case kClient:
          if (!d.ServeClient(s.fd)) {
            d.core.DropClient(s.fd);
            d.clients.erase(s.fd);
          }
          break;
        case kPort: {
          Impl::Port& p = d.ports[s.port];
          if (re & POLLIN) d.ReadPort(&p);
          if (re & POLLOUT) Flush(p.dev.get(), &p.to_till);
          d.FlushPrinter(&p);
          break;
        }
        case kPrinter: {
          Impl::Port& p = d.ports[s.port];
          if (!p.printer.valid() || p.printer.get() != s.fd) break;
          if (re & POLLIN) d.ReadPrinter(&p);
          if (re & POLLOUT) d.FlushPrinter(&p);
          // A device that hung up (a printer unplugged, the far end of a
          // pseudo-terminal closed) is gone until it can be opened again.
          if (p.printer.valid() && (re & (POLLERR | POLLNVAL | POLLHUP))) {
            errno = EIO;
            d.PrinterFailed(&p, "polling");
          }
          break;
        }
        case kNet: d.nets[s.port]->Ready(s.tag, re, NowMs()); break;
      }
    }
    if (stop) break;
    if (const uint64_t now = NowMs(); now - last_reap >= 1000) {
      last_reap = now;
      d.keeper.Reap();
    }
  }
  // A clean stop: the keeper removes the ports (unless a service manager
  // runs it), as the driver's own would be removed.
  d.keeper.Release();
  d.Cleanup();
  return 0;
}

}  // namespace tillcast::serialfilter
