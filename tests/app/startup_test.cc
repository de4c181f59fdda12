// The run of the agent in-process, with every platform facility faked.
#include "app/startup.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "base/install_layout.h"
#include "base/process_settings.h"
#include "base/system_integration.h"
#include "base/text_util.h"
#include "data/data_mgr.h"
#include "platform/ipc.h"
#include "support/test_support.h"

namespace tillcast {
namespace {

class FakeLoop final : public MessageLoop {
 public:
  // With `block`, Run waits for Quit; otherwise it returns at once.
  explicit FakeLoop(bool block) : block_(block) {}
  void Run() override {
    ++runs;
    std::unique_lock<std::mutex> l(mu_);
    if (block_) cv_.wait(l, [this] { return quit_; });
  }
  void Quit() override {
    std::lock_guard<std::mutex> l(mu_);
    quit_ = true;
    cv_.notify_all();
  }
  int runs = 0;

 private:
  bool block_;
  std::mutex mu_;
  std::condition_variable cv_;
  bool quit_ = false;
};

class FakeCrash final : public CrashReporter {
 public:
  void Install(const std::string& mail, const std::string& app) override { installs.push_back(mail + "|" + app); }
  void SetMail(const std::string& mail, const std::string& app) override { mails.push_back(mail + "|" + app); }
  void SetReportFolder(const std::string& folder) override { folders.push_back(folder); }
  std::vector<std::string> installs, mails, folders;
};

class StartupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DataMgr::GetInstance().ResetForTest();
    ResetDataFolderForTest();
    SetUserValueStoreForTest(&values_);
    SetAutostartStoreForTest(&autostart_);
    env_.locks = &locks_;
    env_.launcher = &launcher_;
    env_.services = &services_;
    env_.crash = &crash_;
    env_.loop = &loop_;
    hooks_.start_driver_thread = [this] { ++driver_threads_; };
    hooks_.create_main_window = [this](bool bound) { events_.push_back(bound ? "window:waiting" : "window:login"); };
    hooks_.apply_device_key = [this](const std::string& key) { events_.push_back("key:" + key); };
    hooks_.install_keyboard_hook = [this] {
      events_.push_back("hook");
      return true;
    };
    hooks_.uninstall_keyboard_hook = [this] { events_.push_back("unhook"); };
    hooks_.remove_all_port_monitors = [this] { events_.push_back("monitors"); };
    hooks_.net_start = [this] { events_.push_back("net_start"); };
    hooks_.net_stop = [this] { events_.push_back(AppExiting().load() ? "net_stop:exiting" : "net_stop"); };
  }
  void TearDown() override {
    SetUserValueStoreForTest(nullptr);
    SetAutostartStoreForTest(nullptr);
    AppExiting().store(false);
    DataMgr::GetInstance().ResetForTest();
    ResetDataFolderForTest();
    GetProcessSettings() = ProcessSettings{};
  }
  void WriteSettings(const std::string& text) { test::WriteFile(GetDataFolder() + "/setting.ini", text); }
  int Run(std::vector<std::string> args = {"tillcast"}) { return RunAgent(args, env_, hooks_); }

  test::TempDir dir_;
  test::ScopedEnv data_env_{"XDG_DATA_HOME", dir_.path()};
  test::ScopedLog log_;
  platform::FakeUserValueStore values_;
  platform::FakeAutostartStore autostart_;
  platform::FakeInstanceLockFactory locks_;
  platform::FakeProcessLauncher launcher_;
  platform::FakeServiceManager services_;
  FakeCrash crash_;
  FakeLoop loop_{false};
  StartupEnv env_;
  StartupHooks hooks_;
  std::vector<std::string> events_;
  int driver_threads_ = 0;
};

