#include "platform/service_manager.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

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
  for (int i = 0; i < 100 && StateOf(m) != kServiceStopped; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(StateOf(m), kServiceStopped);
  EXPECT_EQ(m.Stop("SerialFilter64"), kErrorServiceNotActive);
  EXPECT_EQ(m.Delete("SerialFilter64"), 0u);
  EXPECT_EQ(m.Delete("SerialFilter64"), kErrorServiceDoesNotExist);
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
