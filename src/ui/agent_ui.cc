#include "ui/agent_ui.h"

#include "app/log.h"
#include "app/process_settings.h"
#include "capture/serial_watcher.h"
#include "net/net_mgr.h"
#include "print/print_hooks.h"
#include "print/receipt_printer.h"
#include "scanner/keyboard_filter.h"
#include "ui/login_wnd.h"
#include "ui/toolkit.h"

namespace tillcast::ui {

AgentUi::AgentUi(MessageLoop* loop, platform::ProcessLauncher* launcher, CrashReporter* crash)
    : loop_(loop), launcher_(launcher), crash_(crash) {
  InstallPrintHooks();
  NetMgr::GetInstance().SetReceiptRenderer(
      [](const std::string& ticket, const std::string& templ) { return RenderReceipt(ticket, templ); });
}

AgentUi::~AgentUi() {
  KeyboardFilter::Instance()->SetTargetWindow(nullptr);
  wnd_.reset();
}

void AgentUi::FillHooks(StartupHooks& hooks) {
  hooks.set_skin_folder = [](const std::string& folder) { SetSkinFolder(folder); };
  hooks.create_main_window = [this](bool bound) {
    LoginWndDeps deps;
    deps.watcher = GetSerialWatcher();
    deps.watcher->SetConnectPeriod(GetProcessSettings().driverRetryMs);
    deps.launch_updater = [this] { LaunchUpdater(launcher_, crash_); };
    deps.quit = [this] { loop_->Quit(); };
    wnd_ = std::make_unique<LoginWnd>(std::move(deps));
    if (!wnd_->Create(nullptr, ProductDisplayName(), kStyleAppWindow, kExStyleWindowEdge)) {
      // The flows still run; only the window is missing.
      Log(LOG_ERROR, "main window layout %slogin.xml could not be loaded", SkinFolder().c_str());
      return;
    }
    wnd_->CenterWindow();
    wnd_->ShowWindow(true, true);
    wnd_->ShowPage(bound ? 8 : 1);
  };
  hooks.apply_device_key = [this](const std::string& key) {
    if (wnd_) wnd_->ApplyDeviceKey(key);
  };
  hooks.install_keyboard_hook = [this] {
    KeyboardFilter::Instance()->SetTargetWindow(wnd_.get());
    return InstallKeyboardHook();
  };
  hooks.uninstall_keyboard_hook = [] { UninstallKeyboardHook(); };
  hooks.remove_all_port_monitors = [] { RemoveAllPortMonitors(); };
  hooks.net_start = [] { NetMgr::GetInstance().Start(); };
  hooks.net_stop = [] { NetMgr::GetInstance().Stop(); };
  // On the endpoint's thread: the upload itself runs on the UI thread, as
  // the capture uploads do.
  hooks.copy_data = [this](uint32_t code, const std::string& payload) {
    LoginWnd* wnd = wnd_.get();
    if (wnd == nullptr || code != kCopyDataUploadCode) return false;
    return wnd->PostTask([wnd, code, payload] { wnd->OnCopyData(code, payload); });
  };
}

}  // namespace tillcast::ui