TEST_F(StartupTest, NormalRunInOrderAndShutdownInOrder) {
  EXPECT_EQ(Run(), 0);
  const std::vector<std::string> want = {"window:login", "hook", "net_start", "unhook", "monitors", "net_stop:exiting"};
  EXPECT_EQ(events_, want);
  EXPECT_EQ(loop_.runs, 1);
  EXPECT_EQ(driver_threads_, 1);
  ASSERT_EQ(crash_.installs.size(), 1u);
  EXPECT_EQ(crash_.installs[0], std::string(kCrashReportMail) + "|tillcast_proxy_1.1.4.26_publish");
  const auto lines = test::SplitLines(log_.Text());
  ASSERT_GE(lines.size(), 2u);
  EXPECT_NE(lines[0].find("[INFO]: " + test::Gbk("***************************日志初始化完成***********************")),
            std::string::npos);
  EXPECT_NE(lines[1].find("[INFO]: " + test::Gbk("版本：1.1.4.26_publish")), std::string::npos);
  EXPECT_TRUE(locks_.held.empty());  // the mutex is released at the end
}

TEST_F(StartupTest, CrashReportsGoBesideTheLog) {
  test::ScopedEnv logs("TILLCAST_LOG_DIR", dir_.Sub("logs"));
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(crash_.folders, std::vector<std::string>{dir_.Sub("logs")});
}

TEST_F(StartupTest, AnInstalledAgentKeepsItsStateInTheUsersFoldersAndLaunchesNoUpdater) {
  test::ScopedEnv state("XDG_STATE_HOME", dir_.Sub("state"));
  test::ScopedEnv logs("TILLCAST_LOG_DIR", "");
  SetPerUserInstallationForTest(1);
  env_.services_choice = "systemd unit tillcast-serialfilter.service";
  EXPECT_EQ(Run(), 0);
  SetPerUserInstallationForTest(-1);
  // The state folder is made for the log and the crash reports.
  EXPECT_TRUE(test::FileExists(dir_.Sub("state/Tillcast/logs")));
  EXPECT_EQ(crash_.folders, std::vector<std::string>{dir_.Sub("state/Tillcast/logs")});
  EXPECT_TRUE(launcher_.launched.empty());
  EXPECT_TRUE(log_.Contains("[INFO]: capture driver service: systemd unit tillcast-serialfilter.service\r\n"));
  EXPECT_TRUE(log_.Contains("updates by the package manager"));
}

TEST_F(StartupTest, ABuildFolderRunLaunchesTheUpdaterAsBefore) {
  SetPerUserInstallationForTest(0);
  EXPECT_EQ(Run(), 0);
  SetPerUserInstallationForTest(-1);
  ASSERT_EQ(launcher_.launched.size(), 1u);
  EXPECT_EQ(launcher_.launched[0].at(0), kUpdaterProgram);
  EXPECT_FALSE(log_.Contains("package manager"));
}

TEST(InfoRun, HelpAndVersionAloneOnlyInform) {
  EXPECT_EQ(InfoRunText({"tillcast", "--version"}), "tillcast 1.1.4.26\n");
  const std::string help = InfoRunText({"tillcast", "--help"});
  EXPECT_EQ(help.rfind("Usage: tillcast [uninstall | --help | --version]\n", 0), 0u) << help;
  EXPECT_NE(help.find("--version   print the version and exit"), std::string::npos);
  EXPECT_NE(help.find("run tillcast-doctor"), std::string::npos);
  // Everything else is a run as before.
  for (const std::vector<std::string>& args : {std::vector<std::string>{"tillcast"},
                                               {"tillcast", "--help", "more"},
                                               {"tillcast", "--HELP"},
                                               {"tillcast", "-h"},
                                               {"tillcast", "uninstall"},
                                               {"tillcast", "--version", "--help"}})
    EXPECT_EQ(InfoRunText(args), "") << args.size();
}

