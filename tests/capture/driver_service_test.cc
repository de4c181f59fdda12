#include "capture/driver_service.h"

#include <gtest/gtest.h>

#include <thread>

#include "support/fake_systemctl.h"
#include "support/subprocess.h"
#include "support/test_support.h"

namespace tillcast {
namespace {

using platform::FakeServiceManager;
using test::Count;

TEST(DriverService, ImagePathIsTheDriverFolderPlusTheName) {
  test::ScopedEnv env("TILLCAST_DRIVER_DIR", "/opt/drivers");
  EXPECT_EQ(DriverImagePath("SerialFilter64"), "/opt/drivers/SerialFilter64");
}

TEST(DriverService, MissingServiceIsCreatedOnDemandAndStarted) {
  test::ScopedLog log;
  FakeServiceManager m;
  DriverService s(&m, "SerialFilter64");
  ASSERT_TRUE(s.StartDriverService("/img/SerialFilter64"));
  ASSERT_EQ(m.services.count("SerialFilter64"), 1u);
  const auto& c = m.services["SerialFilter64"].config;
  EXPECT_EQ(c.type, 1u);
  EXPECT_EQ(c.start_type, 3u);
  EXPECT_EQ(c.image_path, "/img/SerialFilter64");
  EXPECT_EQ(m.starts, 1);
  // Second run: found running, only reported.
  ASSERT_TRUE(s.StartDriverService("/other"));
  EXPECT_EQ(m.creates, 1);
  EXPECT_EQ(m.starts, 1);
  EXPECT_EQ(m.services["SerialFilter64"].config.image_path, "/img/SerialFilter64");
  EXPECT_TRUE(log.Contains("[INFO]: StartDriverService: success! "));
}

TEST(DriverService, StoppedServiceIsStartedWithoutRecreating) {
  FakeServiceManager m;
  m.services["SerialFilter64"] = {{"SerialFilter64", 1, 3, "/kept"}, platform::kServiceStopped};
  DriverService s(&m, "SerialFilter64");
  ASSERT_TRUE(s.StartDriverService("/new"));
  EXPECT_EQ(m.creates, 0);
  EXPECT_EQ(m.services["SerialFilter64"].config.image_path, "/kept");
  EXPECT_EQ(m.services["SerialFilter64"].state, platform::kServiceRunning);
}

TEST(DriverService, FailuresAreLoggedWithTheirErrorNumber) {
  test::ScopedLog log;
  FakeServiceManager m;
  DriverService s(&m, "SerialFilter64");
  m.connect_error = 5;
  EXPECT_FALSE(s.StartDriverService("/x"));
  EXPECT_FALSE(s.RemoveDriverService());
  m.connect_error = 0;
  m.start_error = 2;
  EXPECT_FALSE(s.StartDriverService("/x"));
  EXPECT_TRUE(log.Contains("[ERROR]: StartDriverService: OpenSCManager failed! error: 5\r\n"));
  EXPECT_TRUE(log.Contains("[ERROR]: RemoveDriverService: OpenSCManager failed!  error: 5\r\n"));
  EXPECT_TRUE(log.Contains("[ERROR]: StartDriverService: StartService failed! error: 2\r\n"));
}

TEST(DriverService, RemoveStopsAndDeletes) {
  test::ScopedLog log;
  FakeServiceManager m;
  DriverService s(&m, "SerialFilter64");
  EXPECT_FALSE(s.RemoveDriverService());
  EXPECT_TRUE(log.Contains("[ERROR]: RemoveDriverService: OpenService failed! error: 1060\r\n"));
  m.services["SerialFilter64"] = {{"SerialFilter64", 1, 3, "/x"}, platform::kServiceRunning};
  EXPECT_TRUE(s.RemoveDriverService());
  EXPECT_TRUE(m.services.empty());
  EXPECT_TRUE(log.Contains("[INFO]: RemoveDriverService: success! "));
}

TEST(DriverService, StartLoopRetriesUntilSuccessAndEndsOnExit) {
  test::ScopedLog log;
  FakeServiceManager m;
  m.start_error = 2;
  DriverService s(&m, "SerialFilter64");
  std::atomic<bool> exiting{false};
  std::thread t([&] { s.RunStartLoop(exiting, 10); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  {
    std::lock_guard<std::mutex> l(m.mu);
    m.start_error = 0;
  }
  ASSERT_TRUE(test::WaitUntil([&] { return log.Contains("[ERROR]: StartDriverService success! \r\n"); }, 10000));
  exiting = true;
  t.join();
  EXPECT_TRUE(log.Contains("[ERROR]: StartDriverService failed! \r\n"));

  FakeServiceManager never;
  never.start_error = 2;
  DriverService s2(&never, "SerialFilter64");
  s2.RunStartLoop(exiting, 10);  // returns at once
  EXPECT_EQ(never.creates, 0);
}

class SystemOwnedDriver : public ::testing::Test {
 protected:
  test::FakeSystemctl fake_;
  platform::SystemdServiceManager manager_{{{"SerialFilter64", kDriverUnitName}}, fake_.program()};
};

TEST_F(SystemOwnedDriver, TheStartThreadOnlyWatchesAndLogsEachChangeOnce) {
  test::ScopedLog log;
  fake_.SetUnit("activating", "start", 0);
  DriverService s(&manager_, "SerialFilter64");
  std::atomic<bool> exiting{false};
  std::thread t([&] { s.RunStartLoop(exiting, 20); });
  const auto logged = [&](const std::string& line) {
    return test::WaitUntil([&] { return log.Contains(line); }, 3000);
  };
  EXPECT_TRUE(logged("[ERROR]: driver service SerialFilter64 is not running: activating (start)\r\n"));
  fake_.SetUnit("active", "running", 4242);
  EXPECT_TRUE(logged("[INFO]: driver service SerialFilter64: active (running), pid 4242\r\n"));
  // Restarted by the system: a new pid is a change.
  fake_.SetUnit("active", "running", 4243);
  EXPECT_TRUE(logged("[INFO]: driver service SerialFilter64: active (running), pid 4243\r\n"));
  fake_.SetExit(1, "Failed to connect to bus: No such file or directory\n");
  EXPECT_TRUE(logged("[ERROR]: driver service SerialFilter64: its state cannot be read, error: 1722 (" +
                     fake_.program() + " exit 1: Failed to connect to bus: No such file or directory)\r\n"));
  const size_t polls_then = fake_.Calls().size();
  EXPECT_TRUE(test::WaitUntil([&] { return fake_.Calls().size() >= polls_then + 5; }, 3000));
  exiting = true;
  t.join();
  const std::string text = log.Text();
  EXPECT_EQ(Count(text, "activating (start)"), 1u);
  EXPECT_EQ(Count(text, "pid 4242"), 1u);
  EXPECT_EQ(Count(text, "pid 4243"), 1u);
  EXPECT_EQ(Count(text, "cannot be read"), 1u);
  // Never a start attempt: the system starts the unit.
  EXPECT_EQ(Count(text, "StartDriverService"), 0u);
  for (const std::string& call : fake_.Calls()) EXPECT_EQ(call.rfind("systemctl show ", 0), 0u) << call;
}

TEST_F(SystemOwnedDriver, AUnitThatIsNotInstalledIsLoggedOnce) {
  test::ScopedLog log;
  fake_.SetShow("LoadState=not-found\nActiveState=inactive\n");
  DriverService s(&manager_, "SerialFilter64");
  std::atomic<bool> exiting{false};
  std::thread t([&] { s.WatchLoop(exiting, 10); });
  EXPECT_TRUE(test::WaitUntil([&] { return fake_.Calls().size() >= 4; }, 3000));
  exiting = true;
  t.join();
  EXPECT_EQ(Count(log.Text(), "[ERROR]: driver service SerialFilter64 is not installed, error: 1060\r\n"), 1u);
}

TEST_F(SystemOwnedDriver, RemoveDisablesAndStopsTheUnitInOneCall) {
  test::ScopedLog log;
  fake_.SetUnit("active", "running", 4242);
  DriverService s(&manager_, "SerialFilter64");
  EXPECT_TRUE(s.RemoveDriverService());
  const std::vector<std::string> calls = fake_.Calls();
  ASSERT_FALSE(calls.empty());
  EXPECT_EQ(calls.back(), "systemctl disable --now -- tillcast-serialfilter.service");
  for (const std::string& call : calls) {
    EXPECT_EQ(call.find(" stop"), std::string::npos) << call;
    EXPECT_EQ(call.find(" start"), std::string::npos) << call;
  }
  EXPECT_TRUE(log.Contains("[INFO]: RemoveDriverService: success! "));
}

TEST(DriverServiceChoice, PackageInstallationsWatchSystemdBuildFoldersKeepRecords) {
  test::ScopedEnv none("TILLCAST_SERVICE_MANAGER", "");
  std::string why;
  EXPECT_TRUE(CreateDriverServiceManager(true, &why)->OwnedBySystem());
  EXPECT_NE(why.find("systemd unit tillcast-serialfilter.service"), std::string::npos) << why;
  EXPECT_NE(why.find("installed by the package"), std::string::npos) << why;
  EXPECT_FALSE(CreateDriverServiceManager(false, &why)->OwnedBySystem());
  EXPECT_NE(why.find("service records in"), std::string::npos) << why;
  {
    test::ScopedEnv forced("TILLCAST_SERVICE_MANAGER", "systemd");
    EXPECT_TRUE(CreateDriverServiceManager(false, &why)->OwnedBySystem());
    EXPECT_NE(why.find("TILLCAST_SERVICE_MANAGER"), std::string::npos) << why;
  }
  test::ScopedEnv forced("TILLCAST_SERVICE_MANAGER", "records");
  EXPECT_FALSE(CreateDriverServiceManager(true, &why)->OwnedBySystem());
  EXPECT_NE(why.find("TILLCAST_SERVICE_MANAGER"), std::string::npos) << why;
}

// Once running, the service is watched: found stopped (a driver that
// crashed), it is started again, with a line saying so; a service removed
// meanwhile (uninstalled) is not created again.
TEST(DriverService, StartLoopStartsAStoppedDriverAgainButNotARemovedOne) {
  test::ScopedLog log;
  FakeServiceManager m;
  DriverService s(&m, "SerialFilter64");
  std::atomic<bool> exiting{false};
  std::thread t([&] { s.RunStartLoop(exiting, 10); });
  const auto starts = [&] {
    std::lock_guard<std::mutex> l(m.mu);
    return m.starts;
  };
  ASSERT_TRUE(test::WaitUntil([&] { return starts() == 1; }, 10000));
  for (int crash = 1; crash <= 2; ++crash) {
    m.Stop("SerialFilter64");
    ASSERT_TRUE(test::WaitUntil([&] { return starts() == 1 + crash; }, 10000)) << crash;
  }
  EXPECT_TRUE(log.Contains("[WARNING]: capture driver service SerialFilter64 is not running; starting it again\r\n"));
  EXPECT_TRUE(log.Contains("[INFO]: capture driver service SerialFilter64 restarted\r\n"));
  m.Delete("SerialFilter64");
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  exiting = true;
  t.join();
  EXPECT_EQ(m.creates, 1);
  EXPECT_EQ(starts(), 3);
}

}  // namespace
}  // namespace tillcast
