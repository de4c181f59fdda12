// The window told about a recognised barcode (the main window). It reads
// the code with KeyboardFilter::GetBarcode when the message arrives.
#pragma once

#include <cstdint>

namespace tillcast {

// Posted with both parameters 0.
inline constexpr uint32_t RECEIVE_BARCODE_MSG = 0x400 + 0x70;  // 1136

class TargetWindow {
 public:
  virtual ~TargetWindow() = default;
  // Queues `message` for the window's own thread and returns at once; true
  // when queued. Called on the keyboard input thread, which must never wait
  // for the window, so implementations may not block.
  virtual bool PostMessage(uint32_t message, uintptr_t wparam, intptr_t lparam) = 0;
};

}  // namespace tillcast
