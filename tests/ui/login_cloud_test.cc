// The main window against the cloud simulator: logging in with a device key
// binds the device and shows the store; an unknown key ends on the login
// page with the service's reason.
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "base/system_integration.h"
#include "capture/capture_road.h"
#include "net/cloud_settings.h"
#include "net/net_mgr.h"
#include "net_test_support.h"
#include "platform/user_values.h"
#include "ui/login_wnd.h"
#include "ui_fixture.h"

namespace tillcast::ui {
namespace {

class LoginCloudTest : public test::UiFixture {
 protected:
  void SetUp() override {
    UiFixture::SetUp();
    ASSERT_TRUE(redis_.up());
    ASSERT_TRUE(sim_.ok()) << sim_.LogText();
    SetUserValueStoreForTest(&user_values_);
    data().SetConfig("URL", sim_.url());
    CloudSettings s;
    s.orderUrl = sim_.url();
    SetCloudSettings(s);
    net_.SetStoreLogoSaver([](const std::string& bytes) {
      test::WriteFile(LoginWnd::StoreLogoFile(), bytes);
      return true;
    });
  }
  void TearDown() override {
    if (wnd_) wnd_->JoinWorkers();
    wnd_.reset();
    road_.reset();
    SetUserValueStoreForTest(nullptr);
    SetCloudSettings(CloudSettings());
    UiFixture::TearDown();
  }
  void Open() {
    LoginWndDeps deps;
    deps.cloud = &cloud_;
    deps.ports = &ports_;
    deps.spool_monitor = false;
    deps.cups_inbox = false;
    deps.quit = [] {};
    deps.notify_companion = [] {};
    // The capture road as the agent wires it, on this test's NetMgr.
    capture::CaptureRoad::Settings road;
    road.data_folder = GetDataFolder();
    capture::CaptureUploadHooks hooks;
    hooks.prepare = [this](const std::string& bytes, const std::string& path, uint32_t tick, capture::CaptureAge age,
                           std::string* body, const std::atomic<bool>&) {
      const TicketAge ticket_age = age == capture::CaptureAge::kLate   ? TicketAge::kLate
                                   : age == capture::CaptureAge::kHeld ? TicketAge::kHeld
                                                                       : TicketAge::kFresh;
      return net_.PrepareTicketUpload(bytes, path, tick, ticket_age, body);
    };
    hooks.send = [this](const std::string& body, const std::atomic<bool>&) { return net_.SendTicketUpload(body); };
    road_ = std::make_unique<capture::CaptureRoad>(road, hooks, nullptr);
    road_->Start();
    deps.capture = road_.get();
    wnd_ = std::make_unique<LoginWnd>(std::move(deps));
    ASSERT_TRUE(wnd_->Create(nullptr, ProductDisplayName(), kStyleAppWindow, kExStyleWindowEdge));
    wnd_->ShowWindow(true, true);
    wnd_->ShowPage(LoginPage::kLogin);
  }
  void LoginWith(const char* key) {
    wnd_->FindControl<QLineEdit>(QStringLiteral("EditPsw"))->setText(QString::fromLatin1(key));
    wnd_->FindControl<QPushButton>(QStringLiteral("ButtonLogin"))->click();
  }
  QString Label(const char* name) { return wnd_->FindControl<QLabel>(QString::fromLatin1(name))->text(); }

  test::RedisServer redis_;
  test::CloudSim sim_{redis_, 3};
  NetMgr net_{platform::SystemClock()};
  NetMgrCloud cloud_{&net_};
  PortList ports_{
      std::make_unique<test::FixedPorts>(std::set<std::string>{}, std::set<std::string>{}, std::set<std::string>{})};
  platform::FakeUserValueStore user_values_;
  std::unique_ptr<capture::CaptureRoad> road_;
  std::unique_ptr<LoginWnd> wnd_;
};

TEST_F(LoginCloudTest, KeyLogsInAndShowsStoreAndDevice) {
  Open();
  LoginWith("DEMO-KEY-0001");
  EXPECT_EQ(wnd_->page(), LoginPage::kWaiting);
  ASSERT_TRUE(test::PumpUntil([&] { return wnd_->page() != LoginPage::kWaiting; }, 20000)) << sim_.LogText();
  ASSERT_EQ(wnd_->page(), LoginPage::kReady) << (Boxes().empty() ? QString() : Boxes()[0]).toStdString();
  EXPECT_EQ(Label("LabelStoreName"), QStringLiteral(u"演示门店"));
  EXPECT_EQ(Label("LabelClient"),
            QStringLiteral(u"收银台1 ID:") + QString::fromStdString(data().GetConfig("DeviceID")));
  EXPECT_FALSE(data().GetConfig("DeviceID").empty());
  EXPECT_TRUE(test::FileExists(data().BindPath()));
  // The binding is saved, with the key.
  EXPECT_NE(test::ReadFile(data().ConfigPath()).find("DEMO-KEY-0001"), std::string::npos);
  EXPECT_TRUE(Boxes().empty());
}

TEST_F(LoginCloudTest, UnknownKeyShowsTheReasonOnTheLoginPage) {
  Open();
  LoginWith("NO-SUCH-KEY");
  ASSERT_TRUE(test::PumpUntil([&] { return !Boxes().empty(); }, 20000)) << sim_.LogText();
  EXPECT_EQ(wnd_->page(), LoginPage::kLogin);
  EXPECT_EQ(Boxes()[0], QStringLiteral(u"提示|登录失败,设备码无效"));
  EXPECT_TRUE(wnd_->FindControl<QWidget>(QStringLiteral("LayoutLogin"))->isVisible());
}

TEST_F(LoginCloudTest, UploadedCaptureReachesTheCloud) {
  data().SetConfig("secret", "DEMO-KEY-0001");
  ASSERT_TRUE(net_.GetConnectionInfo()) << sim_.LogText();
  ASSERT_TRUE(net_.CreateConnection()) << sim_.LogText();
  Open();
  // Large enough to be taken for a receipt (at least 100 bytes).
  std::string receipt = test::Gbk("欢迎光临 演示门店\n");
  for (int i = 1; i <= 6; ++i) receipt += test::Gbk("商品") + std::to_string(i) + "        x1      2.00\n";
  receipt += test::Gbk("合计：12.00\n");
  wnd_->DriverParallelEvtCallbackEx(1, reinterpret_cast<const uint8_t*>(receipt.data()),
                                    static_cast<int32_t>(receipt.size()));
  ASSERT_TRUE(test::PumpUntil([&] { return road_->flow().PendingFile().empty(); }, 10000));
  ASSERT_TRUE(test::WaitUntil([&] { return sim_.LogText().find("/store/printer/upload") != std::string::npos; }, 5000))
      << sim_.LogText();
}

}  // namespace
}  // namespace tillcast::ui
