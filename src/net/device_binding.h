// Binding this device to its store through the cloud: the device key typed
// at login or handed over at start-up, the bind itself, the auto-connect
// loop of a device already bound, and changing the account. The results say
// what the main window shows; the window runs the blocking calls off its UI
// thread and renders their results there.
//
// Threading: Bind, AutoConnect and ChangeAccount block on the network and
// may run on any thread, one at a time per object. RequestQuit may be
// called from any thread and ends a running AutoConnect within its wait.
// The cloud client is not owned and outlives this object.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "net/cloud_api.h"

namespace tillcast {

// What the window starts after it was given a device key.
enum class KeyStep {
  kNothing,      // the key is the one already stored
  kBind,         // stored: show the waiting page and bind
  kAutoConnect,  // no key: a device already bound connects on its own
};

// The outcome of a bind, an auto-connect or a change of account.
struct BindingResult {
  bool connected = false;     // a connection is open: the ready page
  bool logo_checked = false;  // the store logo was looked for (fetched when missing)
  bool have_logo = false;     // ... and is on disk: the window shows it
  // GBK; empty: nothing to tell. Otherwise a message box says this, then
  // "," and `last_message` when that is not empty.
  std::string failure;
  std::string last_message;  // the cloud's last message (GBK), with `failure`
};

struct DeviceBindingSettings {
  uint32_t auto_connect_retry_ms = 5000;  // wait between two auto-connect tries
};

class DeviceBinding {
 public:
  using Settings = DeviceBindingSettings;

  // The message box texts of a failed bind and of a failed change of account.
  static const char* LoginFailedText();
  static const char* ChangeFailedText();

  explicit DeviceBinding(CloudApi* cloud, Settings settings = Settings());

  // Start-up's key: "" auto-connects, anything else as SetDeviceKey.
  KeyStep ApplyDeviceKey(const std::string& key);
  // A key handed over: stored as "secret" unless it already is.
  KeyStep SetDeviceKey(const std::string& key);
  // The key typed on the login page: stored as "secret" and as the device
  // key of this user. False (nothing stored) for an empty key.
  bool Login(const std::string& key);

  // Asks for the connection information and opens the connection; on
  // success the configuration is saved and the store logo looked for.
  BindingResult Bind();
  // Opens the connection until it opens or RequestQuit; waits the retry
  // time between tries. Logs its start and its end.
  BindingResult AutoConnect();
  // The change-account page's OK: drops the store logo, stores `key` (when
  // `has_key`: the page has its edit) and binds again. `connected` is the
  // connection's result; `failure` is set only when the connection
  // information could not be had.
  BindingResult ChangeAccount(const std::string& key, bool has_key);

  // Fetches the store logo when it is missing; true when it is on disk.
  bool FetchStoreLogo();

  void RequestQuit();
  bool quit_requested() const { return quit_.load(); }

 private:
  BindingResult Connected();
  BindingResult Failed(const char* text);
  void WaitOrQuit(uint32_t ms);

  CloudApi* cloud_;
  Settings settings_;
  std::atomic<bool> quit_{false};
  std::mutex wait_lock_;
  std::condition_variable wait_signal_;
};

}  // namespace tillcast
