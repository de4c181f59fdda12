// Binding the device through tillcast-cloudsim (with its redis-server): the
// key steps, the bind, the auto-connect loop against a cloud that is away
// and comes back, changing the account, and the texts the window shows.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "base/install_layout.h"
#include "base/system_integration.h"
#include "net/device_binding.h"
#include "net/net_mgr.h"
#include "net_fixture.h"
#include "net_test_support.h"
#include "platform/user_values.h"

namespace tillcast {
namespace {

using test::Gbk;
using test::WaitUntil;

constexpr char kDeviceKey[] = "DEMO-KEY-0001";

class DeviceBindingTest : public test::CloudSimFixture<4> {
 protected:
  void SetUp() override {
    CloudSimFixture::SetUp();
    SetUserValueStoreForTest(&user_values_);
    // The store logo in this test's data folder.
    SetPerUserInstallationForTest(1);
    std::filesystem::create_directories(std::filesystem::path(StoreLogoFilePath()).parent_path());
    net_.SetStoreLogoSaver([](const std::string& bytes) {
      test::WriteFile(StoreLogoFilePath(), bytes);
      return true;
    });
  }
  void TearDown() override {
    SetUserValueStoreForTest(nullptr);
    SetPerUserInstallationForTest(-1);
    NetFixture::TearDown();
  }
  // A loopback address where nothing listens: the cloud is away.
  static std::string NowhereUrl() { return "http://127.0.0.1:" + std::to_string(test::FreeLoopbackPort()); }

