// Tells a barcode scanner's input from typing. Every key-down of the
// desktop passes through FilterForTillcast: keys that could start a receipt
// code ("R" and digits, optionally after a shift) are held back; a code
// typed fast enough and ended by Enter is taken away from the applications,
// kept as the current barcode and announced to the target window with
// RECEIVE_BARCODE_MSG; anything else is given back by replaying the held
// keys, in the order typed.
//
// The logic makes no OS call: keys come in as virtual-key codes, time from
// the injected clock, and keys go out through the hook (pass on), the
// synthesiser (replay) and the target window (announce).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/input_hook.h"
#include "scanner/target_window.h"

namespace tillcast {

// The longest pause, in ms, between two keys of one scan. Set to 300 at
// every Install.
extern std::atomic<uint32_t> g_iMaxKeyDownPastTime;

class KeyboardFilter {
 public:
  // A held key: its virtual-key code and the device key that typed it, so
  // a replay presses the very key typed.
  struct HeldKey {
    uint32_t vk = 0;
    uint32_t scan = 0;
  };

  // None owned; all must outlive the filter.
  KeyboardFilter(platform::Clock* clock, platform::KeyboardHook* hook, platform::KeySynthesizer* synthesizer);
  // Uninstalls, ending the help thread.
  ~KeyboardFilter();
  KeyboardFilter(const KeyboardFilter&) = delete;
  KeyboardFilter& operator=(const KeyboardFilter&) = delete;

  // The process-wide filter on the system clock and the evdev keyboard
  // backend (configured from the environment on first use).
  static KeyboardFilter* Instance();

  // Install, Uninstall and SetTargetWindow come from the controlling (UI)
  // thread; the rest is thread-safe.
  void SetTargetWindow(TargetWindow* window);
  // Installs the hook and starts the help thread (started even when the
  // hook fails). True when the hook is in place.
  bool Install();
  // Ends the help thread (joined) and removes the hook.
  void Uninstall();
  // The last recognised code.
  std::wstring GetBarcode() const;

  // The hook procedure: the decision for one keyboard event. Returns what
  // the next hook returned when the key is passed on, 1 when swallowed.
  intptr_t FilterForTillcast(int code, uint32_t message, const platform::KeyRecord& key);

  // One pass of the help thread: gives back held keys once the keyboard
  // has been silent for longer than g_iMaxKeyDownPastTime. The thread runs
  // it every g_iMaxKeyDownPastTime / 2 ms; tests call it directly.
  void HelpThreadPass();

  // "R" and the digits of `keys` (a shift stands for the key after it), as
  // wide text.
  static bool CopyStorageToBarcode(const std::vector<HeldKey>& keys, std::wstring* barcode);

 private:
  // Applies the first matching rule to key-down `k`; true when k passes.
  // Caller holds `lock`.
  bool ApplyRules(uint32_t k, uint32_t scan, uint32_t now);
  // Replays and empties keyBuffer. Caller holds `lock`.
  bool ReSendAllBuf();
  void HelpThreadMain();

  platform::Clock* const clock_;
  platform::KeyboardHook* const hookBackend_;
  platform::KeySynthesizer* const synthesizer_;

  std::atomic<TargetWindow*> targetWindow{nullptr};
  bool hook = false;                            // the hook is installed; controlling thread only
  std::wstring barcode;                         // guarded by lock
  std::atomic<uint32_t> m_lst_keydown_time{0};  // 0 = no key-down seen yet
  std::atomic<bool> running{true};
  std::atomic<bool> m_bIsHookCurChar{true};  // false while a replay runs
  std::vector<HeldKey> keyBuffer;            // guarded by lock
  mutable std::mutex lock;
  // Held across every replay and every pass-on, so a key passed on from
  // one thread never lands in the middle of a replay from another.
  // Recursive: a synthesiser may run the hook again from inside a replay.
  std::recursive_mutex outputLock_;

  std::mutex helpMu_;
  std::condition_variable helpCv_;
  std::thread helpThread_;
};

// For the start-up sequence: install and remove the process-wide filter.
bool InstallKeyboardHook();
void UninstallKeyboardHook();

}  // namespace tillcast
