// A keyboard fed through a named pipe instead of input devices: the test
// and demo entry point for scanner input on machines without /dev/uinput
// (or without the right to grab keyboards). Each byte written to the pipe
// is one key typed (down, then up) the moment it is read, so a line written
// at once arrives as fast as a scanner types it: digits and letters, "\n"
// as Enter, capitals with the left shift around them, other bytes as a key
// the hook does not tell apart. What the procedure hands on, and what is
// synthesised, has no keyboard to go to: each is appended as one line to
// the output file ("pass|send down|up VK SCAN", VK in hex) for inspection.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/input_hook.h"
#include "platform/scoped_fd.h"

namespace tillcast::platform {

// Install/Uninstall from one controlling thread; CallNextHook and SendKey
// from any thread. The procedure runs on the feed's reader thread only.
class FeedKeyboardHook final : public KeyboardHook, public KeySynthesizer {
 public:
  // `fifo`: the pipe, created (mode 0600) at Install and removed at
  // Uninstall; `output` "" = `fifo` + ".out". `log` as the evdev backend's.
  FeedKeyboardHook(std::string fifo, std::string output, std::function<void(int, const std::string&)> log);
  ~FeedKeyboardHook() override;
  FeedKeyboardHook(const FeedKeyboardHook&) = delete;
  FeedKeyboardHook& operator=(const FeedKeyboardHook&) = delete;

  // False (logged) when the pipe cannot be made: a file that is not a pipe
  // already has the name, or the folder is missing or not writable.
  bool Install(KeyboardHookProc proc) override;
  void Uninstall() override;
  intptr_t CallNextHook(int code, uint32_t message, const KeyRecord& key) override;
  void SendKey(uint32_t vk, uint32_t scan, bool key_up) override;

 private:
  void ReadLoop();
  void Type(unsigned char c);
  void Press(uint16_t code, bool up);
  void Append(const char* what, uint32_t vk, uint32_t scan, bool up);
  void Say(int level, const std::string& line) const;

  const std::string fifo_;
  const std::string output_;
  const std::function<void(int, const std::string&)> log_;
  KeyboardHookProc proc_;
  ScopedFd pipe_;
  ScopedFd wake_;
  std::thread reader_;
  std::mutex out_mu_;
  bool installed_ = false;
};

}  // namespace tillcast::platform