  NetMgr net_{platform::SystemClock()};
  NetMgrCloud cloud_{&net_};
  platform::FakeUserValueStore user_values_;
};

TEST_F(DeviceBindingTest, KeyStepsFollowTheStoredKey) {
  DeviceBinding binding(&cloud_);
  EXPECT_EQ(binding.ApplyDeviceKey(""), KeyStep::kAutoConnect);
  EXPECT_EQ(data().GetConfig("secret"), "");
  EXPECT_EQ(binding.ApplyDeviceKey("KEY-1"), KeyStep::kBind);
  EXPECT_EQ(data().GetConfig("secret"), "KEY-1");
  EXPECT_EQ(binding.SetDeviceKey("KEY-1"), KeyStep::kNothing);
  EXPECT_EQ(binding.SetDeviceKey("KEY-2"), KeyStep::kBind);
  EXPECT_EQ(data().GetConfig("secret"), "KEY-2");
  // A handed-over key is not written as this user's device key.
  std::string stored;
  EXPECT_FALSE(ReadDeviceKey(stored) && !stored.empty());
}

TEST_F(DeviceBindingTest, LoginStoresATypedKeyAndIgnoresAnEmptyOne) {
  DeviceBinding binding(&cloud_);
  EXPECT_FALSE(binding.Login(""));
  EXPECT_EQ(data().GetConfig("secret"), "");
  ASSERT_TRUE(binding.Login(kDeviceKey));
  EXPECT_EQ(data().GetConfig("secret"), kDeviceKey);
  std::string stored;
  ASSERT_TRUE(ReadDeviceKey(stored));
  EXPECT_EQ(stored, kDeviceKey);
}

TEST_F(DeviceBindingTest, BindConnectsSavesAndFetchesTheLogo) {
  DeviceBinding binding(&cloud_);
  ASSERT_TRUE(binding.Login(kDeviceKey));
  const BindingResult r = binding.Bind();
  ASSERT_TRUE(r.connected) << sim_.LogText();
  EXPECT_TRUE(r.failure.empty());
  EXPECT_TRUE(r.logo_checked);
  EXPECT_TRUE(r.have_logo);
  EXPECT_TRUE(test::FileExists(StoreLogoFilePath()));
  EXPECT_EQ(data().GetBindInfo("store_name"), Gbk("演示门店"));
  EXPECT_NE(test::ReadFile(data().ConfigPath()).find(kDeviceKey), std::string::npos);
}

TEST_F(DeviceBindingTest, FailuresCarryTheirTextAndTheServiceReason) {
  const struct {
    const char* name;
    std::string url;  // "" = the simulator
    const char* key;
    bool change;  // the change-account page instead of the login page
    std::string failure;
    std::string reason;
  } cases[] = {
      {"unknown key at login", "", "NO-SUCH-KEY", false, Gbk("登录失败"), Gbk("设备码无效")},
      {"unknown key on change", "", "NO-SUCH-KEY", true, Gbk("更新款台失败"), Gbk("设备码无效")},
      {"cloud away at login", NowhereUrl(), kDeviceKey, false, Gbk("登录失败"), ""},
      {"cloud away on change", NowhereUrl(), kDeviceKey, true, Gbk("更新款台失败"), ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    data().SetLastMessage("");
    data().SetConfig("URL", c.url.empty() ? sim_.url() : c.url);
    DeviceBinding binding(&cloud_);
    BindingResult r;
    if (c.change) {
      r = binding.ChangeAccount(c.key, true);
    } else {
      ASSERT_TRUE(binding.Login(c.key));
      r = binding.Bind();
    }
    EXPECT_FALSE(r.connected);
    EXPECT_FALSE(r.logo_checked);
    EXPECT_EQ(r.failure, c.failure);
    EXPECT_EQ(r.last_message, data().GetLastMessage());
    if (!c.reason.empty())
      EXPECT_EQ(r.last_message, c.reason);
    else
      EXPECT_FALSE(r.last_message.empty()) << "a cloud that is away says nothing";
  }
}

// The texts the window showed and logged (UTF-8 in its sources, GBK once
// shown or logged) are the bytes this core class gives.
TEST_F(DeviceBindingTest, TextsKeepTheBytesTheWindowHad) {
  const struct {
    std::string produced;
    const char* utf8;
  } texts[] = {
      {DeviceBinding::LoginFailedText(), "登录失败"},
      {DeviceBinding::ChangeFailedText(), "更新款台失败"},
  };
  for (const auto& t : texts) EXPECT_EQ(t.produced, Gbk(t.utf8)) << t.utf8;

  data().SetConfig("secret", kDeviceKey);
  ASSERT_TRUE(net_.GetConnectionInfo()) << sim_.LogText();
  DeviceBinding binding(&cloud_, {20});
  ASSERT_TRUE(binding.AutoConnect().connected) << sim_.LogText();
  for (const char* line : {"开启自动连接线程", "退出自动连接线程"}) {
    EXPECT_TRUE(log_.Contains(Gbk(line))) << line;
  }
}

TEST_F(DeviceBindingTest, AutoConnectRetriesUntilTheCloudIsBack) {
  data().SetConfig("secret", kDeviceKey);
  ASSERT_TRUE(net_.GetConnectionInfo()) << sim_.LogText();
  data().SetConfig("URL", NowhereUrl());
  DeviceBinding binding(&cloud_, {50});
  BindingResult r;
  std::thread loop([&] { r = binding.AutoConnect(); });
  // Two failed tries, then the cloud answers again.
  const bool retried = WaitUntil(
      [&] {
        const std::string text = log_.Text();
        const size_t first = text.find("NetMgr::CreateConnection 2");
        return first != std::string::npos && text.find("NetMgr::CreateConnection 2", first + 1) != std::string::npos;
      },
      5000);
  data().SetConfig("URL", sim_.url());
  loop.join();
  ASSERT_TRUE(retried);
  EXPECT_TRUE(r.connected) << sim_.LogText();
  EXPECT_TRUE(r.failure.empty());
  EXPECT_TRUE(r.logo_checked);
  EXPECT_FALSE(test::ReadFile(data().ConfigPath()).empty());
}

TEST_F(DeviceBindingTest, QuitEndsAutoConnectWithinItsWait) {
  data().SetConfig("secret", kDeviceKey);
  data().SetConfig("URL", NowhereUrl());
  DeviceBinding binding(&cloud_, {2500});
  BindingResult r;
  std::chrono::steady_clock::time_point ended;
  std::thread loop([&] {
    r = binding.AutoConnect();
    ended = std::chrono::steady_clock::now();
  });
  ASSERT_TRUE(WaitUntil([&] { return log_.Contains("NetMgr::CreateConnection 2"); }, 5000));
  const auto asked = std::chrono::steady_clock::now();
  binding.RequestQuit();
  loop.join();
  EXPECT_FALSE(r.connected);
  EXPECT_TRUE(r.failure.empty()) << "quitting is no failure to show";
  EXPECT_TRUE(binding.quit_requested());
  // Cut short: not the rest of the 2.5 s wait.
  EXPECT_LT(ended - asked, std::chrono::milliseconds(2000));
  EXPECT_TRUE(log_.Contains(Gbk("退出自动连接线程")));
}

TEST_F(DeviceBindingTest, ChangeAccountDropsTheLogoAndBindsTheNewKey) {
  test::WriteFile(StoreLogoFilePath(), "old logo");
  ASSERT_TRUE(test::FileExists(StoreLogoFilePath()));
  DeviceBinding binding(&cloud_);
  const BindingResult r = binding.ChangeAccount(kDeviceKey, true);
  EXPECT_TRUE(
      log_.Contains("change account delete store logo, file path: " + StoreLogoFilePath() + ", GetLastError: 0"));
  ASSERT_TRUE(r.connected) << sim_.LogText();
  EXPECT_TRUE(r.failure.empty());
  EXPECT_TRUE(r.logo_checked);
  EXPECT_NE(test::ReadFile(StoreLogoFilePath()), "old logo");
  EXPECT_EQ(data().GetConfig("secret"), kDeviceKey);
  std::string stored;
  ASSERT_TRUE(ReadDeviceKey(stored));
  EXPECT_EQ(stored, kDeviceKey);
}

TEST_F(DeviceBindingTest, ChangeAccountWithoutALogoOrAKeyEditKeepsTheStoredKey) {
  data().SetConfig("secret", kDeviceKey);
  DeviceBinding binding(&cloud_);
  const BindingResult r = binding.ChangeAccount("IGNORED", false);
  // No logo to delete: the error of the deletion is logged as it came.
  EXPECT_TRUE(
      log_.Contains("change account delete store logo, file path: " + StoreLogoFilePath() + ", GetLastError: 2"))
      << log_.Text();
  EXPECT_TRUE(r.connected) << sim_.LogText();
  EXPECT_EQ(data().GetConfig("secret"), kDeviceKey);
}

}  // namespace
}  // namespace tillcast
