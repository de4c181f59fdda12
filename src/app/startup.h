// The agent's run: the choice between the uninstall run and a normal run,
// start-up in its fixed order, the message loop, and shutdown.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/instance_lock.h"
#include "platform/process.h"
#include "platform/service_manager.h"

namespace tillcast {

inline constexpr const char* kEnvironmentWord = "publish";
inline constexpr const char* kInstanceMutexName = "Tillcast";
inline constexpr const char* kCrashReportMail = "crash@tillcast.example";
inline constexpr const char* kUpdaterProgram = "updater";
inline constexpr const char* kUpdatesUrl = "https://www.tillcast.example/app/updates";
inline constexpr uint32_t kCopyDataUpload = 101;
inline constexpr uint32_t kCopyDataQuit = 201;

// Set once the message loop has ended; background threads poll it.
std::atomic<bool>& AppExiting();

// The crash reporter library's two calls.
class CrashReporter {
 public:
  virtual ~CrashReporter() = default;
  virtual void Install(const std::string& mail, const std::string& app_name) = 0;
  virtual void SetMail(const std::string& mail, const std::string& app_name) = 0;
  // Where reports go: the agent's log folder.
  virtual void SetReportFolder(const std::string& /*folder*/) {}
};

// The loop that the windows run on. Quit may be called from any thread.
class MessageLoop {
 public:
  virtual ~MessageLoop() = default;
  virtual void Run() = 0;
  virtual void Quit() = 0;
};

// Platform facilities of the run; none owned.
struct StartupEnv {
  platform::InstanceLockFactory* locks = nullptr;
  platform::ProcessLauncher* launcher = nullptr;
  platform::ServiceManager* services = nullptr;
  CrashReporter* crash = nullptr;
  MessageLoop* loop = nullptr;
  std::string ipc_socket;  // "" = no local message endpoint
  // Why `services` was chosen, logged once the log is up.
  std::string services_choice;
};

// Where the subsystems plug into the run. Every hook may be empty.
struct StartupHooks {
  // Skin folder handed to the UI layer (module folder + "/skin/").
  std::function<void(const std::string& skin_folder)> set_skin_folder;
  // Creates and shows the main window: waiting page when `bound`, else the
  // login page.
  std::function<void(bool bound)> create_main_window;
  // Applies a device key in the main window (stores it, starts binding).
  // An empty key starts the auto-connect of a bound device.
  std::function<void(const std::string& key)> apply_device_key;
  std::function<bool()> install_keyboard_hook;
  std::function<void()> uninstall_keyboard_hook;
  std::function<void()> remove_all_port_monitors;
  // After the loop: the capture upload worker ends (a transfer in flight is
  // aborted; what is not sent stays in the outbox).
  std::function<void()> stop_capture;
  std::function<void()> net_start;
  std::function<void()> net_stop;
  // A message of the local endpoint other than quit; returns handled. Runs
  // on the endpoint's thread.
  std::function<bool(uint32_t code, const std::string& payload)> copy_data;
  // Called when the driver-service start thread is about to start; tests
  // replace the thread body.
  std::function<void()> start_driver_thread;
};

// Runs the agent with `args` (args[0] is the program). Returns the exit code:
// 0, or -1 for a second instance.
int RunAgent(const std::vector<std::string>& args, const StartupEnv& env, const StartupHooks& hooks);

// The text of a run that only informs: "--help" or "--version" as the only
// argument. "" for every other command line. Such a run prints it and exits
// 0 without starting anything or taking the instance lock.
std::string InfoRunText(const std::vector<std::string>& args);

// True when `args` select the uninstall run: exactly one argument, equal to
// "uninstall" without regard to case.
bool IsUninstallRun(const std::vector<std::string>& args);

// Builds the updater's argument vector and its command line as logged.
struct UpdaterCommand {
  std::vector<std::string> argv;
  std::wstring line;
};
UpdaterCommand BuildUpdaterCommand(const std::string& device_id, const std::string& http_ip,
                                   const std::string& http_port);

// Starts the updater (also every 10 minutes from the main window); a
// failure to start it is ignored.
void LaunchUpdater(platform::ProcessLauncher* launcher, CrashReporter* crash);

}  // namespace tillcast
