// The low-level keyboard hook: every key event of the desktop's keyboards
// goes through one procedure, which decides whether applications see it,
// and keys can be synthesised as if typed. Keys are named by virtual-key
// codes of the home platform so the decision logic above is portable.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

namespace tillcast::platform {

// Hook codes and key messages as the procedure receives them.
inline constexpr int kHookAction = 0;
inline constexpr uint32_t kMsgKeyDown = 0x100;
inline constexpr uint32_t kMsgKeyUp = 0x101;
inline constexpr uint32_t kMsgSysKeyDown = 0x104;
inline constexpr uint32_t kMsgSysKeyUp = 0x105;

// Virtual-key codes the agent tells apart; every other key is kVkOther.
inline constexpr uint32_t kVkReturn = 0x0D;
inline constexpr uint32_t kVk0 = 0x30;
inline constexpr uint32_t kVk9 = 0x39;
inline constexpr uint32_t kVkR = 0x52;
inline constexpr uint32_t kVkLShift = 0xA0;
inline constexpr uint32_t kVkRShift = 0xA1;
inline constexpr uint32_t kVkOther = 0xFF;

// KeyRecord::flags.
inline constexpr uint32_t kKeyFlagAltDown = 0x20;
inline constexpr uint32_t kKeyFlagUp = 0x80;
// An auto-repeat of a held key (delivered as another key-down).
inline constexpr uint32_t kKeyFlagRepeat = 0x4000;

// One key event. scanCode is the device's own key code (evdev KEY_*), which
// is what gets re-emitted; vkCode is the portable name of the key.
struct KeyRecord {
  uint32_t vkCode = 0;
  uint32_t scanCode = 0;
  uint32_t flags = 0;
  uint32_t time = 0;
};

// Called for every key event, on the hook's input thread. Applications see
// the event only if the procedure hands it on through CallNextHook.
using KeyboardHookProc = std::function<intptr_t(int code, uint32_t message, const KeyRecord& key)>;

// The hook itself. Install and Uninstall are called from one controlling
// thread; CallNextHook may be called from any thread.
class KeyboardHook {
 public:
  virtual ~KeyboardHook() = default;
  // Starts delivering key events to `proc`. False (with a log line) when
  // the keyboards cannot be watched; nothing is left running then.
  virtual bool Install(KeyboardHookProc proc) = 0;
  // Stops delivery and returns once `proc` is no longer running.
  virtual void Uninstall() = 0;
  // Hands the event on to the applications; returns 0.
  virtual intptr_t CallNextHook(int code, uint32_t message, const KeyRecord& key) = 0;
};

// Synthesises one key press or release, as if typed. `scan` names the
// device key to press when known (0: derive it from `vk`). Thread-safe.
// The evdev backend never routes synthesised keys through the hook; other
// implementations may call the procedure again from inside SendKey.
class KeySynthesizer {
 public:
  virtual ~KeySynthesizer() = default;
  virtual void SendKey(uint32_t vk, uint32_t scan, bool key_up) = 0;
};

// For tests: records, in one ordered stream, what was handed on and what
// was synthesised, and lets the test play the input thread with Feed.
class FakeKeyboardHook final : public KeyboardHook, public KeySynthesizer {
 public:
  struct Out {
    bool synthesized;
    uint32_t vk;
    uint32_t scan;
    bool up;
    bool operator==(const Out&) const = default;
  };

  bool Install(KeyboardHookProc proc) override {
    std::lock_guard<std::mutex> l(mu_);
    ++installs;
    if (!install_result) return false;
    proc_ = std::move(proc);
    return true;
  }
  void Uninstall() override {
    std::lock_guard<std::mutex> l(mu_);
    ++uninstalls;
    proc_ = nullptr;
  }
  intptr_t CallNextHook(int, uint32_t message, const KeyRecord& key) override {
    Record({false, key.vkCode, key.scanCode, message == kMsgKeyUp || message == kMsgSysKeyUp});
    return 0;
  }
  void SendKey(uint32_t vk, uint32_t scan, bool key_up) override {
    Record({true, vk, scan, key_up});
    std::function<void(uint32_t, bool)> hook;
    {
      std::lock_guard<std::mutex> l(mu_);
      hook = on_send;
    }
    if (hook) hook(vk, key_up);
  }
  // Delivers one event to the installed procedure; -1 when none is installed.
  intptr_t Feed(uint32_t message, uint32_t vk, uint32_t scan = 0) {
    KeyboardHookProc proc;
    {
      std::lock_guard<std::mutex> l(mu_);
      proc = proc_;
    }
    if (!proc) return -1;
    KeyRecord key;
    key.vkCode = vk;
    key.scanCode = scan;
    key.flags = message == kMsgKeyUp ? kKeyFlagUp : 0;
    return proc(kHookAction, message, key);
  }
  std::vector<Out> Output() const {
    std::lock_guard<std::mutex> l(mu_);
    return out_;
  }
  void ClearOutput() {
    std::lock_guard<std::mutex> l(mu_);
    out_.clear();
  }
  bool installed() const {
    std::lock_guard<std::mutex> l(mu_);
    return static_cast<bool>(proc_);
  }

  bool install_result = true;
  int installs = 0;
  int uninstalls = 0;
  // Called after each synthesised key, outside the fake's lock; set before use.
  std::function<void(uint32_t vk, bool up)> on_send;

 private:
  void Record(const Out& o) {
    std::lock_guard<std::mutex> l(mu_);
    out_.push_back(o);
  }
  mutable std::mutex mu_;
  KeyboardHookProc proc_;
  std::vector<Out> out_;
};

}  // namespace tillcast::platform
