// The agent's main window and the controller of its flows: logging the
// device in and binding it, the pages (login, waiting, ready, change
// account), captured printer output → capture files → uploads, scanned
// receipt numbers, queued orders in pop-up windows, the updater timer, the
// tray icon and quitting.
//
// The binding itself is DeviceBinding's and the scanned-code rule
// ScannedCode's (src/net); the window runs them and renders their results.
//
// Threading: constructed, initialised and destroyed on the UI thread. The
// capture callbacks run on the capture threads; the bind, auto-connect,
// save and receipt-request threads are the window's own. Every change of
// pages, labels and timers is posted to the UI thread. The destructor stops
// and joins the window's threads.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "base/worker_threads.h"
#include "platform/clock.h"
#include "net/cloud_api.h"
#include "net/device_binding.h"
#include "net/scanned_code.h"
#include "ui/toolkit.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QSystemTrayIcon;

namespace tillcast {
class PortList;
class SerialWatcher;
class SpoolMonitor;
namespace capture {
class CaptureRoad;
class CupsInbox;
}  // namespace capture
}  // namespace tillcast

namespace tillcast::ui {

inline constexpr uint32_t kMsgTrayCallback = 1125;
inline constexpr uint32_t kMsgTrayQuit = 1126;
inline constexpr uint32_t kTimerUpdater = 21;
inline constexpr uint32_t kTimerUpload = 22;
inline constexpr uint32_t kTimerOrders = 23;
inline constexpr uint32_t kCopyDataUploadCode = 101;
inline constexpr uint32_t kCopyDataQuitCode = 201;

// The main window's pages; the values are the layouts' bits of old.
enum class LoginPage : int {
  kNone = 0,  // before the first ShowPage
  kLogin = 1,
  kReady = 2,  // with the store and device names
  kChangeAccount = 4,
  kWaiting = 8,  // the waiting animation plays
};

// A WM_COPYDATA record: lparam of kMsgCopyData points at one (SendMessage
// only, never posted).
struct CopyDataRecord {
  uint32_t code = 0;
  std::string payload;
};

// What the main window works with; every member may stay empty (null
// pointers are replaced by the process-wide objects where one exists).
struct LoginWndDeps {
  CloudApi* cloud = nullptr;                // null: the process-wide NetMgr
  PortList* ports = nullptr;                // null: the process-wide list
  platform::Clock* clock = nullptr;         // null: the system clock
  SerialWatcher* watcher = nullptr;         // null: no driver capture
  capture::CaptureRoad* capture = nullptr;  // null: captures go nowhere
  bool spool_monitor = true;                // watch the spool folder
  std::string spool_folder;                 // "" = SpoolFolder()
  std::string spool_copy_folder;            // "" = SpoolCopyFolder()
  bool cups_inbox = true;                   // watch the CUPS backend's inbox
  std::string cups_inbox_folder;            // "" = CupsInboxFolder()
  std::function<void()> launch_updater;     // timer 21
  std::function<void()> quit;               // ends the message loop; null = QCoreApplication::quit
  std::function<void()> notify_companion;   // tells the companion's settings window 201; null = its endpoint
  std::function<std::wstring()> barcode;    // null = the keyboard filter's code
  uint32_t auto_connect_retry_ms = 5000;
};

class LoginWnd final : public WindowImplBase {
 public:
  explicit LoginWnd(LoginWndDeps deps = LoginWndDeps());
  ~LoginWnd() override;

  QString GetWindowClassName() const override { return QStringLiteral("Tillcast_LoginWnd"); }
  uint32_t GetClassStyle() const override { return 11; }
  intptr_t HandleMessage(uint32_t message, uintptr_t wparam, intptr_t lparam, bool& handled) override;
  void InitWindow() override;
  QString GetSkinFile() override { return QStringLiteral("login.xml"); }
  std::string GetSkinFolder() override { return SkinFolder(); }
  void Notify(TNotifyUI& msg) override;

