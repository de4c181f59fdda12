// The main window driven through its notifications and messages, with a
// recording cloud client: pages, the login controls, capture uploads,
// scanned codes, orders, closing and quitting.
#include <QCheckBox>
#include <QComboBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>

#include <thread>

#include "base/system_integration.h"
#include "capture/capture_road.h"
#include "platform/user_values.h"
#include "scanner/target_window.h"
#include "ui/login_wnd.h"
#include "ui/order_wnd.h"
#include "ui/ui_text.h"
#include "ui/window_text.h"
#include "ui_fixture.h"

namespace tillcast::ui {
namespace {

using test::PumpUntil;

class LoginWndTest : public test::UiFixture {
 protected:
  void SetUp() override {
    UiFixture::SetUp();
    SetUserValueStoreForTest(&user_values_);
    data().SetConfig("PortType", test::Gbk("串口"));
    data().SetConfig("PortName", "/dev/ttyS1");
  }
  void TearDown() override {
    wnd_.reset();
    road_.reset();
    SetUserValueStoreForTest(nullptr);
    UiFixture::TearDown();
  }
  void Open(LoginWndDeps deps = LoginWndDeps()) {
    if (deps.cloud == nullptr) deps.cloud = &cloud_;
    capture::CaptureRoad::Settings road;
    road.data_folder = GetDataFolder();
    road.uploader.first_retry_ms = 100;
    road.uploader.max_retry_ms = 200;
    road_ = std::make_unique<capture::CaptureRoad>(road, cloud_.UploadHooks(), nullptr);
    road_->Start();
    deps.capture = road_.get();
    if (deps.ports == nullptr) deps.ports = &ports_;
    deps.spool_monitor = false;
    deps.cups_inbox = false;
    deps.quit = [this] { ++quits_; };
    deps.notify_companion = [this] { ++companion_; };
    deps.barcode = [this] { return barcode_; };
    deps.auto_connect_retry_ms = 20;
    wnd_ = std::make_unique<LoginWnd>(std::move(deps));
    ASSERT_TRUE(wnd_->Create(nullptr, ProductDisplayName(), kStyleAppWindow, kExStyleWindowEdge));
    wnd_->ShowWindow(true, true);
  }
  template <typename T>
  T* Find(const char* name) {
    return wnd_->FindControl<T>(QString::fromLatin1(name));
  }

