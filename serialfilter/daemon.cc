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

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <map>
#include <vector>

#include "capture/driver_protocol.h"
#include "platform/scoped_fd.h"
#include "byte_queue.h"
#include "driver_core.h"

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

__attribute__((format(printf, 1, 2))) void Warn(const char* fmt, ...) {
  std::fprintf(stderr, "SerialFilter: ");
  va_list ap;
  va_start(ap, fmt);
  std::vfprintf(stderr, fmt, ap);
  va_end(ap);
  std::fprintf(stderr, "\n");
}

speed_t BaudConstant(int baud) {
  switch (baud) {
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
    default: return 0;
  }
}

void MakeRaw(int fd, int baud, FlowControl flow = FlowControl::kNone) {
  termios t{};
  if (tcgetattr(fd, &t) != 0) return;
  cfmakeraw(&t);
  if (const speed_t s = BaudConstant(baud)) {
    cfsetispeed(&t, s);
    cfsetospeed(&t, s);
  }
  t.c_cflag |= CLOCAL | CREAD;
  t.c_cflag &= ~CRTSCTS;
  t.c_iflag &= ~(IXON | IXOFF | IXANY);
  if (flow == FlowControl::kRtsCts) t.c_cflag |= CRTSCTS;
  if (flow == FlowControl::kXonXoff) t.c_iflag |= IXON | IXOFF;
  tcsetattr(fd, TCSANOW, &t);
}

bool MakeParents(const std::string& path) {
  for (size_t pos = 1; (pos = path.find('/', pos)) != std::string::npos; ++pos) {
    const std::string dir = path.substr(0, pos);
    if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) return false;
  }
  return true;
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
  std::map<int, Client> clients;  // by descriptor
  std::vector<std::string> links;  // files to remove at exit
  // Resolved groups of the control socket and of the till's ports; -1 keeps
  // the driver's own.
  gid_t socket_gid = static_cast<gid_t>(-1);
  gid_t port_gid = static_cast<gid_t>(-1);

  void GrantPort(int fd, const std::string& path);
  bool PeerAllowed(int fd) const;

  bool OpenPort(Port* p);
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

