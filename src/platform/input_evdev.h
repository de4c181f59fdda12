// The keyboard hook on Linux: the keyboards among /dev/input/event* (and
// any configured device) are grabbed exclusively, their key events go
// through the hook procedure on one input thread, and whatever it hands on,
// or synthesises, is re-emitted through a uinput virtual keyboard. Keyboards
// plugged in later are grabbed as they appear (inotify on the input
// folder); unplugged ones are dropped.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "platform/input_hook.h"
#include "platform/input_nodes.h"
#include "platform/input_uinput.h"

namespace tillcast::platform {

struct EvdevHookOptions {
  // Folder scanned and watched for event* nodes; "" = none.
  std::string input_dir = "/dev/input";
  // Devices grabbed whatever their keys, e.g. a scanner's by-id link.
  std::vector<std::string> device_paths;
  std::string uinput_path = "/dev/uinput";
  // Seams for tests; null = the kernel's evdev nodes and a uinput keyboard.
  InputNodes* nodes = nullptr;
  std::function<std::unique_ptr<KeyEmitter>(std::string* error)> make_emitter;
  // Which devices found in input_dir are grabbed; null = every keyboard
  // except our own virtual one.
  std::function<bool(const InputDeviceInfo&)> accept;
  // Receives the backend's log lines (levels as the agent's log: 0 error,
  // 1 warning, 2 info, 3 debug); null = silent. Called from the thread
  // that calls Install/Uninstall and from the input thread.
  std::function<void(int level, const std::string& line)> log;
};

// $TILLCAST_INPUT_DIR (default /dev/input), $TILLCAST_UINPUT_PATH (default
// /dev/uinput), $TILLCAST_SCANNER_DEVICES (':'-separated extra devices).
EvdevHookOptions EvdevHookOptionsFromEnv();

// Install/Uninstall from one controlling thread; CallNextHook and SendKey
// from any thread. The procedure runs on the input thread only.
class EvdevKeyboardHook final : public KeyboardHook, public KeySynthesizer {
 public:
  explicit EvdevKeyboardHook(EvdevHookOptions options);
  ~EvdevKeyboardHook() override;
  EvdevKeyboardHook(const EvdevKeyboardHook&) = delete;
  EvdevKeyboardHook& operator=(const EvdevKeyboardHook&) = delete;

  bool Install(KeyboardHookProc proc) override;
  void Uninstall() override;
  intptr_t CallNextHook(int code, uint32_t message, const KeyRecord& key) override;
  void SendKey(uint32_t vk, uint32_t scan, bool key_up) override;

  // Paths of the devices grabbed right now, sorted.
  std::vector<std::string> GrabbedDevices() const;
  // The virtual keyboard's event node, "" when unknown or not installed.
  std::string VirtualKeyboardNode() const;

 private:
  struct Device;
  void Run(std::stop_token stop);
  void ScanFolder(int* refused);
  void TryConfiguredPaths();
  // Opens, checks and grabs one node. Returns the errno of a refused open
  // (0 otherwise).
  int TryOpen(const std::string& path, bool configured);
  void HandleNotify();
  void HandleReadable(int fd);
  void Drop(int fd, const char* why);
  void Deliver(Device& d, uint16_t code, int32_t value);
  bool AltHeld() const;
  void Emit(uint16_t code, int32_t value);
  enum class GrabResult { kGrabbed, kPending, kFailed };
  GrabResult TryGrab(Device& d);
  void Resync(Device& d);
  void Cleanup();
  void Say(int level, const char* format, ...) __attribute__((format(printf, 3, 4)));

  EvdevHookOptions options_;
  std::unique_ptr<InputNodes> own_nodes_;
  InputNodes* nodes_;

  KeyboardHookProc proc_;  // set before the input thread starts
  std::mutex emit_mu_;
  std::unique_ptr<KeyEmitter> emitter_;  // guarded by emit_mu_
  std::string virtual_node_;             // written by Install only
  std::atomic<bool> emit_failure_logged_{false};

  ScopedFd epoll_;
  ScopedFd inotify_;
  ScopedFd wake_;
  // The input thread; Uninstall asks it to stop and wakes its wait.
  std::jthread thread_;
  bool installed_ = false;

  mutable std::mutex devices_mu_;  // the input thread writes, others read
  std::map<int, std::unique_ptr<Device>> devices_;
  // Last refused errno per path, so a node that stays closed to us is
  // logged once, not on every change of the folder. Input thread only
  // once that thread runs.
  std::map<std::string, int> refused_;
};

}  // namespace tillcast::platform
