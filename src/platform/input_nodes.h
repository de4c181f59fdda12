// Access to evdev device nodes (/dev/input/event*): open, describe, key
// state and exclusive grab. The seam between the keyboard backend and the
// kernel, so the backend's loop can be driven by tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/scoped_fd.h"

namespace tillcast::platform {

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
