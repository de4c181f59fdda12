// The job fetch loop on NetMgr's thread against a real redis-server, with
// the loop's waits shortened.
#include <httplib.h>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/net_mgr.h"
#include "net_fixture.h"
#include "net_test_support.h"

namespace tillcast {
namespace {

using test::Gbk;
using test::WaitUntil;

constexpr int kDb = 4;
constexpr char kJob[] = R"({"format":"escpos","data":"G0A=","job_id":"j1"})";

class JobLoopTest : public test::NetFixture {
 protected:
  void SetUp() override {
    NetFixture::SetUp();
    ASSERT_TRUE(redis_.running());
    data().SetBindInfo("RedisHost", "127.0.0.1");
    data().SetBindInfo("RedisPort", std::to_string(redis_.port()));
    data().SetBindInfo("RedisPsw", redis_.password());
    data().SetBindInfo("RedisDataBase", std::to_string(kDb));
    data().SetBindInfo("RedisKey", "print_jobs:dev-1");
    data().SetBindInfo("RedisConfigNotifyKey", "print_notify:dev-1");
    data().SetRawPrinter([this](const std::vector<unsigned char>& bytes) {
      std::lock_guard<std::mutex> l(lock_);
      printed_.emplace_back(bytes.begin(), bytes.end());
      return true;
    });
    timings_.blpopTimeoutSeconds = 1;
    timings_.retryWaitMs = 200;
    timings_.lostPauseMs = 200;
    timings_.connectTimeoutSeconds = 2;
  }
  void TearDown() override {
    net_.reset();  // joins the thread before the data goes
    NetFixture::TearDown();
  }
  void StartLoop() {
    net_ = std::make_unique<NetMgr>(&clock_, timings_);
    ASSERT_TRUE(net_->Start());
  }
  size_t Printed() {
    std::lock_guard<std::mutex> l(lock_);
    return printed_.size();
  }
  std::vector<std::string> PrintedCopy() {
    std::lock_guard<std::mutex> l(lock_);
    return printed_;
  }
  std::string Push(const std::string& key, const std::string& value) {
    return redis_.Command(kDb, {"RPUSH", key, value});
  }
  long BlpopCalls() { return redis_.InfoNumber("commandstats", "cmdstat_blpop", "calls"); }