  // Shows `page` and hides the others.
  void ShowPage(LoginPage page);
  // Start-up: "" starts the auto-connect thread, anything else SetDeviceKey.
  void ApplyDeviceKey(const std::string& key);
  void SetDeviceKey(const std::string& key);
  void Login();
  bool ChangeAccount();
  // Fetches the logo when missing (caller's thread) and shows it (UI).
  void UpdateLogo();
  // Registration of the port monitors once the driver is connected.
  void RegisterPortMonitors();

  // Capture callbacks; any thread.
  void DriverParallelEvtCallbackEx(uint32_t source, const uint8_t* data, int32_t length);
  void SpoolFileCallback(const std::string& path);
  // A CUPS job's copy; `waited`: made before the agent started.
  void CupsCopyCallback(const std::string& path, bool waited);

  // A message of another program (UI thread): 101 hands the file named by
  // `payload` to the upload worker, 201 quits. Returns 1 when handled, 0
  // otherwise.
  intptr_t OnCopyData(uint32_t code, const std::string& payload);

  // State, for tests and the screenshots.
  LoginPage page() const { return page_; }
  capture::CaptureRoad* capture() { return deps_.capture; }
  // The ready page's status line (and the tray's tip), as last shown.
  QString status_text() const { return statusText_; }
  bool quit_requested() const { return quitRequested.load(); }
  bool close_allowed() const { return closeAllowed; }
  bool is_ready() const { return ready; }
  bool has_tray_icon() const { return trayIcon != nullptr; }
  // Waits for the window's worker threads (tests).
  void JoinWorkers();

  static std::string StoreLogoFile();  // StoreLogoFilePath(), base/install_layout.h

 private:
  void FillPortCombo();
  void RefreshComboSelections();
  void OnUploadTimer();
  void OnOrderTimer();
  // Capture connected, receipts waiting: on the ready page and the tray.
  void UpdateStatus();
  void OnBarcode();
  void OnTrayQuit();
  void AddTrayIcon();
  void RemoveTrayIcon();
  void PostQuit();
  void HideToTray();
  void StartThread(std::function<void()> body);
  // Starts what a device key leads to.
  void StartKeyStep(KeyStep step);
  void BindThread();
  void AutoConnectThread();
  // The store logo, or the default picture (UI thread).
  void ShowLogo(bool have);
  // A binding's message box, when it has one (UI thread).
  void ShowBindingFailure(const BindingResult& result);

  LoginWndDeps deps_;
  CloudApi* cloud_;
  PortList* ports_;

  QPushButton* buttonAdvanceSetting = nullptr;
  QPushButton* buttonClose = nullptr;
  QPushButton* buttonLogin = nullptr;
  QLineEdit* editPsw = nullptr;
  QCheckBox* optionStartup = nullptr;
  QCheckBox* optionClosePrint = nullptr;
  QComboBox* comboType = nullptr;
  QComboBox* comboPort = nullptr;
  QWidget* layoutLogin = nullptr;
  QWidget* layoutReady = nullptr;
  QWidget* layoutChange = nullptr;
  QWidget* layoutGif = nullptr;
  QPushButton* buttonChange = nullptr;
  QLabel* labelStoreName = nullptr;
  QLabel* labelClient = nullptr;
  QPushButton* buttonCancle = nullptr;
  QPushButton* buttonOK = nullptr;
  QLineEdit* editChangePsw = nullptr;
  QLabel* gifAnimWaiting = nullptr;
  QLabel* labelVersion = nullptr;
  QLabel* labelAvatar2 = nullptr;

  QSystemTrayIcon* trayIcon = nullptr;
  std::unique_ptr<QMenu> trayMenu_;
  std::atomic<bool> quitRequested{false};
  bool closeAllowed = false;
  bool ready = false;
  LoginPage page_ = LoginPage::kNone;

  std::unique_ptr<SpoolMonitor> spoolMonitor;
  std::unique_ptr<capture::CupsInbox> cupsInbox_;
  QLabel* labelOnline_ = nullptr;
  QString statusText_;

  DeviceBinding binding_;
  ScannedCode scanned_;
  WorkerThreads workers_;
};

}  // namespace tillcast::ui
