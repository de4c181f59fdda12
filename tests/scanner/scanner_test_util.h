// Shared helpers of the scanner tests: a recording target window and a
// compact notation for typed keys and for what reached the applications.
#pragma once

#include <cctype>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "platform/input_hook.h"
#include "scanner/target_window.h"

namespace tillcast::test {

class RecordingWindow final : public TargetWindow {
 public:
  struct Post {
    uint32_t message;
    uintptr_t wparam;
    intptr_t lparam;
  };
  bool PostMessage(uint32_t message, uintptr_t wparam, intptr_t lparam) override {
    std::lock_guard<std::mutex> l(mu_);
    posts_.push_back({message, wparam, lparam});
    cv_.notify_all();
    return true;
  }
  std::vector<Post> Posts() const {
    std::lock_guard<std::mutex> l(mu_);
    return posts_;
  }
  // Waits up to `timeout_ms` for at least `n` posts.
  bool WaitFor(size_t n, int timeout_ms) {
    std::unique_lock<std::mutex> l(mu_);
    return cv_.wait_for(l, std::chrono::milliseconds(timeout_ms), [&] { return posts_.size() >= n; });
  }

 private:
  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::vector<Post> posts_;
};

// Key notation: '0'-'9' digits, 'R', 'S' left shift, 'T' right shift,
// 'E' Enter, any lowercase letter a key that is none of these.
inline uint32_t VkOf(char c) {
  if (c >= '0' && c <= '9') return platform::kVk0 + static_cast<uint32_t>(c - '0');
  switch (c) {
    case 'R': return platform::kVkR;
    case 'S': return platform::kVkLShift;
    case 'T': return platform::kVkRShift;
    case 'E': return platform::kVkReturn;
    default: return static_cast<uint32_t>(std::toupper(static_cast<unsigned char>(c)));
  }
}

inline std::string NameOf(uint32_t vk) {
  if (vk >= platform::kVk0 && vk <= platform::kVk9)
    return std::string(1, static_cast<char>('0' + (vk - platform::kVk0)));
  switch (vk) {
    case platform::kVkR: return "R";
    case platform::kVkLShift: return "S";
    case platform::kVkRShift: return "T";
    case platform::kVkReturn: return "E";
    default: return std::string(1, static_cast<char>(std::tolower(static_cast<int>(vk & 0x7F))));
  }
}

// What reached the applications, one token per event: "X" a key-down
// passed on, "X^" a key-up passed on, "~X" / "~X^" synthesised.
inline std::string Render(const std::vector<platform::FakeKeyboardHook::Out>& out) {
  std::string s;
  for (const auto& o : out) {
    if (!s.empty()) s += ' ';
    s += (o.synthesized ? "~" : "") + NameOf(o.vk) + (o.up ? "^" : "");
  }
  return s;
}

}  // namespace tillcast::test