TEST_F(StartupTest, UninstallAloneRemovesTheServiceAndNothingElse) {
  for (const char* word : {"UNINSTALL", "Uninstall"}) {
    services_.services["SerialFilter64"] = {{"SerialFilter64", 1, 3, "/x"}, platform::kServiceRunning};
    EXPECT_EQ(Run({"tillcast", word}), 0);
    EXPECT_TRUE(services_.services.empty()) << word;
  }
  EXPECT_TRUE(events_.empty());
  EXPECT_EQ(loop_.runs, 0);
  EXPECT_TRUE(crash_.installs.empty());
  EXPECT_EQ(log_.Text().find(test::Gbk("日志初始化完成")), std::string::npos);
}

TEST_F(StartupTest, UninstallWithASecondArgumentIsANormalRun) {
  services_.services["SerialFilter64"] = {{"SerialFilter64", 1, 3, "/x"}, platform::kServiceRunning};
  EXPECT_EQ(Run({"tillcast", "uninstall", "now"}), 0);
  EXPECT_EQ(services_.services.size(), 1u);
  EXPECT_EQ(loop_.runs, 1);
}

TEST_F(StartupTest, SecondInstanceLeavesWithMinusOneAndNoLogLine) {
  bool exists = false;
  auto held = locks_.Create(kInstanceMutexName, &exists);
  EXPECT_EQ(Run(), -1);
  EXPECT_TRUE(events_.empty());
  EXPECT_EQ(log_.Text(), "");
}

TEST_F(StartupTest, HookKeyboardSetting) {
  struct Case {
    const char* ini;
    bool hooked;
  } cases[] = {
      {"", true},  // no file / no key: default "1"
      {"[setting]\nhookkeyboard=1\n", true},
      {"[SETTING]\nHookKeyboard = 1\n", true},
      {"[setting]\nhookkeyboard=0\n", false},
      {"[setting]\nhookkeyboard=true\n", false},
      {"[setting]\nhookkeyboard=\n", false},
  };
  for (const Case& c : cases) {
    WriteSettings(c.ini);
    events_.clear();
    EXPECT_EQ(Run(), 0);
    const bool hooked = std::find(events_.begin(), events_.end(), "hook") != events_.end();
    EXPECT_EQ(hooked, c.hooked) << c.ini;
    // Unhooking happens either way.
    EXPECT_NE(std::find(events_.begin(), events_.end(), "unhook"), events_.end());
  }
}

TEST_F(StartupTest, ProxySettingsAndTheUpdaterCommandLine) {
  WriteSettings("[proxy]\nhttp_ip=10.1.2.3\nhttp_port=3128\nredis_ip=127.0.0.9\nredis_port=6390\n");
  test::WriteFile(GetDataFolder() + "/cloudconfig.dat", "{\"DeviceID\":\"DEV42\"}\n");
  EXPECT_EQ(Run(), 0);
  const ProcessSettings& s = GetProcessSettings();
  EXPECT_EQ(s.httpIp, "10.1.2.3");
  EXPECT_EQ(s.httpPort, "3128");
  EXPECT_EQ(s.redisIp, "127.0.0.9");
  EXPECT_EQ(s.redisPort, "6390");
  ASSERT_EQ(launcher_.launched.size(), 1u);
  const std::vector<std::string> argv = {"updater", "/target=Tillcast", std::string("/manifestURL=") + kUpdatesUrl,
                                         "/deviceId=DEV42", "/proxy=10.1.2.3:3128"};
  EXPECT_EQ(launcher_.launched[0], argv);
  EXPECT_TRUE(log_.Contains(std::string("[INFO]: updater /target=Tillcast /manifestURL=\"") + kUpdatesUrl +
                            "\" /deviceId=DEV42 /proxy=\"10.1.2.3:3128\"\r\n"));
  ASSERT_EQ(crash_.mails.size(), 1u);
  EXPECT_EQ(crash_.mails[0], std::string(kCrashReportMail) + "|tillcast_proxy_1.1.4.26_publish deviceId:DEV42");
}

