// An owned file descriptor, closed on destruction. Header-only, so the
// stand-in programs can use it without the platform library.
#pragma once

#include <unistd.h>

namespace tillcast::platform {

// Not thread-safe; one owner at a time (movable, not copyable).
class ScopedFd {
 public:
  ScopedFd() = default;
  explicit ScopedFd(int fd) : fd_(fd) {}
  ~ScopedFd() { reset(); }
  ScopedFd(ScopedFd&& o) noexcept : fd_(o.release()) {}
  ScopedFd& operator=(ScopedFd&& o) noexcept {
    if (this != &o) reset(o.release());
    return *this;
  }
  ScopedFd(const ScopedFd&) = delete;
  ScopedFd& operator=(const ScopedFd&) = delete;
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

}  // namespace tillcast::platform
