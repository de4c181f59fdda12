#include "platform/service_manager.h"

#include <signal.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/process.h"
#include "support/subprocess.h"
#include "support/test_support.h"

namespace tillcast::platform {
namespace {

class ServiceManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // A real executable: a running service is recognised by the image its
    // pid runs, which a script would not show.
    image_ = dir_.Sub("SerialFilter64");
    test::WriteFile(image_, test::ReadFile(std::string(TILLCAST_TEST_BIN_DIR) + "/service_sleeper"));
    chmod(image_.c_str(), 0755);
  }
  ServiceConfig Config() {
    ServiceConfig c;
    c.name = "SerialFilter64";
    c.image_path = image_;
    return c;
  }
  uint32_t StateOf(PosixServiceManager& m) {
    uint32_t state = 0;
    EXPECT_EQ(m.QueryState("SerialFilter64", &state), 0u);
    return state;
  }
  test::TempDir dir_;
  std::string image_;
};

TEST_F(ServiceManagerTest, LifecycleCreateStartStopDelete) {
  PosixServiceManager m(dir_.Sub("services"));
  ASSERT_EQ(m.Connect(), 0u);
  EXPECT_EQ(m.Exists("SerialFilter64"), kErrorServiceDoesNotExist);
  uint32_t state = 0;
  EXPECT_EQ(m.QueryState("SerialFilter64", &state), kErrorServiceDoesNotExist);
  ASSERT_EQ(m.Create(Config()), 0u);
  EXPECT_EQ(m.Create(Config()), kErrorServiceExists);
  EXPECT_EQ(StateOf(m), kServiceStopped);

  ServiceConfig stored;
  int pid = 0;
  ASSERT_TRUE(m.ReadRecord("SerialFilter64", &stored, &pid));
  EXPECT_EQ(stored.type, 1u);
  EXPECT_EQ(stored.start_type, 3u);
  EXPECT_EQ(stored.image_path, image_);

  ASSERT_EQ(m.Start("SerialFilter64"), 0u);
  EXPECT_EQ(StateOf(m), kServiceRunning);
  EXPECT_EQ(m.Start("SerialFilter64"), kErrorServiceAlreadyRunning);
  // A fresh manager sees the same running service from the records.
  PosixServiceManager again(dir_.Sub("services"));
  EXPECT_EQ(StateOf(again), kServiceRunning);

  ASSERT_EQ(m.Stop("SerialFilter64"), 0u);
  for (int i = 0; i < 100 && StateOf(m) != kServiceStopped; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(StateOf(m), kServiceStopped);
  EXPECT_EQ(m.Stop("SerialFilter64"), kErrorServiceNotActive);
  EXPECT_EQ(m.Delete("SerialFilter64"), 0u);
  EXPECT_EQ(m.Delete("SerialFilter64"), kErrorServiceDoesNotExist);
}

// A record's pid may since have been given to another process, even one
// running the same program (after a crash, after a reboot): only the very
// process the manager started, at the time it kept, counts as running.
TEST_F(ServiceManagerTest, ARecordCountsAsRunningOnlyForTheVeryProcessItStarted) {
  PosixServiceManager m(dir_.Sub("services"));
  ASSERT_EQ(m.Connect(), 0u);
  ASSERT_EQ(m.Create(Config()), 0u);
  test::Subprocess other({image_}, {});  // same program, not started by the manager
  uint64_t other_start = 0;
  ASSERT_TRUE(test::WaitUntil([&] { return ProcessStartTime(other.pid(), &other_start); }, 5000));
  ASSERT_FALSE(BootId().empty());
  const std::string record = dir_.Sub("services/SerialFilter64.service");
  const std::string head =
      "name=SerialFilter64\ntype=1\nstart_type=3\nimage=" + image_ + "\npid=" + std::to_string(other.pid()) + "\n";
  struct Case {
    const char* what;
    std::string identity;
  };
  for (const Case& c :
       {Case{"no start time kept", ""},
        Case{"another start time", "start=" + std::to_string(other_start + 1) + "\nboot=" + BootId() + "\n"},
        Case{"another boot",
             "start=" + std::to_string(other_start) + "\nboot=00000000-0000-0000-0000-000000000000\n"}}) {
    test::WriteFile(record, head + c.identity);
    EXPECT_EQ(StateOf(m), kServiceStopped) << c.what;
    EXPECT_EQ(m.Stop("SerialFilter64"), kErrorServiceNotActive) << c.what;
  }
  test::WriteFile(record, head + "start=" + std::to_string(other_start) + "\nboot=" + BootId() + "\n");
  EXPECT_EQ(StateOf(m), kServiceRunning) << "the record of that very process";

  // From a stale record, Start starts the program anew and keeps the new
  // process's identity.
  test::WriteFile(record, head);
  ASSERT_EQ(m.Start("SerialFilter64"), 0u);
  ServiceConfig stored;
  int pid = 0;
  ASSERT_TRUE(m.ReadRecord("SerialFilter64", &stored, &pid));
  ASSERT_GT(pid, 0);
  EXPECT_NE(pid, other.pid());
  uint64_t start = 0;
  ASSERT_TRUE(ProcessStartTime(pid, &start));
  const std::string text = test::ReadFile(record);
  EXPECT_NE(text.find("\nstart=" + std::to_string(start) + "\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\nboot=" + BootId() + "\n"), std::string::npos) << text;
  EXPECT_EQ(StateOf(m), kServiceRunning);
  ASSERT_EQ(m.Stop("SerialFilter64"), 0u);
  EXPECT_TRUE(test::WaitUntil([&] { return !ProcessAlive(pid); }, 5000));
  EXPECT_TRUE(ProcessAlive(other.pid())) << "the other process was stopped in its place";
}

// A process that has ended but not yet been reaped (a zombie) still has its
// pid; it runs nothing.
TEST_F(ServiceManagerTest, AnEndedProcessIsNotRunningBeforeItIsReaped) {
  PosixServiceManager m(dir_.Sub("services"));
  ASSERT_EQ(m.Connect(), 0u);
  ASSERT_EQ(m.Create(Config()), 0u);
  test::Subprocess child({image_}, {});
  uint64_t start = 0;
  ASSERT_TRUE(test::WaitUntil([&] { return ProcessStartTime(child.pid(), &start); }, 5000));
  test::WriteFile(dir_.Sub("services/SerialFilter64.service"),
                  "name=SerialFilter64\ntype=1\nstart_type=3\nimage=" + image_ + "\npid=" +
                      std::to_string(child.pid()) + "\nstart=" + std::to_string(start) + "\nboot=" + BootId() + "\n");
  EXPECT_EQ(StateOf(m), kServiceRunning);
  child.Signal(SIGKILL);
  ASSERT_TRUE(test::WaitUntil([&] { return !ProcessStartTime(child.pid(), &start); }, 5000));
  EXPECT_TRUE(ProcessAlive(child.pid()));  // not reaped yet
  EXPECT_EQ(StateOf(m), kServiceStopped);
}

TEST_F(ServiceManagerTest, MissingImageCannotStart) {
  PosixServiceManager m(dir_.Sub("services"));
  ASSERT_EQ(m.Connect(), 0u);
  ServiceConfig c = Config();
  c.image_path = dir_.Sub("absent");
  ASSERT_EQ(m.Create(c), 0u);
  EXPECT_EQ(m.Start("SerialFilter64"), kErrorFileNotFound);
  EXPECT_EQ(StateOf(m), kServiceStopped);
}

TEST_F(ServiceManagerTest, NamesCannotEscapeTheRecordFolder) {
  PosixServiceManager m(dir_.Sub("services"));
  ServiceConfig c = Config();
  c.name = "../evil";
  EXPECT_NE(m.Create(c), 0u);
  EXPECT_FALSE(test::FileExists(dir_.Sub("evil.service")));
}

}  // namespace
}  // namespace tillcast::platform