TEST_F(StartupTest, CaptureRetryPeriodsFromTheSettings) {
  struct Case {
    const char* ini;
    uint32_t driver_ms, service_ms;
    bool warned;
  } cases[] = {
      {"", 5000, 2000, false},
      {"[capture]\ndriver_retry_ms=200\nservice_retry_ms=150\n", 200, 150, false},
      {"[CAPTURE]\nDriver_Retry_Ms = 600000\n", 600000, 2000, false},
      {"[capture]\ndriver_retry_ms=50\n", 5000, 2000, true},  // too short to be a retry period
      {"[capture]\nservice_retry_ms=2s\n", 5000, 2000, true},
      {"[capture]\ndriver_retry_ms=-200\n", 5000, 2000, true},
      {"[capture]\ndriver_retry_ms=9999999999\n", 5000, 2000, true},
  };
  for (const Case& c : cases) {
    test::ScopedLog log;
    WriteSettings(c.ini);
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(GetProcessSettings().driverRetryMs, c.driver_ms) << c.ini;
    EXPECT_EQ(GetProcessSettings().serviceRetryMs, c.service_ms) << c.ini;
    EXPECT_EQ(log.Contains("is not a number of 100 to 600000"), c.warned) << c.ini;
  }
}

TEST_F(StartupTest, UpdaterCommandWithoutProxyHostHasNoProxyArgument) {
  const UpdaterCommand c = BuildUpdaterCommand("", "", "3128");
  EXPECT_EQ(c.argv.size(), 3u);
  EXPECT_EQ(c.line.find(L"/proxy"), std::wstring::npos);
  EXPECT_EQ(c.line.find(L"/deviceId"), std::wstring::npos);
  launcher_.succeed = false;  // a missing updater does not stop the run
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(launcher_.launched.size(), 1u);
  EXPECT_TRUE(crash_.mails.empty());
}

TEST_F(StartupTest, DeviceKeyFromTheUserValueIsUsedOnce) {
  ASSERT_TRUE(WriteDeviceKey("KEY-1"));
  EXPECT_EQ(Run(), 0);
  EXPECT_NE(std::find(events_.begin(), events_.end(), "key:KEY-1"), events_.end());
  std::string key = "x";
  EXPECT_TRUE(ReadDeviceKey(key));
  EXPECT_EQ(key, "");
  events_.clear();
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(std::count_if(events_.begin(), events_.end(), [](const std::string& e) { return e.rfind("key:", 0) == 0; }),
            0);
}

TEST_F(StartupTest, BoundDeviceAutoConnectsAndLeavesTheUserValueAlone) {
  test::WriteFile(
      GetDataFolder() + "/cloudbind.json",
      R"({"code":0,"message":"success","result":{"appId":"A","storeId":"S","jobKey":"J","secret":"SECRET-XYZ"}})");
  ASSERT_TRUE(WriteDeviceKey("KEY-2"));
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(events_[0], "window:waiting");
  EXPECT_EQ(events_[1], "key:");
  std::string key;
  EXPECT_TRUE(ReadDeviceKey(key));
  EXPECT_EQ(key, "KEY-2");
  EXPECT_FALSE(log_.Contains("SECRET-XYZ"));
}

TEST_F(StartupTest, QuitOverTheLocalEndpoint) {
  FakeLoop blocking(true);
  env_.loop = &blocking;
  env_.ipc_socket = dir_.Sub("agent.sock");
  std::vector<std::pair<uint32_t, std::string>> other;
  hooks_.copy_data = [&](uint32_t code, const std::string& payload) {
    other.emplace_back(code, payload);
    return true;
  };
  std::thread sender([&] {
    std::string error;
    for (int i = 0; i < 200 && !platform::IpcSend(env_.ipc_socket, 101, "/x.dat", 1000, &error); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(platform::IpcSend(env_.ipc_socket, kCopyDataQuit, "", 1000, &error)) << error;
  });
  EXPECT_EQ(Run(), 0);
  sender.join();
  ASSERT_EQ(other.size(), 1u);
  EXPECT_EQ(other[0].first, 101u);
  EXPECT_FALSE(test::FileExists(env_.ipc_socket));
}

}  // namespace
}  // namespace tillcast
