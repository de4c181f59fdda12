#include "app/startup.h"

#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "base/install_layout.h"
#include "base/log.h"
#include "base/process_settings.h"
#include "base/system_integration.h"
#include "base/text_util.h"
#include "capture/driver_service.h"
#include "data/data_mgr.h"
#include "platform/codepage.h"
#include "platform/env.h"
#include "platform/ini_file.h"
#include "platform/ipc.h"
#include "platform/paths.h"

namespace tillcast {
namespace {

std::wstring Utf8Wide(const std::string& s) {
  std::wstring w;
  int err = 0;
  platform::NarrowToWide("UTF-8", s, &w, &err);
  return w;
}

std::string AppName() {
  char buf[260];
  std::snprintf(buf, sizeof(buf), "tillcast_proxy_%s_%s", kAppVersion, kEnvironmentWord);
  return buf;
}

int UninstallRun(const StartupEnv& env) {
  DriverService service(env.services, DriverServiceName());
  service.RemoveDriverService();
  return 0;
}

}  // namespace

std::atomic<bool>& AppExiting() {
  static std::atomic<bool> exiting{false};
  return exiting;
}

std::string InfoRunText(const std::vector<std::string>& args) {
  if (args.size() != 2) return {};
  if (args[1] == "--version") return std::string("tillcast ") + kAppVersion + "\n";
  if (args[1] != "--help") return {};
  return std::string(
             "Usage: tillcast [uninstall | --help | --version]\n"
             "\n"
             "Tillcast ") +
         kAppVersion +
         ", the receipt agent of the checkout PC: captures what the till prints,\n"
         "uploads it, prints additional receipts and cloud jobs, reads barcode scanners.\n"
         "\n"
         "Without arguments the agent runs in the user's desktop session until it is\n"
         "told to quit (tray menu, SIGTERM, or `tillcast-send 201`); a second start\n"
         "exits with status 255.\n"
         "  uninstall   switch the capture driver's service off, then exit (root)\n"
         "  --help      print this text and exit\n"
         "  --version   print the version and exit\n"
         "\n"
         "Settings: ~/.local/share/Tillcast/setting.ini and the settings window.\n"
         "Log: <installation>/logs, or ~/.local/state/Tillcast/logs for an installed agent.\n"
         "When something does not work, run tillcast-doctor: it says what is wrong and how to fix it.\n";
}

bool IsUninstallRun(const std::vector<std::string>& args) {
  return args.size() == 2 && strcasecmp(args[1].c_str(), "uninstall") == 0;
}

UpdaterCommand BuildUpdaterCommand(const std::string& device_id, const std::string& http_ip,
                                   const std::string& http_port) {
  UpdaterCommand cmd;
  cmd.argv = {kUpdaterProgram, "/target=Tillcast", std::string("/manifestURL=") + kUpdatesUrl};
  cmd.line = Utf8Wide(kUpdaterProgram) + L" /target=Tillcast /manifestURL=\"" + Utf8Wide(kUpdatesUrl) + L"\"";
  if (!device_id.empty()) {
    cmd.argv.push_back("/deviceId=" + device_id);
    std::wstring wide_id;
    try {
      wide_id = ToWide(device_id);
    } catch (const std::exception&) {
      wide_id = Utf8Wide(device_id);
    }
    cmd.line += L" /deviceId=" + wide_id;
  }
  if (!http_ip.empty()) {
    cmd.argv.push_back("/proxy=" + http_ip + ":" + http_port);
    cmd.line += L" /proxy=\"" + Utf8Wide(http_ip) + L":" + Utf8Wide(http_port) + L"\"";
  }
  return cmd;
}

void LaunchUpdater(platform::ProcessLauncher* launcher, CrashReporter* crash) {
  const std::string device_id = DataMgr::GetInstance().GetConfig("DeviceID");
  if (!device_id.empty() && crash != nullptr) {
    char app[260];
    std::snprintf(app, sizeof(app), "tillcast_proxy_%s_%s deviceId:%s", kAppVersion, kEnvironmentWord,
                  device_id.c_str());
    crash->SetMail(kCrashReportMail, app);
  }
  const ProcessSettings& settings = GetProcessSettings();
  const UpdaterCommand cmd = BuildUpdaterCommand(device_id, settings.httpIp, settings.httpPort);
  LogW(LOG_INFO, L"%ls", cmd.line.c_str());
  // An installed agent is updated by the package manager.
  if (launcher == nullptr || PerUserInstallation()) return;
  int err = 0;
  // Searched in the executable's folder, then the current folder (the same
  // one after start-up); a missing updater is not an error.
  launcher->SpawnDetached(cmd.argv, {GetModuleFolder(), "."}, &err);
}

int RunAgent(const std::vector<std::string>& args, const StartupEnv& env, const StartupHooks& hooks) {
  // 1-2: the driver service name, and the one-shot uninstall run.
  if (IsUninstallRun(args)) return UninstallRun(env);

  // 3: crash reporter, writing beside the log. An installed agent's log
  // folder is the user's own and is made here.
  const std::string log_folder = ResolveLogFolder();
  if (PerUserInstallation()) platform::MakeDirectories(log_folder);
  if (env.crash != nullptr) {
    env.crash->Install(kCrashReportMail, AppName());
    env.crash->SetReportFolder(log_folder);
  }

  // 4: one instance only; a second one leaves without a trace.
  bool already = false;
  std::unique_ptr<platform::InstanceLock> instance = env.locks->Create(kInstanceMutexName, &already);
  if (already) return -1;

  // 5-6: current folder and log.
  const std::string module_folder = GetModuleFolder();
  // The log is not up yet to report a failure; nothing below relies on
  // relative paths.
  platform::SetCurrentFolder(module_folder);
  InitLog(LOG_INFO);
  Log(LOG_INFO, "***************************日志初始化完成***********************");
  Log(LOG_INFO, "版本：%s_%s\n", kAppVersion, kEnvironmentWord);
  if (!env.services_choice.empty()) Log(LOG_INFO, "capture driver service: %s", env.services_choice.c_str());
  if (PerUserInstallation())
    Log(LOG_INFO, "installed for all users: log in %s, store logo in the data folder, updates by the package manager",
        log_folder.c_str());
  if (const std::string note = platform::RuntimeFolderWarning(); !note.empty()) Log(LOG_WARNING, "%s", note.c_str());

  // 7: setting.ini.
  auto ini = std::make_unique<platform::IniFile>();
  ini->Load(GetDataFolder() + "/setting.ini");
  ProcessSettings& settings = GetProcessSettings();
  ReadProcessSettings(*ini, &settings);
  const std::string hook_keyboard = ini->GetString("setting", "hookkeyboard", "1");

  // 8-9: data, updater.
  DataMgr& data = DataMgr::GetInstance();
  data.Init();
  LaunchUpdater(env.launcher, env.crash);

  // 10: skin folder.
  if (hooks.set_skin_folder) hooks.set_skin_folder(module_folder + "/skin/");

  // 11: driver service start thread. It is joined at shutdown rather than
  // left detached: it uses the service manager, which does not outlive this
  // function, and it notices the exit flag within 100 ms.
  std::thread driver_thread;
  if (hooks.start_driver_thread) {
    hooks.start_driver_thread();
  } else if (env.services != nullptr) {
    platform::ServiceManager* services = env.services;
    const unsigned retry_ms = settings.serviceRetryMs;
    driver_thread = std::thread([services, retry_ms] {
      DriverService service(services, DriverServiceName());
      service.RunStartLoop(AppExiting(), retry_ms);
    });
  }

  // 12-13: main window, binding, device key hand-over.
  const bool bound = data.LoadBindInfo();
  if (hooks.create_main_window) hooks.create_main_window(bound);
  if (bound) {
    if (hooks.apply_device_key) hooks.apply_device_key("");
  } else {
    std::string key;
    if (ReadDeviceKey(key) && !key.empty()) {
      if (hooks.apply_device_key) hooks.apply_device_key(key);
      WriteDeviceKey("");
    }
  }

  // The local message endpoint stands in for the main window's WM_COPYDATA.
  platform::IpcServer ipc;
  if (!env.ipc_socket.empty()) {
    MessageLoop* loop = env.loop;
    auto copy_data = hooks.copy_data;
    int err = 0;
    const bool started = ipc.Start(
        env.ipc_socket,
        [loop, copy_data](uint32_t code, const std::string& payload) {
          // A probe (tillcast-send --ping, tillcast-doctor) is answered here,
          // without reaching the window.
          if (code == platform::kIpcProbeCode) return false;
          if (code == kCopyDataQuit) {
            loop->Quit();
            return true;
          }
          return copy_data ? copy_data(code, payload) : false;
        },
        &err);
    if (!started) Log(LOG_ERROR, "local message endpoint %s failed, errno:%d", env.ipc_socket.c_str(), err);
  }

  // 14-16: keyboard hook, network thread, loop.
  if (hook_keyboard == "1" && hooks.install_keyboard_hook) hooks.install_keyboard_hook();
  if (hooks.net_start) hooks.net_start();
  env.loop->Run();

  // Shutdown, in this order.
  ipc.Stop();
  if (hooks.uninstall_keyboard_hook) hooks.uninstall_keyboard_hook();
  if (hooks.remove_all_port_monitors) hooks.remove_all_port_monitors();
  AppExiting().store(true);
  if (hooks.stop_capture) hooks.stop_capture();
  if (hooks.net_stop) hooks.net_stop();
  ini.reset();
  instance.reset();
  if (driver_thread.joinable()) driver_thread.join();
  return 0;
}

}  // namespace tillcast
