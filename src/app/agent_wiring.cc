#include "app/agent_wiring.h"

#include <algorithm>

#include "base/log.h"
#include "base/process_settings.h"
#include "base/text_util.h"
#include "capture/capture_road.h"
#include "capture/serial_watcher.h"
#include "capture/spool_monitor.h"
#include "net/net_mgr.h"
#include "net/rest_client.h"
#include "print/print_hooks.h"
#include "print/printer_link.h"
#include "print/receipt_printer.h"
#include "scanner/keyboard_filter.h"
#include "ui/login_wnd.h"
#include "ui/toolkit.h"

namespace tillcast {

AgentWiring::AgentWiring(MessageLoop* loop, platform::ProcessLauncher* launcher, CrashReporter* crash)
    : loop_(loop), launcher_(launcher), crash_(crash) {
  InstallPrintHooks();
  NetMgr::GetInstance().SetReceiptRenderer(
      [](const std::string& ticket, const std::string& templ) { return RenderReceipt(ticket, templ); });
}

AgentWiring::~AgentWiring() {
  KeyboardFilter::Instance()->SetTargetWindow(nullptr);
  wnd_.reset();
  NetMgr::GetInstance().SetCloudReachableHook(nullptr);
  capture_.reset();
}

// The capture road: checks, the additional receipt and the upload run on
// its worker, with the network and printing modules plugged in here.
void AgentWiring::StartCapture() {
  const ProcessSettings& ps = GetProcessSettings();
  capture::CaptureRoad::Settings settings;
  settings.data_folder = GetDataFolder();
  settings.spool_copy_folder = SpoolCopyFolder();
  settings.uploader.first_retry_ms = ps.outboxRetryMs;
  settings.uploader.max_retry_ms = std::max(ps.outboxRetryMs, ps.outboxRetryMaxMs);
  settings.limits.outbox = {ps.outboxMaxCount, static_cast<uint64_t>(ps.outboxMaxMb) << 20, ps.outboxMaxDays};
  settings.limits.rejected = {ps.rejectedMaxCount, static_cast<uint64_t>(ps.rejectedMaxMb) << 20, ps.rejectedMaxDays};
  capture::CaptureUploadHooks hooks;
  hooks.prepare = [](const std::string& bytes, const std::string& path, uint32_t tick, capture::CaptureAge age,
                     std::string* body, const std::atomic<bool>& abort) {
    // Quitting ends a transfer or a wait for an absent printer at once.
    RestClient::ScopedAbort guard(&abort);
    ScopedPrintAbort print_guard(&abort);
    const TicketAge ticket_age = age == capture::CaptureAge::kLate   ? TicketAge::kLate
                                 : age == capture::CaptureAge::kHeld ? TicketAge::kHeld
                                                                     : TicketAge::kFresh;
    return NetMgr::GetInstance().PrepareTicketUpload(bytes, path, tick, ticket_age, body);
  };
  hooks.send = [](const std::string& body, const std::atomic<bool>& abort) {
    RestClient::ScopedAbort guard(&abort);
    return static_cast<int>(NetMgr::GetInstance().SendTicketUpload(body));
  };
  capture_ = std::make_unique<capture::CaptureRoad>(std::move(settings), std::move(hooks), nullptr);
  capture::CaptureRoad* road = capture_.get();
  NetMgr::GetInstance().SetCloudReachableHook([road] { road->CloudReachable(); });
  capture_->Start();
}

void AgentWiring::FillHooks(StartupHooks& hooks) {
  hooks.set_skin_folder = [](const std::string& folder) { ui::SetSkinFolder(folder); };
  hooks.create_main_window = [this](bool bound) {
    // What an ended run left is taken up before capture starts.
    StartCapture();
    ui::LoginWndDeps deps;
    deps.watcher = GetSerialWatcher();
    deps.capture = capture_.get();
    deps.watcher->SetConnectPeriod(GetProcessSettings().driverRetryMs);
    deps.launch_updater = [this] { LaunchUpdater(launcher_, crash_); };
    deps.quit = [this] { loop_->Quit(); };
    wnd_ = std::make_unique<ui::LoginWnd>(std::move(deps));
    if (!wnd_->Create(nullptr, ui::ProductDisplayName(), ui::kStyleAppWindow, ui::kExStyleWindowEdge)) {
      // The flows still run; only the window is missing.
      Log(LOG_ERROR, "main window layout %slogin.xml could not be loaded", ui::SkinFolder().c_str());
      return;
    }
    wnd_->CenterWindow();
    wnd_->ShowWindow(true, true);
    wnd_->ShowPage(bound ? ui::LoginPage::kWaiting : ui::LoginPage::kLogin);
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
  hooks.stop_capture = [this] {
    if (capture_) capture_->Stop();
  };
  hooks.net_start = [] { NetMgr::GetInstance().Start(); };
  hooks.net_stop = [] { NetMgr::GetInstance().Stop(); };
  // On the endpoint's thread: handed to the window's thread, which hands
  // the file to the upload worker.
  hooks.copy_data = [this](uint32_t code, const std::string& payload) {
    ui::LoginWnd* wnd = wnd_.get();
    if (wnd == nullptr || code != ui::kCopyDataUploadCode) return false;
    return wnd->PostTask([wnd, code, payload] { wnd->OnCopyData(code, payload); });
  };
}

}  // namespace tillcast