  test::RecordingCloud cloud_;
  std::unique_ptr<capture::CaptureRoad> road_;
  PortList ports_{std::make_unique<test::FixedPorts>(std::set<std::string>{"/dev/ttyS0", "/dev/ttyS1"},
                                                     std::set<std::string>{"/dev/lp0"},
                                                     std::set<std::string>{"receipt"})};
  PortList serial_only_{std::make_unique<test::FixedPorts>(std::set<std::string>{"/dev/ttyS0"}, std::set<std::string>{},
                                                           std::set<std::string>{})};
  platform::FakeUserValueStore user_values_;
  std::unique_ptr<LoginWnd> wnd_;
  int quits_ = 0;
  int companion_ = 0;
  std::wstring barcode_;
};

TEST_F(LoginWndTest, InitialisesControlsFromTheConfiguration) {
  data().SetConfig("AutoStartUp", "true");
  data().SetConfig("ClosePrint", "false");
  Open();
  EXPECT_TRUE(Find<QCheckBox>("OptionStartup")->isChecked());
  EXPECT_FALSE(Find<QCheckBox>("OptionClosePrint")->isChecked());
  auto* type = Find<QComboBox>("ComboType");
  auto* port = Find<QComboBox>("ComboPort");
  EXPECT_EQ(type->count(), 3);
  EXPECT_EQ(type->currentText(), QStringLiteral(u"串口"));
  EXPECT_EQ(port->count(), 2);
  EXPECT_EQ(port->currentText(), QStringLiteral("/dev/ttyS1"));
  EXPECT_EQ(Find<QLabel>("LabelVersion")->text(), QStringLiteral(u"版本号：1.1.4.26"));
  EXPECT_FALSE(Find<QPushButton>("ButtonLogin")->isEnabled());
  EXPECT_EQ(Find<QLabel>("LabelAvatar2")->property("bkimage").toString(), QStringLiteral("avatar_default.png"));
  EXPECT_TRUE(wnd_->is_ready());
  EXPECT_TRUE(wnd_->IsTimerRunning(kTimerUpdater));
  EXPECT_TRUE(wnd_->IsTimerRunning(kTimerOrders));
  for (const char* line : {"login:1", "login:2", "login:3"}) EXPECT_TRUE(log_.Contains(line)) << line;
}

TEST_F(LoginWndTest, ConfiguredPortThatDiscoveryMissesIsKept) {
  data().SetConfig("PortName", "/dev/pts/7");
  Open();
  auto* port = Find<QComboBox>("ComboPort");
  EXPECT_EQ(port->count(), 3);
  EXPECT_EQ(port->currentText(), QStringLiteral("/dev/pts/7"));
  EXPECT_EQ(data().GetConfig("PortName"), "/dev/pts/7");
}

TEST_F(LoginWndTest, ConfiguredPrinterOfATypeDiscoveryFindsNoneOfIsShown) {
  // A printer set as a device path of a type with no discovered port (the
  // demo's pseudo-terminal printer as 并口 on a PC without /dev/lp*).
  data().SetConfig("PortType", test::Gbk("并口"));
  data().SetConfig("PortName", "/tmp/shop/ports/printer");
  LoginWndDeps deps;
  deps.ports = &serial_only_;
  Open(std::move(deps));
  auto* type = Find<QComboBox>("ComboType");
  auto* port = Find<QComboBox>("ComboPort");
  EXPECT_EQ(type->count(), 2);
  EXPECT_EQ(type->currentText(), QStringLiteral(u"并口"));
  EXPECT_EQ(port->currentText(), QStringLiteral("/tmp/shop/ports/printer"));
  EXPECT_EQ(data().GetConfig("PortName"), "/tmp/shop/ports/printer");
  EXPECT_EQ(data().GetConfig("PortType"), test::Gbk("并口"));
}

TEST_F(LoginWndTest, ChoosingATypeRefillsPortsAndStoresBoth) {
  Open();
  auto* type = Find<QComboBox>("ComboType");
  type->setCurrentIndex(type->findText(QStringLiteral(u"并口")));
  EXPECT_EQ(Find<QComboBox>("ComboPort")->currentText(), QStringLiteral("/dev/lp0"));
  EXPECT_EQ(data().GetConfig("PortType"), test::Gbk("并口"));
  EXPECT_EQ(data().GetConfig("PortName"), "/dev/lp0");
  wnd_->JoinWorkers();  // the save thread
  EXPECT_NE(test::ReadFile(data().ConfigPath()).find("/dev/lp0"), std::string::npos);
}

TEST_F(LoginWndTest, OptionsAreStoredAndSaved) {
  Open();
  Find<QCheckBox>("OptionClosePrint")->setChecked(true);
  EXPECT_EQ(data().GetConfig("ClosePrint"), "true");
  Find<QCheckBox>("OptionClosePrint")->setChecked(false);
  EXPECT_EQ(data().GetConfig("ClosePrint"), "false");
}

TEST_F(LoginWndTest, EmptyKeyKeepsLoginDisabledAndEnterDoesNothing) {
  Open();
  wnd_->ShowPage(LoginPage::kLogin);
  auto* edit = Find<QLineEdit>("EditPsw");
  emit edit->returnPressed();
  wnd_->JoinWorkers();
  EXPECT_EQ(wnd_->page(), LoginPage::kLogin);
  EXPECT_EQ(cloud_.connection_info_calls.load(), 0);
  edit->setText(QStringLiteral("KEY-1"));
  EXPECT_TRUE(Find<QPushButton>("ButtonLogin")->isEnabled());
  edit->clear();
  EXPECT_FALSE(Find<QPushButton>("ButtonLogin")->isEnabled());
}

TEST_F(LoginWndTest, LoginBindsAndShowsTheReadyPage) {
  Open();
  wnd_->ShowPage(LoginPage::kLogin);
  data().SetBindInfo("store_name", test::Gbk("一号店"));
  data().SetBindInfo("device_name", test::Gbk("收银台2"));
  data().SetConfig("DeviceID", "dev-9");
  Find<QLineEdit>("EditPsw")->setText(QStringLiteral("KEY-1"));
  Find<QPushButton>("ButtonLogin")->click();
  EXPECT_EQ(wnd_->page(), LoginPage::kWaiting);
  EXPECT_TRUE(IsGifPlaying(Find<QLabel>("GifAnimWaiting")));
  EXPECT_EQ(data().GetConfig("secret"), "KEY-1");
  std::string stored;
  EXPECT_TRUE(ReadDeviceKey(stored));
  EXPECT_EQ(stored, "KEY-1");
  ASSERT_TRUE(PumpUntil([&] { return wnd_->page() == LoginPage::kReady; }, 5000));
  EXPECT_FALSE(IsGifPlaying(Find<QLabel>("GifAnimWaiting")));
  EXPECT_EQ(Find<QLabel>("LabelStoreName")->text(), QStringLiteral(u"一号店"));
  EXPECT_EQ(Find<QLabel>("LabelClient")->text(), QStringLiteral(u"收银台2 ID:dev-9"));
  EXPECT_TRUE(Find<QWidget>("LayoutReady")->isVisible());
  EXPECT_FALSE(Find<QWidget>("LayoutLogin")->isVisible());
}

TEST_F(LoginWndTest, FailedBindingReturnsToLoginWithTheMessage) {
  cloud_.connection_ok = false;
  data().SetLastMessage(test::Gbk("设备码无效"));
  Open();
  wnd_->SetDeviceKey("BAD-KEY");
  EXPECT_EQ(wnd_->page(), LoginPage::kWaiting);
  ASSERT_TRUE(PumpUntil([&] { return wnd_->page() == LoginPage::kLogin && !Boxes().empty(); }, 5000));
  EXPECT_EQ(Boxes()[0], QStringLiteral(u"提示|登录失败,设备码无效"));
  // The same key again changes nothing.
  wnd_->SetDeviceKey("BAD-KEY");
  EXPECT_EQ(wnd_->page(), LoginPage::kLogin);
}

TEST_F(LoginWndTest, CloudTextsAreCutBeforeTheWindowShowsThem) {
  // A megabyte of 一 (two bytes each in GBK) per text.
  std::string huge;
  const std::string one = test::Gbk("一");
  while (huge.size() < (1u << 20)) huge += one;
  data().SetBindInfo("store_name", huge);
  data().SetBindInfo("device_name", huge);
  data().SetConfig("DeviceID", std::string(1 << 20, '7'));
  Open();
  wnd_->ShowPage(LoginPage::kReady);
  const std::string store = ToAnsi(Find<QLabel>("LabelStoreName")->text());
  EXPECT_LE(store.size(), kMaxWindowNameBytes);
  EXPECT_EQ(store, huge.substr(0, 124) + "...");
  EXPECT_LE(ToAnsi(Find<QLabel>("LabelClient")->text()).size(), 2 * kMaxWindowNameBytes + 4);
  EXPECT_TRUE(log_.Contains("window text store_name cut from 1048576 to 127 bytes"));
  EXPECT_TRUE(log_.Contains("window text DeviceID cut from 1048576 to 128 bytes"));

  cloud_.connection_ok = false;
  data().SetLastMessage(huge);
  wnd_->SetDeviceKey("OTHER-KEY");
  ASSERT_TRUE(PumpUntil([&] { return !Boxes().empty(); }, 5000));
  EXPECT_LE(Boxes()[0].size(), static_cast<qsizetype>(kMaxWindowMessageBytes));
  EXPECT_TRUE(Boxes()[0].endsWith(QStringLiteral("...")));
}

TEST_F(LoginWndTest, AutoConnectRetriesUntilConnected) {
  cloud_.connection_ok = false;
  Open();
  wnd_->ShowPage(LoginPage::kWaiting);
  wnd_->ApplyDeviceKey("");
  ASSERT_TRUE(PumpUntil([&] { return cloud_.connection_calls.load() >= 3; }, 5000));
  EXPECT_EQ(wnd_->page(), LoginPage::kWaiting);
  cloud_.connection_ok = true;
  ASSERT_TRUE(PumpUntil([&] { return wnd_->page() == LoginPage::kReady; }, 5000));
  wnd_->JoinWorkers();
  EXPECT_TRUE(Boxes().empty());
}

TEST_F(LoginWndTest, QuittingFromTheTrayEndsAutoConnect) {
  cloud_.connection_ok = false;
  Open();
  wnd_->ShowPage(LoginPage::kWaiting);
  wnd_->ApplyDeviceKey("");
  ASSERT_TRUE(PumpUntil([&] { return cloud_.connection_calls.load() >= 1; }, 5000));
  wnd_->SendMessage(kMsgTrayQuit);
  wnd_->JoinWorkers();  // would not return while the loop went on
  const int calls = cloud_.connection_calls.load();
  test::PumpFor(100);
  EXPECT_EQ(cloud_.connection_calls.load(), calls);
  EXPECT_EQ(wnd_->page(), LoginPage::kWaiting);
}

TEST_F(LoginWndTest, ChangeAccountPageAndItsFailure) {
  Open();
  wnd_->ShowPage(LoginPage::kReady);
  Find<QPushButton>("ButtonChange")->click();
  EXPECT_EQ(wnd_->page(), LoginPage::kChangeAccount);
  EXPECT_FALSE(Find<QPushButton>("ButtonOK")->isEnabled());
  Find<QPushButton>("ButtonCancle")->click();
  EXPECT_EQ(wnd_->page(), LoginPage::kReady);

  Find<QPushButton>("ButtonChange")->click();
  test::WriteFile(LoginWnd::StoreLogoFile(), "old logo");
  cloud_.connection_info_ok = false;
  data().SetLastMessage(test::Gbk("网络超时"));
  Find<QLineEdit>("EditChangePsw")->setText(QStringLiteral("NEW-KEY"));
  ASSERT_TRUE(Find<QPushButton>("ButtonOK")->isEnabled());
  Find<QPushButton>("ButtonOK")->click();
  EXPECT_EQ(wnd_->page(), LoginPage::kChangeAccount);
  ASSERT_EQ(Boxes().size(), 1u);
  EXPECT_EQ(Boxes()[0], QStringLiteral(u"提示|更新款台失败,网络超时"));
  EXPECT_EQ(data().GetConfig("secret"), "NEW-KEY");

  cloud_.connection_info_ok = true;
  emit Find<QLineEdit>("EditChangePsw")->returnPressed();
  EXPECT_EQ(wnd_->page(), LoginPage::kReady);
}

TEST_F(LoginWndTest, TwoPayloadsFromTheWatcherThreadAreUploadedOnce) {
  Open();
  std::thread worker([this] {
    const std::string a = "\x1b@first", b = "second\n";
    wnd_->DriverParallelEvtCallbackEx(1, reinterpret_cast<const uint8_t*>(a.data()), static_cast<int32_t>(a.size()));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    wnd_->DriverParallelEvtCallbackEx(2, reinterpret_cast<const uint8_t*>(b.data()), static_cast<int32_t>(b.size()));
  });
  worker.join();
  const std::string capture = road_->flow().PendingFile();
  ASSERT_TRUE(PumpUntil([&] { return !cloud_.Uploads().empty(); }, 5000));
  test::PumpFor(400);
  ASSERT_EQ(cloud_.Uploads().size(), 1u);
  EXPECT_EQ(cloud_.Uploads()[0], "\x1b@firstsecond\n");
  EXPECT_FALSE(test::FileExists(capture));
  EXPECT_FALSE(wnd_->IsTimerRunning(kTimerUpload));
}

TEST_F(LoginWndTest, TheWindowStaysResponsiveWhileAnUploadIsHeldAndSaysWhatWaits) {
  cloud_.hold_uploads = true;  // a printer or a cloud that takes its time
  Open();
  wnd_->ShowPage(LoginPage::kReady);
  const std::string sale = "\x1b@a sale that waits\n";
  wnd_->DriverParallelEvtCallbackEx(1, reinterpret_cast<const uint8_t*>(sale.data()),
                                    static_cast<int32_t>(sale.size()));
  ASSERT_TRUE(PumpUntil([&] { return road_->Waiting() == 1; }, 5000));
  // The window's own work goes on meanwhile: a posted task runs, the order
  // timer shows the waiting receipt.
  bool ran = false;
  wnd_->PostTask([&] { ran = true; });
  ASSERT_TRUE(PumpUntil([&] { return ran; }, 5000));
  ASSERT_TRUE(PumpUntil([&] { return wnd_->status_text().contains(QStringLiteral(u"1 张小票等待上传")); }, 5000))
      << wnd_->status_text().toStdString();
  EXPECT_EQ(Find<QLabel>("LabelOnline")->text(), wnd_->status_text());
  cloud_.hold_uploads = false;
  ASSERT_TRUE(PumpUntil([&] { return cloud_.Uploads().size() == 1; }, 5000));
  ASSERT_TRUE(PumpUntil([&] { return !wnd_->status_text().contains(QStringLiteral(u"等待上传")); }, 5000));
}

// Which codes count is ScannedCode's (tests/net); here the message from
// the keyboard filter's thread reaches the cloud off the UI thread.
TEST_F(LoginWndTest, AScannedReceiptNumberIsSentAndOtherCodesAreNot) {
  Open();
  const struct {
    std::wstring code;
    bool sent;
  } cases[] = {
      {L"R" + std::wstring(20, L'3'), true},
      {L"X" + std::wstring(20, L'6'), false},
  };
  std::vector<std::string> expected;
  for (const auto& c : cases) {
    barcode_ = c.code;
    // Posted from another thread, as the keyboard filter does.
    std::thread([this] { wnd_->PostMessage(RECEIVE_BARCODE_MSG, 0, 0); }).join();
    test::PumpFor(20);
    if (c.sent) expected.push_back(std::string(c.code.begin(), c.code.end()));
  }
  wnd_->JoinWorkers();
  EXPECT_EQ(cloud_.Codes(), expected);
}

TEST_F(LoginWndTest, QueuedOrderOpensAWindowAtTheBottomRight) {
  Open();
  OrderInfo order;
  order.order_no = "O-100";
  order.amount = "12.00";
  order.pay_amount = "10.00";
  order.pay_time = "2024-05-01 10:00:00";
  order.total_number = 2;
  data().PushOrderInfo(order);
  const size_t before = CCvsOrderWnd::OpenCount();
  wnd_->SendMessage(kMsgTimer, kTimerOrders, 0);
  ASSERT_EQ(CCvsOrderWnd::OpenCount(), before + 1);
  for (const char* line : {"WM_TIMER 1", "WM_TIMER 2", "WM_TIMER 3"}) EXPECT_TRUE(log_.Contains(line));
  const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
  bool found = false;
  for (QWidget* w : QApplication::topLevelWidgets()) {
    if (w->objectName() != QStringLiteral("CvsOrderWnd") || !w->isVisible()) continue;
    found = true;
    EXPECT_EQ(w->pos(), QPoint(area.right() + 1 - 320, area.bottom() + 1 - 320));
    EXPECT_EQ(w->windowTitle(), QStringLiteral(u"扫描购支付成功"));
    EXPECT_TRUE(w->windowFlags() & Qt::WindowStaysOnTopHint);
  }
  EXPECT_TRUE(found);
}

TEST_F(LoginWndTest, CloseBoxHidesAndTrayQuitEnds) {
  Open();
  ASSERT_TRUE(wnd_->GetHWND()->isVisible());
  wnd_->GetHWND()->close();
  PumpUntil([&] { return !wnd_->GetHWND()->isVisible(); }, 2000);
  EXPECT_FALSE(wnd_->GetHWND()->isVisible());
  EXPECT_NE(wnd_->GetHWND(), nullptr);
  EXPECT_EQ(quits_, 0);
  // The tray icon's left button brings it back.
  wnd_->SendMessage(kMsgTrayCallback, 0, kMsgLButtonDown);
  EXPECT_TRUE(wnd_->GetHWND()->isVisible());
  // A caption double-click is swallowed.
  bool handled = false;
  EXPECT_EQ(wnd_->HandleMessage(kMsgNcDoubleClick, 0, 0, handled), 0);
  EXPECT_TRUE(handled);

  wnd_->SendMessage(kMsgTrayQuit);
  EXPECT_EQ(companion_, 1);
  EXPECT_EQ(quits_, 1);
  EXPECT_TRUE(wnd_->quit_requested());
  EXPECT_TRUE(wnd_->close_allowed());
  EXPECT_FALSE(wnd_->has_tray_icon());
  EXPECT_FALSE(wnd_->GetHWND()->isVisible());
}

TEST_F(LoginWndTest, WithoutATrayTheCloseBoxMinimises) {
  ui::SetTrayAvailableForTest(0);
  Open();
  EXPECT_FALSE(wnd_->has_tray_icon());
  wnd_->SendMessage(kMsgClose);
  ASSERT_NE(wnd_->GetHWND(), nullptr);
  EXPECT_TRUE(wnd_->GetHWND()->isMinimized());
}

TEST_F(LoginWndTest, CopyDataUploadsAFileAndQuits) {
  Open();
  const std::string file = dir_.Sub("ticket.txt");
  test::WriteFile(file, "ticket body");
  CopyDataRecord upload{kCopyDataUploadCode, file};
  EXPECT_EQ(wnd_->SendMessage(kMsgCopyData, 0, reinterpret_cast<intptr_t>(&upload)), 1);
  ASSERT_TRUE(PumpUntil([&] { return cloud_.Uploads().size() == 1; }, 5000));
  EXPECT_EQ(cloud_.Uploads()[0], "ticket body");
  EXPECT_TRUE(test::FileExists(file)) << "a file another program handed over was removed";
  EXPECT_EQ(wnd_->SendMessage(kMsgCopyData, 0, 0), -1);
  CopyDataRecord quit{kCopyDataQuitCode, ""};
  EXPECT_EQ(wnd_->SendMessage(kMsgCopyData, 0, reinterpret_cast<intptr_t>(&quit)), 1);
  EXPECT_EQ(quits_, 1);
  EXPECT_FALSE(wnd_->has_tray_icon());
}

}  // namespace
}  // namespace tillcast::ui
