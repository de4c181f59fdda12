#include "ports.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>

#include "capture/driver_protocol.h"
#include "net_address.h"
#include "warn.h"

namespace tillcast::serialfilter {
namespace {

using platform::ScopedFd;

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

}  // namespace

void MakeRaw(int fd, int baud, FlowControl flow) {
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

PortAccess PortAccessOf(const DriverConfig& config) {
  PortAccess a;
  a.mode = config.port_mode;
  unsigned g = 0;
  if (ResolveGroup(config.port_group, &g)) {
    a.gid = static_cast<gid_t>(g);
  } else if (config.port_group != "-") {
    Warn("group %s not found; the till's ports keep the driver's own group", config.port_group.c_str());
  }
  return a;
}

namespace {

// Connections of a till that arrive while no driver takes them wait here
// (the kernel caps it at net.core.somaxconn).
constexpr int kListenBacklog = 128;

// The network port's listening socket, non-blocking.
bool ListenAt(const PortConfig& cfg, ScopedFd* out) {
  HostPort hp;
  SocketAddress addr;
  if (!ParseHostPort(cfg.path, &hp) || !NumericAddress(hp, &addr)) {
    Warn("network port %u: %s is not an address to listen at; port left out", cfg.number, cfg.path.c_str());
    return false;
  }
  ScopedFd fd(socket(addr.family(), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  const int one = 1;
  // A listener made again while connections of the last one linger in
  // TIME_WAIT still binds; a second listener on the port still does not.
  if (fd.valid()) setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  if (!fd.valid() || bind(fd.get(), addr.get(), addr.len) != 0 || listen(fd.get(), kListenBacklog) != 0) {
    Warn("network port %u: cannot listen at %s: %s; port left out", cfg.number, cfg.path.c_str(), std::strerror(errno));
    return false;
  }
  *out = std::move(fd);
  return true;
}

// The group and mode of real serial ports, so a till program that does not
// run as root can open its port.
void GrantPort(int fd, const std::string& path, const PortAccess& access) {
  if (access.gid != static_cast<gid_t>(-1) && fchown(fd, static_cast<uid_t>(-1), access.gid) != 0)
    Warn("cannot give %s to group %u: %s", path.c_str(), static_cast<unsigned>(access.gid), std::strerror(errno));
  if (fchmod(fd, access.mode) != 0) Warn("cannot set the mode of %s: %s", path.c_str(), std::strerror(errno));
}

}  // namespace

bool CreatePort(const PortConfig& cfg, const PortAccess& access, HeldPort* out) {
  struct stat st {};
  const bool exists = cfg.type != kPortNetwork && lstat(cfg.path.c_str(), &st) == 0;
  if (cfg.type != kPortNetwork && !MakeParents(cfg.path)) {
    Warn("cannot create the folder of %s: %s", cfg.path.c_str(), std::strerror(errno));
    return false;
  }
  HeldPort p;
  p.type = cfg.type;
  p.path = cfg.path;
  if (cfg.type == kPortNetwork) {
    if (!ListenAt(cfg, &p.dev)) return false;
    *out = std::move(p);
    return true;
  }
  if (cfg.type == driver::kPortSerial) {
    if (exists && !S_ISLNK(st.st_mode)) {
      Warn("%s exists and is not a link; port left out", cfg.path.c_str());
      return false;
    }
    ScopedFd master(posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!master.valid() || grantpt(master.get()) != 0 || unlockpt(master.get()) != 0) {
      Warn("no pseudo-terminal for %s: %s", cfg.path.c_str(), std::strerror(errno));
      return false;
    }
    char name[128];
    if (ptsname_r(master.get(), name, sizeof(name)) != 0) return false;
    ScopedFd slave(open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!slave.valid()) return false;
    MakeRaw(slave.get(), 0);
    GrantPort(slave.get(), name, access);
    if (exists) unlink(cfg.path.c_str());
    if (symlink(name, cfg.path.c_str()) != 0) {
      Warn("cannot link %s: %s", cfg.path.c_str(), std::strerror(errno));
      return false;
    }
    p.dev = std::move(master);
    p.slave_keep = std::move(slave);
    p.pty = name;
  } else {
    if (exists && !S_ISFIFO(st.st_mode)) {
      Warn("%s exists and is not a FIFO; port left out", cfg.path.c_str());
      return false;
    }
    if (!exists && mkfifo(cfg.path.c_str(), 0600) != 0) {
      Warn("cannot create FIFO %s: %s", cfg.path.c_str(), std::strerror(errno));
      return false;
    }
    // Read-write so the FIFO never reports end of file between writers, and
    // a till writing to it never meets a FIFO without a reader (SIGPIPE)
    // while the driver is away.
    p.dev.reset(open(cfg.path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
    if (!p.dev.valid()) {
      Warn("cannot open FIFO %s: %s", cfg.path.c_str(), std::strerror(errno));
      return false;
    }
    GrantPort(p.dev.get(), cfg.path, access);
    struct stat fs {};
    if (fstat(p.dev.get(), &fs) == 0) {
      p.fifo_dev = fs.st_dev;
      p.fifo_ino = fs.st_ino;
    }
  }
  *out = std::move(p);
  return true;
}

bool PortPathIntact(const HeldPort& p) {
  if (p.type == kPortNetwork) return true;
  if (p.type == driver::kPortSerial) {
    char target[PATH_MAX];
    const ssize_t n = readlink(p.path.c_str(), target, sizeof(target) - 1);
    return n > 0 && std::string(target, static_cast<size_t>(n)) == p.pty;
  }
  struct stat st {};
  return lstat(p.path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode) && st.st_dev == p.fifo_dev && st.st_ino == p.fifo_ino;
}

void RemovePortPath(const HeldPort& p) {
  if (p.type != kPortNetwork && PortPathIntact(p)) unlink(p.path.c_str());
}

}  // namespace tillcast::serialfilter