  test::RedisServer redis_;
  platform::FakeClock clock_{0};
  NetLoopTimings timings_;
  std::unique_ptr<NetMgr> net_;
  std::mutex lock_;
  std::vector<std::string> printed_;
};

TEST_F(JobLoopTest, JobsArePrintedOneByOneInListOrder) {
  StartLoop();
  ASSERT_TRUE(WaitUntil([&] { return BlpopCalls() >= 1; }, 10000));
  Push("print_jobs:dev-1", kJob);
  Push("print_jobs:dev-1", R"({"format":"escpos","data":"QUJD","job_id":"j2"})");
  Push("print_jobs:dev-1", "not json at all");
  Push("print_jobs:dev-1", R"({"format":"escpos","data":"MTIz","job_id":"j3"})");
  ASSERT_TRUE(WaitUntil([&] { return Printed() >= 3; }, 10000));
  EXPECT_EQ(PrintedCopy(), (std::vector<std::string>{"\x1b\x40", "ABC", "123"}));
  EXPECT_TRUE(log_.Contains(Gbk("小票数据获取成功：") + kJob));
  EXPECT_TRUE(log_.Contains(Gbk("开启网络处理线程")));
  EXPECT_TRUE(net_->Stop());
  EXPECT_TRUE(log_.Contains(Gbk("终止网络处理线程")));
}

TEST_F(JobLoopTest, NotifyElementRenewsTheConnectionOnce) {
  httplib::Server cloud;
  std::atomic<int> queries{0};
  const std::string reply =
      R"({"message":"success","result":{"device":{"job_key":"print_jobs:dev-2","config_notify_key":"print_notify:dev-1"},)"
      R"("connection":{"host":"127.0.0.1","port":)" +
      std::to_string(redis_.port()) + R"(,"password":")" + redis_.password() + R"(","database":)" +
      std::to_string(kDb) + "}}}";
  cloud.Get("/store/printer/device", [&](const httplib::Request&, httplib::Response& res) {
    ++queries;
    res.set_content(reply, "application/json");
  });
  const int port = cloud.bind_to_any_port("127.0.0.1");
  std::thread serving([&] { cloud.listen_after_bind(); });
  test::WaitUntil([&] { return cloud.is_running(); }, 5000);
  data().SetConfig("URL", "http://127.0.0.1:" + std::to_string(port));

  StartLoop();
  Push("print_notify:dev-1", "template changed");
  ASSERT_TRUE(WaitUntil([&] { return data().GetBindInfo("RedisKey") == "print_jobs:dev-2"; }, 10000));
  EXPECT_EQ(queries.load(), 1);
  EXPECT_TRUE(log_.Contains(Gbk("追打小票数据更改：") + "template changed"));
  // The new job key is used from the next pop on.
  Push("print_jobs:dev-2", kJob);
  ASSERT_TRUE(WaitUntil([&] { return Printed() == 1; }, 10000));
  EXPECT_EQ(queries.load(), 1);

  net_.reset();
  cloud.stop();
  serving.join();
}

TEST_F(JobLoopTest, LoopSurvivesARedisRestart) {
  StartLoop();
  ASSERT_TRUE(WaitUntil([&] { return BlpopCalls() >= 1; }, 10000));
  redis_.Kill();
  ASSERT_TRUE(WaitUntil([&] { return log_.Contains("[ERROR]: RedisGetData failed, reconnect"); }, 10000));
  ASSERT_TRUE(redis_.Start());
  Push("print_jobs:dev-1", kJob);
  ASSERT_TRUE(WaitUntil([&] { return Printed() == 1; }, 15000));
  EXPECT_TRUE(log_.Contains("[ERROR]: redisCommand failed:"));
  EXPECT_TRUE(log_.Contains(Gbk("连接redis失败 ")));  // attempts while it was down
}

TEST_F(JobLoopTest, StopCutsTheRetryWaitShort) {
  timings_.retryWaitMs = 600000;
  data().SetBindInfo("RedisPort", std::to_string(test::FreePort()));
  StartLoop();
  ASSERT_TRUE(WaitUntil([&] { return log_.Contains(Gbk("连接redis失败")); }, 10000));
  EXPECT_TRUE(net_->Stop());
}

TEST_F(JobLoopTest, StopDuringBlpopEndsTheLoopBeforeTheNextPop) {
  timings_.blpopTimeoutSeconds = 2;
  StartLoop();
  ASSERT_TRUE(WaitUntil([&] { return BlpopCalls() >= 1; }, 10000));
  net_->Stop();
  net_.reset();  // joined: the BLPOP in progress has ended
  Push("print_jobs:dev-1", kJob);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(Printed(), 0u);
  EXPECT_EQ(redis_.Command(kDb, {"LLEN", "print_jobs:dev-1"}), "1");
}

TEST_F(JobLoopTest, SettingsOverrideTheBoundHostAndPort) {
  data().SetBindInfo("RedisHost", "no-such-host.invalid");
  GetProcessSettings().redisIp = "127.0.0.1";
  StartLoop();
  Push("print_jobs:dev-1", kJob);
  ASSERT_TRUE(WaitUntil([&] { return Printed() == 1; }, 10000));
  net_.reset();

  data().SetBindInfo("RedisPort", "1");
  GetProcessSettings().redisPort = std::to_string(redis_.port());
  StartLoop();
  Push("print_jobs:dev-1", kJob);
  ASSERT_TRUE(WaitUntil([&] { return Printed() == 2; }, 10000));
  EXPECT_FALSE(log_.Contains("no-such-host"));
}

TEST_F(JobLoopTest, KeyOfAnotherTypeDoesNotSpin) {
  redis_.Command(kDb, {"SET", "print_jobs:dev-1", "a string"});
  StartLoop();
  ASSERT_TRUE(WaitUntil([&] { return BlpopCalls() >= 1; }, 10000));
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  // One answer per 200 ms wait; a spinning loop makes thousands.
  EXPECT_LT(BlpopCalls(), 20);
  EXPECT_TRUE(log_.Contains("WRONGTYPE"));
}

TEST_F(JobLoopTest, NoKeysBoundDoesNotSpin) {
  data().SetBindInfo("RedisKey", "");
  data().SetBindInfo("RedisConfigNotifyKey", "");
  const long before = redis_.InfoNumber("stats", "total_connections_received");
  StartLoop();
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_LT(redis_.InfoNumber("stats", "total_connections_received") - before, 20);
  EXPECT_TRUE(log_.Contains("[ERROR]: RedisGetData failed, reconnect"));
}

TEST_F(JobLoopTest, UnusableBindingValuesAreRetriedWithoutConnecting) {
  const struct {
    const char* key;
    const char* value;
    const char* logged;
  } cases[] = {
      {"RedisPort", "", "连接redis失败，port为空"},
      {"RedisPort", "abc", "连接redis失败，port无效:abc"},
      {"RedisDataBase", "x1", "连接redis失败，database无效:x1"},
      {"RedisHost", "", "连接redis失败，host空"},
  };
  for (const auto& c : cases) {
    SetUp();
    data().SetBindInfo(c.key, c.value);
    const long before = redis_.InfoNumber("stats", "total_connections_received");
    StartLoop();
    ASSERT_TRUE(WaitUntil([&] { return log_.Contains(Gbk(c.logged)); }, 10000)) << c.logged;
    net_.reset();
    EXPECT_EQ(redis_.InfoNumber("stats", "total_connections_received"), before + 1) << c.logged;
  }
}

TEST_F(JobLoopTest, WrongPasswordIsRetried) {
  data().SetBindInfo("RedisPsw", "wrong");
  StartLoop();
  ASSERT_TRUE(WaitUntil(
      [&] {
        const std::string text = log_.Text();
        const std::string line = Gbk("连接redis失败 ") + "WRONGPASS";
        return text.find(line) != text.rfind(line);  // at least two attempts
      },
      10000));
}

}  // namespace
}  // namespace tillcast
