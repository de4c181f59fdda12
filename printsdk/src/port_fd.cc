// Serial ports and printer devices: plain descriptors.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>

#include "port.h"
#include "serial_termios.h"

namespace possdk {
namespace {

// "<prefix><n>" with n >= 1 -> n, else 0.
int NumberedName(const std::string& name, const char* prefix) {
  const size_t plen = std::char_traits<char>::length(prefix);
  if (name.size() <= plen || name.size() > plen + 3) return 0;
  for (size_t i = 0; i < plen; ++i) {
    if (std::toupper(static_cast<unsigned char>(name[i])) != prefix[i]) return 0;
  }
  int n = 0;
  for (size_t i = plen; i < name.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(name[i]))) return 0;
    n = n * 10 + (name[i] - '0');
  }
  return n;
}

class FdPort : public Port {
 public:
  explicit FdPort(int fd) : fd_(fd) {}
  ~FdPort() override { Close(); }
  bool Write(const uint8_t* data, size_t length) override { return WriteAllFd(fd_, data, length); }
  long Read(uint8_t* buffer, size_t size, int timeoutMs) override { return ReadFd(fd_, buffer, size, timeoutMs); }
  bool Close() override {
    if (fd_ < 0) return true;
    const int rc = ::close(fd_);
    fd_ = -1;
    return rc == 0 || errno == EINTR;
  }

 private:
  int fd_;
};

// The caller's settings on the line; false with errno EINVAL for a value
// the line cannot take.
bool ApplySerialSettings(int fd, const SerialSettings& s) {
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) return false;
  if (!MakeSerialTermios(s, &tio)) return false;
  if (tcsetattr(fd, TCSANOW, &tio) != 0) return false;
  // Stale status bytes from an earlier session would be taken for answers.
  tcflush(fd, TCIFLUSH);
  return true;
}

void CloseKeepingErrno(int fd) {
  const int saved = errno;
  ::close(fd);
  errno = saved;
}

}  // namespace

std::string SerialDevicePath(const std::string& name) {
  if (name.find('/') == 0) return name;
  if (const int n = NumberedName(name, "COM"); n > 0) return "/dev/ttyS" + std::to_string(n - 1);
  return "/dev/" + name;
}

std::string ParallelDevicePath(const std::string& name) {
  if (name.find('/') == 0) return name;
  if (const int n = NumberedName(name, "LPT"); n > 0) return "/dev/lp" + std::to_string(n - 1);
  return "/dev/" + name;
}

bool WriteAllFd(int fd, const uint8_t* data, size_t length) {
  size_t done = 0;
  while (done < length) {
    const ssize_t n = ::write(fd, data + done, length - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
    pollfd p{fd, POLLOUT, 0};
    const int r = ::poll(&p, 1, kWriteStallMs);
    if (r == 0) {
      errno = ETIMEDOUT;
      return false;
    }
    if (r < 0 && errno != EINTR) return false;
    if (r > 0 && (p.revents & (POLLERR | POLLNVAL)) != 0) {
      errno = EIO;
      return false;
    }
  }
  return true;
}

long ReadFd(int fd, uint8_t* buffer, size_t size, int timeoutMs) {
  if (size == 0) return 0;
  pollfd p{fd, POLLIN, 0};
  int r;
  do {
    r = ::poll(&p, 1, timeoutMs < 0 ? 0 : timeoutMs);
  } while (r < 0 && errno == EINTR);
  if (r < 0) return -1;
  if (r == 0) return 0;
  const ssize_t n = ::read(fd, buffer, size);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
  return n;
}

std::unique_ptr<Port> OpenSerialPort(const std::string& name, const SerialSettings& settings) {
  const std::string path = SerialDevicePath(name);
  // Non-blocking: a line without carrier must not hang the open.
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  if (!isatty(fd)) {
    CloseKeepingErrno(fd);
    errno = ENOTTY;
    return nullptr;
  }
  if (!ApplySerialSettings(fd, settings)) {
    CloseKeepingErrno(fd);
    return nullptr;
  }
  return std::make_unique<FdPort>(fd);
}

std::unique_ptr<Port> OpenDevicePort(const std::string& name) {
  const std::string path = ParallelDevicePath(name);
  const int flags = O_NOCTTY | O_NONBLOCK | O_CLOEXEC | O_APPEND;
  // Read access gives status queries; write-only devices still print.
  int fd = ::open(path.c_str(), O_RDWR | flags);
  if (fd < 0 && (errno == EACCES || errno == EPERM || errno == EROFS)) fd = ::open(path.c_str(), O_WRONLY | flags);
  if (fd < 0) return nullptr;
  return std::make_unique<FdPort>(fd);
}

}  // namespace possdk
