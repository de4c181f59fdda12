// The virtual keyboard through which the keys the hook lets pass, and the
// keys it synthesises, reach the applications again.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/input_nodes.h"

namespace tillcast::platform {

inline constexpr const char* kVirtualKeyboardName = "Tillcast virtual keyboard";
inline constexpr uint16_t kVirtualKeyboardVendor = 0x7463;
inline constexpr uint16_t kVirtualKeyboardProduct = 0x0001;

// Where re-emitted key events go. Thread-safe: each Emit is one whole key
// event followed by its report, never interleaved with another.
class KeyEmitter {
 public:
  virtual ~KeyEmitter() = default;
  // value: 0 release, 1 press, 2 auto-repeat. False when the event could
  // not be written.
  virtual bool Emit(uint16_t code, int32_t value) = 0;
};

// A uinput keyboard device. Destroying the object removes the device (the
// kernel then releases any key it still holds down).
class UinputKeyboard final : public KeyEmitter {
 public:
  // Creates the device through `uinput_path`; null with `*err` (errno) and
  // `*what` (the step that failed) on failure.
  static std::unique_ptr<UinputKeyboard> Create(const std::string& uinput_path, int* err, std::string* what);
  ~UinputKeyboard() override;
  bool Emit(uint16_t code, int32_t value) override;
  // The device's event node ("/dev/input/eventN"), or "" when unknown.
  std::string EventNode() const;

 private:
  explicit UinputKeyboard(ScopedFd fd) : fd_(std::move(fd)) {}
  ScopedFd fd_;
  std::mutex mu_;
};

}  // namespace tillcast::platform
