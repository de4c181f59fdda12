// The agent's entry point: the Qt application and the real platform
// facilities around the start-up sequence.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <QApplication>

#include "base/install_layout.h"
#include "app/qt_message_loop.h"
#include "app/startup.h"
#include "capture/driver_service.h"
#include "crashreport.h"
#include "platform/ipc.h"
#include "app/agent_wiring.h"

namespace {

class LibraryCrashReporter final : public tillcast::CrashReporter {
 public:
  void Install(const std::string& mail, const std::string& app_name) override {
    ::Install(nullptr, mail.c_str(), app_name.c_str(), 0);
  }
  void SetMail(const std::string& mail, const std::string& app_name) override {
    ::SetMail(mail.c_str(), app_name.c_str());
  }
  void SetReportFolder(const std::string& folder) override { ::SetReportFolder(folder.c_str()); }
};

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv, argv + argc);
  if (const std::string info = tillcast::InfoRunText(args); !info.empty()) {
    std::fputs(info.c_str(), stdout);
    return 0;
  }
  tillcast::StartupEnv env;
  const std::unique_ptr<tillcast::platform::ServiceManager> services =
      tillcast::CreateDriverServiceManager(tillcast::PerUserInstallation(), &env.services_choice);
  env.services = services.get();
  if (tillcast::IsUninstallRun(args)) return tillcast::RunAgent(args, env, {});

  // Without a display the windows live off screen.
  if (!std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY") && !std::getenv("QT_QPA_PLATFORM"))
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication app(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);  // the agent lives in the tray

  tillcast::platform::FlockInstanceLockFactory locks;
  tillcast::platform::PosixProcessLauncher launcher;
  LibraryCrashReporter crash;
  tillcast::QtMessageLoop loop;
  env.locks = &locks;
  env.launcher = &launcher;
  env.crash = &crash;
  env.loop = &loop;
  env.ipc_socket = tillcast::platform::DefaultIpcSocketPath();
  // The windows and subsystems; the main window is destroyed with `ui`,
  // after the run and before the application object.
  tillcast::AgentWiring wiring(&loop, &launcher, &crash);
  tillcast::StartupHooks hooks;
  wiring.FillHooks(hooks);
  return tillcast::RunAgent(args, env, hooks);
}
