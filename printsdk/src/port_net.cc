// A network receipt printer: raw ESC/POS over one TCP connection per open
// ("HOST:PORT", port 9100 when left out), as such printers take it.
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>

#include "port.h"

namespace possdk {
namespace {

constexpr int kDefaultPrinterPort = 9100;
// A printer on the shop's network answers within milliseconds; one that is
// switched off or unplugged would otherwise hold the caller for the
// system's connect time-out (minutes), on every retry.
constexpr int kConnectTimeoutMs = 2000;
// How long a close waits for the printer to end its side, so the printer
// has taken the whole document before the connection goes.
constexpr int kCloseWaitMs = 2000;

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Waits for `events` on `fd` for at most `ms`; the poll result.
int PollFor(int fd, short events, int ms, short* revents) {
  pollfd p{fd, events, 0};
  int r;
  do {
    r = ::poll(&p, 1, ms);
  } while (r < 0 && errno == EINTR);
  *revents = p.revents;
  return r;
}

class NetPort final : public Port {
 public:
  explicit NetPort(int fd) : fd_(fd) {}
  ~NetPort() override { Close(); }

  bool Write(const uint8_t* data, size_t length) override {
    size_t done = 0;
    while (done < length) {
      const ssize_t n = ::send(fd_, data + done, length - done, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) {
        done += static_cast<size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
      short revents = 0;
      const int r = PollFor(fd_, POLLOUT, kWriteStallMs, &revents);
      if (r == 0) {
        errno = ETIMEDOUT;
        return false;
      }
      if (r < 0) return false;
      if ((revents & (POLLERR | POLLNVAL)) != 0 && (revents & POLLOUT) == 0) {
        errno = EIO;
        return false;
      }
    }
    return true;
  }

  long Read(uint8_t* buffer, size_t size, int timeoutMs) override { return ReadFd(fd_, buffer, size, timeoutMs); }

  // The end of the document: our side is shut, then what the printer still
  // says is read until it ends its side (closing at once with unread
  // answers would reset the connection and could lose the document's tail).
  bool Close() override {
    if (fd_ < 0) return true;
    bool ok = ::shutdown(fd_, SHUT_WR) == 0;
    const int64_t until = NowMs() + kCloseWaitMs;
    for (int64_t left; ok && (left = until - NowMs()) > 0;) {
      short revents = 0;
      if (PollFor(fd_, POLLIN, static_cast<int>(left), &revents) <= 0) break;
      uint8_t buf[512];
      const ssize_t n = ::read(fd_, buf, sizeof buf);
      if (n == 0) break;
      if (n < 0 && errno != EINTR && errno != EAGAIN) {
        ok = false;
      }
    }
    ::close(fd_);
    fd_ = -1;
    return ok;
  }

 private:
  int fd_;
};

// "host:port", "[v6]:port", "host" (port 9100). False for an empty host or
// a port outside 1..65535.
bool SplitAddress(const std::string& address, std::string* host, std::string* port) {
  std::string rest = address;
  *port = std::to_string(kDefaultPrinterPort);
  if (!rest.empty() && rest.front() == '[') {
    const size_t close = rest.find(']');
    if (close == std::string::npos) return false;
    *host = rest.substr(1, close - 1);
    rest = rest.substr(close + 1);
    if (!rest.empty()) {
      if (rest.front() != ':') return false;
      *port = rest.substr(1);
    }
  } else if (const size_t colon = rest.find(':'); colon != std::string::npos) {
    if (rest.find(':', colon + 1) != std::string::npos) return false;  // IPv6 needs brackets
    *host = rest.substr(0, colon);
    *port = rest.substr(colon + 1);
  } else {
    *host = rest;
  }
  if (host->empty() || port->empty() || port->size() > 5 || port->find_first_not_of("0123456789") != std::string::npos)
    return false;
  const long p = std::strtol(port->c_str(), nullptr, 10);
  return p >= 1 && p <= 65535;
}

// One connection attempt with a time-out; the connected descriptor or -1
// with errno set.
int ConnectTo(const addrinfo* ai) {
  const int fd = ::socket(ai->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int rc;
  do {
    rc = ::connect(fd, ai->ai_addr, ai->ai_addrlen);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0 && errno == EINPROGRESS) {
    short revents = 0;
    const int r = PollFor(fd, POLLOUT, kConnectTimeoutMs, &revents);
    int err = 0;
    socklen_t len = sizeof err;
    if (r == 0) {
      err = ETIMEDOUT;
    } else if (r < 0 || ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) {
      err = errno;
    }
    rc = err == 0 ? 0 : -1;
    errno = err;
  }
  if (rc != 0) {
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return -1;
  }
  // Status requests must not wait for the acknowledgement of earlier bytes.
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

}  // namespace

std::unique_ptr<Port> OpenNetworkPort(const std::string& address) {
  std::string host, port;
  if (!SplitAddress(address, &host, &port)) {
    errno = EINVAL;
    return nullptr;
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0 || found == nullptr) {
    errno = EHOSTUNREACH;
    return nullptr;
  }
  int fd = -1;
  int err = EHOSTUNREACH;
  for (const addrinfo* ai = found; ai != nullptr && fd < 0; ai = ai->ai_next) {
    fd = ConnectTo(ai);
    if (fd < 0) err = errno;
  }
  ::freeaddrinfo(found);
  if (fd < 0) {
    errno = err;
    return nullptr;
  }
  return std::make_unique<NetPort>(fd);
}

}  // namespace possdk