bool Daemon::Impl::OpenPort(Port* p) {
  struct stat st {};
  const bool exists = lstat(p->cfg.path.c_str(), &st) == 0;
  if (!MakeParents(p->cfg.path)) {
    Warn("cannot create the folder of %s: %s", p->cfg.path.c_str(), std::strerror(errno));
    return false;
  }
  if (p->cfg.type == driver::kPortSerial) {
    if (exists && !S_ISLNK(st.st_mode)) {
      Warn("%s exists and is not a link; port left out", p->cfg.path.c_str());
      return false;
    }
    ScopedFd master(posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!master.valid() || grantpt(master.get()) != 0 || unlockpt(master.get()) != 0) {
      Warn("no pseudo-terminal for %s: %s", p->cfg.path.c_str(), std::strerror(errno));
      return false;
    }
    char name[128];
    if (ptsname_r(master.get(), name, sizeof(name)) != 0) return false;
    ScopedFd slave(open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!slave.valid()) return false;
    MakeRaw(slave.get(), 0);
    GrantPort(slave.get(), name);
    if (exists) unlink(p->cfg.path.c_str());
    if (symlink(name, p->cfg.path.c_str()) != 0) {
      Warn("cannot link %s: %s", p->cfg.path.c_str(), std::strerror(errno));
      return false;
    }
    p->dev = std::move(master);
    p->slave_keep = std::move(slave);
  } else {
    if (exists && !S_ISFIFO(st.st_mode)) {
      Warn("%s exists and is not a FIFO; port left out", p->cfg.path.c_str());
      return false;
    }
    if (!exists && mkfifo(p->cfg.path.c_str(), 0600) != 0) {
      Warn("cannot create FIFO %s: %s", p->cfg.path.c_str(), std::strerror(errno));
      return false;
    }
    // Read-write so the FIFO never reports end of file between writers.
    p->dev.reset(open(p->cfg.path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
    if (!p->dev.valid()) {
      Warn("cannot open FIFO %s: %s", p->cfg.path.c_str(), std::strerror(errno));
      return false;
    }
    GrantPort(p->dev.get(), p->cfg.path);
  }
  links.push_back(p->cfg.path);
  OpenPrinter(p);
  return true;
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
  if (now > config.printer_drop_after_ms) dropped += p->to_printer.DropArrivedBefore(now - config.printer_drop_after_ms);
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

// The till's port gets the group and mode of a real serial port, so a till
// program that is not root can open it.
void Daemon::Impl::GrantPort(int fd, const std::string& path) {
  if (port_gid != static_cast<gid_t>(-1) && fchown(fd, static_cast<uid_t>(-1), port_gid) != 0)
    Warn("cannot give %s to group %u: %s", path.c_str(), static_cast<unsigned>(port_gid), std::strerror(errno));
  if (fchmod(fd, config.port_mode) != 0) Warn("cannot set the mode of %s: %s", path.c_str(), std::strerror(errno));
}

// Root, the driver's own user and members of the socket's group.
bool Daemon::Impl::PeerAllowed(int fd) const {
  ucred cred{};
  socklen_t len = sizeof(cred);
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) return false;
  if (cred.uid == 0 || cred.uid == getuid()) return true;
  if (socket_gid == static_cast<gid_t>(-1)) return false;
  if (cred.gid == socket_gid) return true;
  // The supplementary groups the peer had when it connected.
  std::vector<gid_t> groups(64);
  for (int tries = 0; tries < 4; ++tries) {
    socklen_t size = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
    if (getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &size) == 0) {
      groups.resize(size / sizeof(gid_t));
      for (gid_t g : groups)
        if (g == socket_gid) return true;
      return false;
    }
    if (errno != ERANGE) return false;
    groups.resize(size / sizeof(gid_t) + 1);
  }
  return false;
}

void Daemon::Impl::Accept() {
  ScopedFd fd(accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
  if (!fd.valid()) return;
  if (!PeerAllowed(fd.get())) return;
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
      if (passed < 0) passed = got;
      else close(got);
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
  for (const std::string& l : links) unlink(l.c_str());
  links.clear();
  if (listener.valid()) {
    unlink(config.socket.c_str());
    listener.reset();
  }
}

bool Daemon::Start(const DriverConfig& config, bool test_hooks, std::string* error) {
  impl_ = std::make_unique<Impl>(test_hooks);
  Impl& d = *impl_;
  d.config = config;
  // A group that does not exist leaves the driver's own: only root and the
  // driver's user are served then.
  const auto resolve = [](const std::string& group, gid_t* gid) {
    unsigned g = 0;
    if (ResolveGroup(group, &g)) *gid = static_cast<gid_t>(g);
    else if (group != "-") Warn("group %s not found; the driver's own group is kept", group.c_str());
  };
  resolve(config.socket_group, &d.socket_gid);
  resolve(config.port_group, &d.port_gid);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (config.socket.empty() || config.socket.size() >= sizeof(addr.sun_path)) {
    *error = "control socket path unusable: " + config.socket;
    return false;
  }
  std::memcpy(addr.sun_path, config.socket.c_str(), config.socket.size());
  if (!MakeParents(config.socket)) {
    *error = "cannot create the folder of " + config.socket + ": " + std::strerror(errno);
    return false;
  }
  {
    ScopedFd probe(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    if (probe.valid() && connect(probe.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0) {
      *error = "another driver serves " + config.socket;
      return false;
    }
  }
  unlink(config.socket.c_str());
  d.listener.reset(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
  const mode_t old_mask = umask(0777 & ~config.socket_mode);
  const bool bound = d.listener.valid() && bind(d.listener.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
  umask(old_mask);
  if (!bound || listen(d.listener.get(), 16) != 0) {
    *error = "cannot bind " + config.socket + ": " + std::strerror(errno);
    d.listener.reset();
    return false;
  }
  if (d.socket_gid != static_cast<gid_t>(-1) && chown(config.socket.c_str(), static_cast<uid_t>(-1), d.socket_gid) != 0)
    Warn("cannot give %s to group %u: %s", config.socket.c_str(), static_cast<unsigned>(d.socket_gid), std::strerror(errno));
  chmod(config.socket.c_str(), config.socket_mode);
  for (const PortConfig& pc : config.ports) {
    Impl::Port p;
    p.cfg = pc;
    if (d.OpenPort(&p)) d.ports.push_back(std::move(p));
  }
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
  enum Kind { kSignal, kListen, kClient, kPort, kPrinter };
  struct Slot {
    Kind kind;
    int fd;
    size_t port;
  };
  std::vector<pollfd> pfds;
  std::vector<Slot> slots;
  for (;;) {
    pfds.clear();
    slots.clear();
    const auto add = [&](Kind k, int fd, short events, size_t port) {
      pfds.push_back({fd, events, 0});
      slots.push_back({k, fd, port});
    };
    add(kSignal, d.signals.get(), POLLIN, 0);
    add(kListen, d.listener.get(), POLLIN, 0);
    for (const auto& [fd, c] : d.clients) add(kClient, fd, POLLIN, 0);
    for (size_t i = 0; i < d.ports.size(); ++i) {
      Impl::Port& p = d.ports[i];
      d.OpenPrinter(&p);
      d.FlushPrinter(&p);
      d.DropStale(&p);
      add(kPort, p.dev.get(),
          static_cast<short>((d.TillMayWrite(p) ? POLLIN : 0) | (p.to_till.empty() ? 0 : POLLOUT)), i);
      if (p.printer.valid()) {
        const short ev = static_cast<short>((p.printer_reads ? POLLIN : 0) | (p.to_printer.empty() ? 0 : POLLOUT));
        add(kPrinter, p.printer.get(), ev, i);
      }
    }
    if (poll(pfds.data(), pfds.size(), 1000) < 0) {
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
        case kSignal:
          stop = true;
          break;
        case kListen:
          d.Accept();
          break;
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
      }
    }
    if (stop) break;
  }
  d.Cleanup();
  return 0;
}

}  // namespace tillcast::serialfilter
