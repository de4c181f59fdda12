#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "capture/driver_device.h"
#include "capture/driver_protocol.h"

namespace tillcast::capture {
namespace {

uint32_t OpenError(int err) {
  switch (err) {
    case EACCES:
    case EPERM: return driver::kErrAccessDenied;
    case ENOENT:
    case ECONNREFUSED:
    case ENOTDIR: return driver::kErrFileNotFound;
    default: return driver::kErrGenFailure;
  }
}

}  // namespace

UnixSocketDriverDevice::UnixSocketDriverDevice(std::string path, int timeout_ms)
    : path_(path.empty() ? driver::ControlSocketPath() : std::move(path)), timeout_ms_(timeout_ms) {}

UnixSocketDriverDevice::~UnixSocketDriverDevice() {
  if (fd_ >= 0) close(fd_);
}

bool UnixSocketDriverDevice::Open(uint32_t* error) {
  std::lock_guard<std::mutex> l(mu_);
  if (fd_ >= 0) return true;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path_.size() >= sizeof(addr.sun_path)) {
    *error = driver::kErrFileNotFound;
    return false;
  }
  std::memcpy(addr.sun_path, path_.c_str(), path_.size());
  const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = OpenError(errno);
    return false;
  }
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    *error = OpenError(errno);
    close(fd);
    return false;
  }
  fd_ = fd;
  return true;
}

bool UnixSocketDriverDevice::Control(uint32_t code, const void* in, size_t in_size, int pass_fd, void* out,
                                     size_t out_size, size_t* returned, uint32_t* error) {
  std::lock_guard<std::mutex> l(mu_);
  *returned = 0;
  if (fd_ < 0) {
    *error = driver::kErrDeviceNotConnected;
    return false;
  }
  const std::string request = driver::EncodeMessage(code, in, in ? in_size : 0);
  iovec iov{const_cast<char*>(request.data()), request.size()};
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
  if (pass_fd >= 0) {
    std::memset(control, 0, sizeof(control));
    msg.msg_control = control;
    msg.msg_controllen = sizeof(control);
    cmsghdr* c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(c), &pass_fd, sizeof(int));
  }
  ssize_t n;
  do {
    n = sendmsg(fd_, &msg, MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  if (n != static_cast<ssize_t>(request.size())) {
    *error = driver::kErrDeviceNotConnected;
    return false;
  }
  pollfd p{fd_, POLLIN, 0};
  int ready;
  do {
    ready = poll(&p, 1, timeout_ms_);
  } while (ready < 0 && errno == EINTR);
  if (ready <= 0) {
    // A late reply would answer the next call: this connection is spent.
    close(fd_);
    fd_ = -1;
    *error = driver::kErrTimeout;
    return false;
  }
  std::vector<uint8_t> buf(driver::kMaxMessage);
  do {
    n = recv(fd_, buf.data(), buf.size(), 0);
  } while (n < 0 && errno == EINTR);
  uint32_t status = 0;
  const uint8_t* body = nullptr;
  size_t body_size = 0;
  if (n <= 0 || !driver::DecodeMessage(buf.data(), static_cast<size_t>(n), buf.size(), &status, &body, &body_size)) {
    *error = driver::kErrDeviceNotConnected;
    return false;
  }
  if (status != 0) {
    *error = status;
    return false;
  }
  if (body_size > out_size) {
    *error = driver::kErrInsufficientBuffer;
    return false;
  }
  if (body_size) std::memcpy(out, body, body_size);
  *returned = body_size;
  return true;
}

bool UnixSocketDriverDevice::Alive() {
  std::lock_guard<std::mutex> l(mu_);
  if (fd_ < 0) return false;
  pollfd p{fd_, POLLRDHUP, 0};
  int ready;
  do {
    ready = poll(&p, 1, 0);
  } while (ready < 0 && errno == EINTR);
  return ready <= 0 || (p.revents & (POLLHUP | POLLRDHUP | POLLERR | POLLNVAL)) == 0;
}

void UnixSocketDriverDevice::Close() {
  std::lock_guard<std::mutex> l(mu_);
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

}  // namespace tillcast::capture
