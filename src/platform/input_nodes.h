// Access to evdev device nodes (/dev/input/event*): open, describe, key
// state and exclusive grab. The seam between the keyboard backend and the
// kernel, so the backend's loop can be driven by tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tillcast::platform {

// An owned file descriptor, closed on destruction.
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
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

struct InputDeviceInfo {
  std::string name;
  uint16_t bustype = 0;
  uint16_t vendor = 0;
  uint16_t product = 0;
  // Has Enter and the ten digits (main row or keypad): a keyboard or a
  // scanner in keyboard mode.
  bool keyboard = false;
};

// Thread-safe; fds are owned by the caller.
class InputNodes {
 public:
  virtual ~InputNodes() = default;
  // Opens `path` for non-blocking reading of input_event records. -1 with
  // `*err` set to the errno on failure.
  virtual int Open(const std::string& path, int* err) = 0;
  virtual bool Describe(int fd, InputDeviceInfo* info) = 0;
  // The keys held down right now; false when the state cannot be read.
  virtual bool KeysDown(int fd, std::vector<uint16_t>* codes) = 0;
  // Exclusive grab on or off; false with `*err` set on failure.
  virtual bool Grab(int fd, bool on, int* err) = 0;
};

// The kernel's evdev nodes.
class EvdevNodes final : public InputNodes {
 public:
  int Open(const std::string& path, int* err) override;
  bool Describe(int fd, InputDeviceInfo* info) override;
  bool KeysDown(int fd, std::vector<uint16_t>* codes) override;
  bool Grab(int fd, bool on, int* err) override;
};

}  // namespace tillcast::platform
