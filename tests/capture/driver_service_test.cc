#include "capture/driver_service.h"

#include <gtest/gtest.h>

#include <thread>

#include "support/subprocess.h"
#include "support/test_support.h"

namespace tillcast {
namespace {

using platform::FakeServiceManager;

TEST(DriverService, NameFollowsTheBuildWidth) { EXPECT_EQ(DriverServiceName(), sizeof(void*) == 8 ? "SerialFilter64" : "SerialFilter"); }

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
