#include "ui/login_wnd.h"

#include <unistd.h>

#include <optional>

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QCursor>
#include <QGuiApplication>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QThread>

#include "base/install_layout.h"
#include "base/log.h"
#include "base/system_integration.h"
#include "base/text_util.h"
#include "capture/capture_road.h"
#include "capture/cups_inbox.h"
#include "capture/serial_watcher.h"
#include "capture/spool_monitor.h"
#include "data/data_mgr.h"
#include "platform/env.h"
#include "platform/ipc.h"
#include "print/port_list.h"
#include "print/printer_link.h"
#include "scanner/debug_output.h"
#include "scanner/keyboard_filter.h"
#include "ui/advance_setting_wnd.h"
#include "ui/order_wnd.h"
#include "ui/port_choice.h"
#include "ui/ui_text.h"
#include "ui/window_text.h"

namespace tillcast::ui {
namespace {

// One of the three port types the printer library opens.
bool IsKnownPortType(const QString& type) {
  const std::string ansi = ToAnsi(type);
  return ansi == PortTypeSerial() || ansi == PortTypeParallel() || ansi == PortTypeDriver();
}

constexpr uint32_t kUpdaterPeriodMs = 600000;
constexpr uint32_t kOrderPeriodMs = 1000;
constexpr int kOrderOffset = 320;

// The companion cash-register application's settings window listens on its
// own endpoint beside ours, when it runs.
void NotifyCompanionQuit() {
  const std::string path = platform::RuntimeFolder() + "/Norbel_SettingsMainView.sock";
  if (access(path.c_str(), F_OK) != 0) return;
  std::string error;
  platform::IpcSend(path, kCopyDataQuitCode, std::string(), 1000, &error);
}

}  // namespace

LoginWnd::LoginWnd(LoginWndDeps deps)
    : deps_(std::move(deps)),
      cloud_(deps_.cloud != nullptr ? deps_.cloud : NetMgrCloudApi()),
      ports_(deps_.ports != nullptr ? deps_.ports : &PortList::GetInstance()),
      binding_(cloud_, DeviceBinding::Settings{deps_.auto_connect_retry_ms}),
      scanned_(cloud_, [](const std::string& text) { ScannerDebug("%s", text.c_str()); }) {
  if (deps_.capture != nullptr)
    deps_.capture->flow().SetStartTimer(
        [this] { PostTask([this] { SetTimer(kTimerUpload, capture::CaptureFlow::kTimerPeriodMs); }); });
}

LoginWnd::~LoginWnd() {
  quitRequested.store(true);
  binding_.RequestQuit();
  // A capture callback may be running on the watcher's thread: it has
  // returned once these do, and none reaches this window afterwards.
  if (deps_.watcher != nullptr) deps_.watcher->connection().DetachCallbacks();
  if (deps_.capture != nullptr) deps_.capture->flow().SetStartTimer(nullptr);
  if (spoolMonitor) {
    spoolMonitor->Stop();
    spoolMonitor.reset();
  }
  cupsInbox_.reset();
  JoinWorkers();
  CCvsOrderWnd::DestroyAll();
  RemoveTrayIcon();
}

void LoginWnd::JoinWorkers() { workers_.JoinAll(); }

void LoginWnd::StartThread(std::function<void()> body) { workers_.Start(std::move(body)); }

std::string LoginWnd::StoreLogoFile() { return StoreLogoFilePath(); }

void LoginWnd::InitWindow() {
  QWidget* root = GetHWND();
  root->setWindowIcon(QIcon(QString::fromStdString(SkinFolder()) + QStringLiteral("app_icon.png")));
  comboPort = FindControl<QComboBox>(QStringLiteral("ComboPort"));
  comboType = FindControl<QComboBox>(QStringLiteral("ComboType"));
  buttonClose = FindControl<QPushButton>(QStringLiteral("ButtonClose"));
  buttonLogin = FindControl<QPushButton>(QStringLiteral("ButtonLogin"));
  editPsw = FindControl<QLineEdit>(QStringLiteral("EditPsw"));
  optionStartup = FindControl<QCheckBox>(QStringLiteral("OptionStartup"));
  optionClosePrint = FindControl<QCheckBox>(QStringLiteral("OptionClosePrint"));
  buttonAdvanceSetting = FindControl<QPushButton>(QStringLiteral("ButtonAdvanceSetting"));
  layoutLogin = FindControl(QStringLiteral("LayoutLogin"));
  layoutReady = FindControl(QStringLiteral("LayoutReady"));
  layoutChange = FindControl(QStringLiteral("LayoutChange"));
  layoutGif = FindControl(QStringLiteral("LayoutGif"));

  if (optionStartup) optionStartup->setChecked(DataMgr::GetInstance().GetConfig("AutoStartUp") == "true");
  if (optionClosePrint) optionClosePrint->setChecked(DataMgr::GetInstance().GetConfig("ClosePrint") == "true");

  if (comboType) {
    QStringList types;
    for (const auto& [type, names] : ports_->Refresh()) types << FromAnsi(type);
    // The configured printer stays shown when discovery finds no port of
    // its type (a device path no enumeration lists): printing uses it.
    const QString configured = ConfigText("PortType");
    if (!types.contains(configured) && IsKnownPortType(configured)) types << configured;
    ComboSetItems(comboType, types);
    const int index = ComboFind(comboType, ConfigText("PortType"));
    if (index >= 0) ComboSelect(comboType, index);  // fills comboPort
  }
  if (buttonLogin && editPsw && editPsw->text().isEmpty()) buttonLogin->setEnabled(false);

  buttonChange = FindControl<QPushButton>(QStringLiteral("ButtonChange"));
  labelStoreName = FindControl<QLabel>(QStringLiteral("LabelStoreName"));
  labelClient = FindControl<QLabel>(QStringLiteral("LabelClient"));
  buttonOK = FindControl<QPushButton>(QStringLiteral("ButtonOK"));
  buttonCancle = FindControl<QPushButton>(QStringLiteral("ButtonCancle"));
  editChangePsw = FindControl<QLineEdit>(QStringLiteral("EditChangePsw"));
  gifAnimWaiting = FindControl<QLabel>(QStringLiteral("GifAnimWaiting"));
  labelAvatar2 = FindControl<QLabel>(QStringLiteral("LabelAvatar2"));
  UpdateLogo();

  labelOnline_ = FindControl<QLabel>(QStringLiteral("LabelOnline"));
  labelVersion = FindControl<QLabel>(QStringLiteral("LabelVersion"));
  if (labelVersion) labelVersion->setText(QStringLiteral(u"版本号：") + QString::fromLatin1(kAppVersion));

  AddTrayIcon();
  UpdateStatus();
  ready = true;

  SetTimer(kTimerUpdater, kUpdaterPeriodMs);
  SetTimer(kTimerOrders, kOrderPeriodMs);

  Log(LOG_ERROR, "login:1");
  if (deps_.watcher != nullptr) {
    deps_.watcher->Init([this] { RegisterPortMonitors(); });
    auto callback = [this](uint32_t source, const uint8_t* data, uint32_t length) {
      DriverParallelEvtCallbackEx(source, data, static_cast<int32_t>(length));
    };
    deps_.watcher->SetSerialDataCallback(callback);
    deps_.watcher->SetParallelDataCallback(callback);
  }
  Log(LOG_ERROR, "login:2");
  if (deps_.spool_monitor) {
    spoolMonitor = std::make_unique<SpoolMonitor>(deps_.spool_folder, deps_.spool_copy_folder);
    spoolMonitor->SetCallback([this](const std::string& path) { SpoolFileCallback(path); });
    spoolMonitor->Start();
  }
  // Print jobs through CUPS: beside the spooler, and taken the same road.
  if (deps_.cups_inbox) {
    capture::CupsInbox::Settings inbox;
    inbox.folder = deps_.cups_inbox_folder;
    cupsInbox_ = std::make_unique<capture::CupsInbox>(std::move(inbox));
    cupsInbox_->SetCallback([this](const std::string& path, bool waited) { CupsCopyCallback(path, waited); });
    cupsInbox_->Start();
  }
  Log(LOG_ERROR, "login:3");
}

void LoginWnd::RegisterPortMonitors() {
  if (deps_.watcher == nullptr) return;
  deps_.watcher->RemoveAllPortMonitor();
  deps_.watcher->AddPortMonitor(1, -1);
  deps_.watcher->AddPortMonitor(2, -1);
}

void LoginWnd::ShowPage(LoginPage page) {
  page_ = page;
  if (layoutLogin) layoutLogin->setVisible(page == LoginPage::kLogin);
  if (layoutReady) layoutReady->setVisible(page == LoginPage::kReady);
  if (layoutChange) layoutChange->setVisible(page == LoginPage::kChangeAccount);
  if (layoutGif) layoutGif->setVisible(page == LoginPage::kWaiting);
  if (page == LoginPage::kReady) {
    DataMgr& data = DataMgr::GetInstance();
    // The cloud's texts, cut before Qt lays them out.
    if (labelStoreName)
      labelStoreName->setText(
          FromAnsi(CapWindowText(data.GetBindInfo("store_name"), kMaxWindowNameBytes, "store_name")));
    const std::string device = CapWindowText(data.GetBindInfo("device_name"), kMaxWindowNameBytes, "device_name");
    const std::string id = CapWindowText(data.GetConfig("DeviceID"), kMaxWindowNameBytes, "DeviceID");
    if (labelClient && !device.empty() && !id.empty())
      labelClient->setText(FromAnsi(device) + QStringLiteral(" ID:") + FromAnsi(id));
  }
  if (page == LoginPage::kWaiting) {
    PlayGif(gifAnimWaiting);
  } else {
    StopGif(gifAnimWaiting);
  }
}

void LoginWnd::UpdateLogo() {
  const bool have = binding_.FetchStoreLogo();
  if (QThread::currentThread() == QCoreApplication::instance()->thread()) {
    ShowLogo(have);
  } else {
    PostTask([this, have] { ShowLogo(have); });
  }
}

void LoginWnd::ShowLogo(bool have) {
  SetBkImage(labelAvatar2, have ? QString::fromStdString(StoreLogoFile()) : QStringLiteral("avatar_default.png"));
}

void LoginWnd::ApplyDeviceKey(const std::string& key) { StartKeyStep(binding_.ApplyDeviceKey(key)); }

void LoginWnd::SetDeviceKey(const std::string& key) { StartKeyStep(binding_.SetDeviceKey(key)); }

void LoginWnd::StartKeyStep(KeyStep step) {
  if (step == KeyStep::kAutoConnect) {
    StartThread([this] { AutoConnectThread(); });
  } else if (step == KeyStep::kBind) {
    ShowPage(LoginPage::kWaiting);
    StartThread([this] { BindThread(); });
  }
}

void LoginWnd::Login() {
  if (editPsw == nullptr) return;
  if (!binding_.Login(ToAnsi(editPsw->text()))) return;
  StartKeyStep(KeyStep::kBind);
}

void LoginWnd::ShowBindingFailure(const BindingResult& result) {
  if (result.failure.empty()) return;
  QString text = FromAnsi(result.failure);
  if (!result.last_message.empty())
    text += QStringLiteral(",") + FromAnsi(CapWindowText(result.last_message, kMaxWindowMessageBytes, "message"));
  ShowMessageBox(nullptr, text, QStringLiteral(u"提示"));
}

void LoginWnd::BindThread() {
  const BindingResult result = binding_.Bind();
  PostTask([this, result] {
    if (result.logo_checked) ShowLogo(result.have_logo);
    if (result.connected) {
      ShowPage(LoginPage::kReady);
      return;
    }
    ShowPage(LoginPage::kLogin);
    ShowBindingFailure(result);
  });
}

void LoginWnd::AutoConnectThread() {
  const BindingResult result = binding_.AutoConnect();
  if (!result.connected) return;  // quitting
  PostTask([this, result] {
    if (result.logo_checked) ShowLogo(result.have_logo);
    ShowPage(LoginPage::kReady);
  });
}

bool LoginWnd::ChangeAccount() {
  const BindingResult result = binding_.ChangeAccount(
      editChangePsw != nullptr ? ToAnsi(editChangePsw->text()) : std::string(), editChangePsw != nullptr);
  if (result.logo_checked) ShowLogo(result.have_logo);
  ShowBindingFailure(result);
  return result.connected;
}

void LoginWnd::FillPortCombo() {
  if (comboPort == nullptr) return;
  ComboSetItems(comboPort, PortChoices(ports_, comboType != nullptr ? comboType->currentText() : QString()));
  const int index = ComboFind(comboPort, ConfigText("PortName"));
  ComboSelect(comboPort, index >= 0 ? index : 0);
}

void LoginWnd::RefreshComboSelections() {
  const int port = ComboFind(comboPort, ConfigText("PortName"));
  if (port >= 0) ComboSelect(comboPort, port);
  const int type = ComboFind(comboType, ConfigText("PortType"));
  if (type >= 0) ComboSelect(comboType, type);
}

void LoginWnd::Notify(TNotifyUI& msg) {
  const QString& type = msg.sType;
  const QString& name = msg.controlName;
  DataMgr& data = DataMgr::GetInstance();
  if (type == QStringLiteral("itemselect")) {
    if (name == QStringLiteral("ComboType") && comboType) {
      FillPortCombo();
      data.SetConfig("PortType", ToAnsi(comboType->currentText()));
    } else if (name == QStringLiteral("ComboPort") && comboPort) {
      data.SetConfig("PortName", ToAnsi(comboPort->currentText()));
      if (ready) StartThread([] { DataMgr::GetInstance().SaveConfig(); });
    }
  } else if (type == QStringLiteral("click")) {
    if (name == QStringLiteral("ButtonLogin")) {
      Login();
    } else if (name == QStringLiteral("ButtonClose")) {
      HideToTray();
    } else if (name == QStringLiteral("ButtonAdvanceSetting")) {
      // Its printer actions run on our workers: closing it never waits for them.
      AdvanceSettingWnd settings(ports_, &workers_);
      if (settings.Create(this, ProductDisplayName(), kStyleAppWindow, kExStyleWindowEdge)) {
        settings.CenterWindow();
        settings.ShowModal();
      }
      RefreshComboSelections();
    } else if (name == QStringLiteral("ButtonChange")) {
      ShowPage(LoginPage::kChangeAccount);
      if (editChangePsw) editChangePsw->clear();
      if (buttonOK) buttonOK->setEnabled(false);
    } else if (name == QStringLiteral("ButtonCancle")) {
      ShowPage(LoginPage::kReady);
    } else if (name == QStringLiteral("ButtonOK")) {
      if (ChangeAccount()) ShowPage(LoginPage::kReady);
    }
  } else if (type == QStringLiteral("textchanged")) {
    if (name == QStringLiteral("EditPsw") && buttonLogin && editPsw) {
      buttonLogin->setEnabled(!editPsw->text().isEmpty());
    } else if (name == QStringLiteral("EditChangePsw") && buttonOK && editChangePsw) {
      buttonOK->setEnabled(!editChangePsw->text().isEmpty());
    }
  } else if (type == QStringLiteral("return")) {
    if (name == QStringLiteral("EditPsw")) {
      Login();
    } else if (name == QStringLiteral("EditChangePsw")) {
      // As the OK button, which stays disabled without a key.
      if (buttonOK == nullptr || buttonOK->isEnabled()) {
        if (ChangeAccount()) ShowPage(LoginPage::kReady);
      }
    }
  } else if (type == QStringLiteral("selectchanged")) {
    if (name == QStringLiteral("OptionStartup") && optionStartup) {
      data.SetConfig("AutoStartUp", optionStartup->isChecked() ? "true" : "false");
      if (ready) data.SaveConfig();
    } else if (name == QStringLiteral("OptionClosePrint") && optionClosePrint) {
      data.SetConfig("ClosePrint", optionClosePrint->isChecked() ? "true" : "false");
      if (ready) data.SaveConfig();
    }
  }
}

void LoginWnd::DriverParallelEvtCallbackEx(uint32_t source, const uint8_t* data, int32_t length) {
  if (deps_.capture != nullptr) deps_.capture->flow().OnDriverData(source, data, length);
}

void LoginWnd::SpoolFileCallback(const std::string& path) {
  if (deps_.capture != nullptr) deps_.capture->flow().OnSpoolFile(path);
}

void LoginWnd::CupsCopyCallback(const std::string& path, bool waited) {
  if (deps_.capture == nullptr) return;
  if (waited)
    deps_.capture->TakeUpWaitingCupsCopy(path);
  else
    deps_.capture->flow().OnCupsCopy(path);
}

void LoginWnd::OnUploadTimer() {
  if (deps_.capture == nullptr || deps_.capture->flow().OnUploadTimer()) KillTimer(kTimerUpload);
}

void LoginWnd::UpdateStatus() {
  const bool connected = deps_.watcher != nullptr && deps_.watcher->connection().IsConnected();
  const size_t waiting = deps_.capture != nullptr ? deps_.capture->Waiting() : 0;
  const QString text = CaptureStatusText(deps_.watcher != nullptr, connected, waiting);
  if (text == statusText_) return;
  statusText_ = text;
  if (labelOnline_ != nullptr) labelOnline_->setText(text);
  if (trayIcon != nullptr) trayIcon->setToolTip(ProductDisplayName() + QStringLiteral("\n") + text);
}

void LoginWnd::OnOrderTimer() {
  UpdateStatus();
  QScreen* screen = QGuiApplication::primaryScreen();
  const QRect area = screen != nullptr ? screen->availableGeometry() : QRect(0, 0, 1024, 768);
  OrderInfo order;
  while (DataMgr::GetInstance().PopOrderInfo(order)) {
    Log(LOG_INFO, "WM_TIMER 1");
    auto* wnd = new CCvsOrderWnd;
    wnd->SetOrder(order);
    Log(LOG_INFO, "WM_TIMER 2");
    if (!wnd->Create(this, QStringLiteral(u"扫描购支付成功"), kStyleAppWindow, kExStyleTopmost | kExStyleToolWindow)) {
      delete wnd;
      continue;
    }
    wnd->GetHWND()->move(area.x() + area.width() - kOrderOffset, area.y() + area.height() - kOrderOffset);
    wnd->ShowWindow(true, false);
    Log(LOG_INFO, "WM_TIMER 3");
  }
}

void LoginWnd::OnBarcode() {
  const std::wstring code = deps_.barcode ? deps_.barcode() : KeyboardFilter::Instance()->GetBarcode();
  const std::optional<std::string> number = scanned_.Take(code);
  if (!number) return;
  // The order service call runs off the UI thread, so scanning never
  // freezes the window.
  StartThread([this, n = *number] { scanned_.PrintReceipt(n); });
}

void LoginWnd::AddTrayIcon() {
  if (trayIcon != nullptr || !TrayAvailable()) return;
  trayIcon = new QSystemTrayIcon(QIcon(QString::fromStdString(SkinFolder()) + QStringLiteral("app_icon.png")));
  trayIcon->setToolTip(ProductDisplayName());
  trayMenu_ = std::make_unique<QMenu>();
  QAction* quit = trayMenu_->addAction(QStringLiteral(u"退出"));
  QObject::connect(quit, &QAction::triggered, trayIcon, [this] { PostMessage(kMsgTrayQuit, 0, 0); });
  trayIcon->setContextMenu(trayMenu_.get());
  QObject::connect(trayIcon, &QSystemTrayIcon::activated, trayIcon, [this](QSystemTrayIcon::ActivationReason r) {
    if (r == QSystemTrayIcon::Trigger || r == QSystemTrayIcon::DoubleClick)
      SendMessage(kMsgTrayCallback, 0, kMsgLButtonDown);
  });
  trayIcon->show();
}

void LoginWnd::RemoveTrayIcon() {
  if (trayIcon == nullptr) return;
  trayIcon->hide();
  delete trayIcon;
  trayIcon = nullptr;
  trayMenu_.reset();
}

void LoginWnd::HideToTray() {
  // Without a notification area the window only goes down to the task bar,
  // so it stays reachable.
  if (trayIcon != nullptr || TrayAvailable()) {
    ShowWindow(false);
  } else if (GetHWND()) {
    GetHWND()->showMinimized();
  }
}

void LoginWnd::PostQuit() {
  if (deps_.quit) {
    deps_.quit();
  } else if (QCoreApplication* app = QCoreApplication::instance()) {
    QMetaObject::invokeMethod(
        app, [] { QCoreApplication::quit(); }, Qt::QueuedConnection);
  }
}

void LoginWnd::OnTrayQuit() {
  if (deps_.notify_companion) {
    deps_.notify_companion();
  } else {
    NotifyCompanionQuit();
  }
  quitRequested.store(true);
  binding_.RequestQuit();
  closeAllowed = true;
  ShowWindow(false);
  RemoveTrayIcon();
  PostQuit();
}

intptr_t LoginWnd::OnCopyData(uint32_t code, const std::string& payload) {
  if (code == kCopyDataQuitCode) {
    RemoveTrayIcon();
    PostQuit();
    return 1;
  }
  if (code == kCopyDataUploadCode) {
    if (deps_.capture != nullptr) deps_.capture->UploadFile(payload);
    return 1;
  }
  return 0;
}

intptr_t LoginWnd::HandleMessage(uint32_t message, uintptr_t wparam, intptr_t lparam, bool& handled) {
  switch (message) {
    case kMsgTrayCallback:
      handled = true;
      if (lparam == kMsgLButtonDown) {
        ShowWindow(true, true);
      } else if (lparam == kMsgRButtonDown) {
        if (trayMenu_) trayMenu_->popup(QCursor::pos());
      }
      return 0;
    case kMsgTrayQuit:
      handled = true;
      OnTrayQuit();
      return 0;
    case RECEIVE_BARCODE_MSG:
      handled = true;
      OnBarcode();
      return 0;
    case kMsgCopyData: {
      handled = true;
      const auto* record = reinterpret_cast<const CopyDataRecord*>(lparam);
      if (record == nullptr) return -1;
      return OnCopyData(record->code, record->payload);
    }
    case kMsgNcDoubleClick: handled = true; return 0;
    case kMsgClose:
      if (!closeAllowed) {
        handled = true;
        HideToTray();
        return 0;
      }
      if (ready) DataMgr::GetInstance().SaveConfig();
      break;
    case kMsgTimer:
      if (wparam == kTimerUpdater) {
        if (deps_.launch_updater) deps_.launch_updater();
      } else if (wparam == kTimerUpload) {
        OnUploadTimer();
      } else if (wparam == kTimerOrders) {
        OnOrderTimer();
      }
      break;
    default: break;
  }
  return WindowImplBase::HandleMessage(message, wparam, lparam, handled);
}

}  // namespace tillcast::ui
