// The job fetch loop on NetMgr's thread against a real redis-server, with
// the loop's waits shortened: jobs taken at least once through the
// processing list, held while the printer is away, served in order.
#include <httplib.h>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/printer_settings.h"
#include "net/net_mgr.h"
#include "net_fixture.h"
#include "net_test_support.h"

namespace tillcast {
namespace {

using test::Count;
using test::Gbk;
using test::WaitUntil;

constexpr int kDb = 4;
constexpr char kJobs[] = "print_jobs:dev-1";
constexpr char kProcessing[] = "{print_jobs:dev-1}:processing";
constexpr char kTries[] = "{print_jobs:dev-1}:tries";
constexpr char kDead[] = "{print_jobs:dev-1}:dead";
constexpr char kNotify[] = "print_notify:dev-1";
constexpr char kJob[] = R"({"format":"escpos","data":"G0A=","job_id":"j1"})";

std::string RawJob(const std::string& id, const std::string& base64) {
  return R"({"format":"escpos","data":")" + base64 + R"(","job_id":")" + id + R"("})";
}

// Jobs "n0".."n<count-1>" whose printed bytes are their own ids.
std::vector<std::string> NumberedJobs(int count) {
  static const char* const kIds[] = {"bjA=", "bjE=", "bjI=", "bjM=", "bjQ=", "bjU=", "bjY=", "bjc=", "bjg=", "bjk="};
  std::vector<std::string> jobs;
  for (int i = 0; i < count && i < 10; ++i) jobs.push_back(RawJob("n" + std::to_string(i), kIds[i]));
  return jobs;
}

class JobLoopTest : public test::NetFixture {
 protected:
  void SetUp() override {
    NetFixture::SetUp();
    ASSERT_TRUE(redis_.up());
    Bind(redis_);
    data().SetBindInfo("RedisKey", kJobs);
    data().SetBindInfo("RedisConfigNotifyKey", kNotify);
    data().SetRawPrinter([this](const std::vector<unsigned char>& bytes, const RawPrintTry& how) {
      ++tries_;
      if (how.openAttempts == 1) ++singleAttemptTries_;
      if (!printerOn_) return RawPrintResult::kUnavailable;
      std::function<void()> hook;
      {
        std::lock_guard<std::mutex> l(lock_);
        printed_.emplace_back(bytes.begin(), bytes.end());
        hook = onPrint_;
      }
      if (hook) hook();
      return RawPrintResult::kPrinted;
    });
    timings_.blpopTimeoutSeconds = 1;
    timings_.blmoveTimeoutSeconds = 1;
    timings_.retryWaitMs = 200;
    timings_.lostPauseMs = 200;
    timings_.connectTimeoutSeconds = 2;
    PrinterSettings printer;
    printer.holdRetryMs = 50;
    printer.holdSeconds = 600;
    SetPrinterSettings(printer);
  }
  void TearDown() override {
    net_.reset();  // joins the thread before the data goes
    SetPrinterSettings(PrinterSettings());
    NetFixture::TearDown();
  }
  void Bind(const test::RedisServer& server) {
    server_ = &server;
    data().SetBindInfo("RedisHost", "127.0.0.1");
    data().SetBindInfo("RedisPort", std::to_string(server.port()));
    data().SetBindInfo("RedisPsw", server.password());
    data().SetBindInfo("RedisDataBase", std::to_string(kDb));
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
  std::string Redis(const std::vector<std::string>& args) { return server_->Command(kDb, args); }
  std::string Push(const std::string& key, const std::string& value) { return Redis({"RPUSH", key, value}); }
  long PopCalls() {
    return server_->InfoNumber("commandstats", "cmdstat_blmove", "calls") +
           server_->InfoNumber("commandstats", "cmdstat_blpop", "calls");
  }
  // Waits until a job waits for the printer.
  bool Held() {
    return WaitUntil([&] { return log_.Contains("waits for the printer"); }, 10000);
  }

  test::RedisServer redis_;
  const test::RedisServer* server_ = &redis_;
  platform::FakeClock clock_{0};
  NetLoopTimings timings_;
  std::unique_ptr<NetMgr> net_;
  std::mutex lock_;
  std::vector<std::string> printed_;
  std::function<void()> onPrint_;
  std::atomic<bool> printerOn_{true};
  std::atomic<int> tries_{0};
  std::atomic<int> singleAttemptTries_{0};
};

TEST_F(JobLoopTest, JobsArePrintedOneByOneInListOrder) {
  StartLoop();
  ASSERT_TRUE(WaitUntil([&] { return PopCalls() >= 1; }, 10000));
  Push(kJobs, kJob);
  Push(kJobs, RawJob("j2", "QUJD"));
  Push(kJobs, "not json at all");
  Push(kJobs, RawJob("j3", "MTIz"));
  ASSERT_TRUE(WaitUntil([&] { return Printed() >= 3; }, 10000));
  EXPECT_EQ(PrintedCopy(), (std::vector<std::string>{"\x1b\x40", "ABC", "123"}));
  EXPECT_TRUE(log_.Contains(Gbk("小票数据获取成功：") + kJob));
  EXPECT_TRUE(log_.Contains(Gbk("开启网络处理线程")));
  // Handled jobs, the malformed one included, leave nothing behind.
  EXPECT_TRUE(WaitUntil([&] { return Redis({"LLEN", kProcessing}) == "0"; }, 5000));
  EXPECT_EQ(Redis({"EXISTS", kTries}), "0");
  EXPECT_EQ(Redis({"LLEN", kJobs}), "0");
  EXPECT_TRUE(net_->Stop());
  EXPECT_TRUE(log_.Contains(Gbk("终止网络处理线程")));
}

TEST_F(JobLoopTest, IdlePassesWriteNoLogLines) {
  StartLoop();
  ASSERT_TRUE(WaitUntil([&] { return PopCalls() >= 3; }, 10000));
  const std::string text = log_.Text();
  EXPECT_EQ(Count(text, "CRedisConn::TryConnect true"), 1u);
  EXPECT_EQ(Count(text, Gbk("redis 数据获取")), 0u);
  EXPECT_EQ(Count(text, "CRedisConn 1"), 0u);
  EXPECT_EQ(Count(text, "CRedisConn::TryConnect\r"), 1u);
}

TEST_F(JobLoopTest, JobsLeftInTheProcessingListAreHandledFirstOrDeadAfterTwoTries) {
  const struct {
    const char* name;
    const char* tries;  // of the head, before the start ("" = none)
    std::vector<std::string> printed;
    std::string dead;
  } cases[] = {
      {"never counted", "", {"n0", "n1", "n2"}, ""},
      {"tried once", "1", {"n0", "n1", "n2"}, ""},
      {"tried twice", "2", {"n1", "n2"}, NumberedJobs(1)[0]},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    Redis({"FLUSHDB"});
    const std::vector<std::string> jobs = NumberedJobs(3);
    Push(kProcessing, jobs[0]);
    Push(kProcessing, jobs[1]);
    Push(kJobs, jobs[2]);
    if (*c.tries != '\0') Redis({"SET", kTries, c.tries});
    const size_t logged = log_.Text().size();
    StartLoop();
    ASSERT_TRUE(WaitUntil([&] { return Printed() >= c.printed.size(); }, 10000));
    ASSERT_TRUE(WaitUntil([&] { return Redis({"LLEN", kProcessing}) == "0"; }, 5000));
    net_.reset();
    EXPECT_EQ(PrintedCopy(), c.printed);
    EXPECT_EQ(Redis({"LRANGE", kDead, "0", "-1"}), c.dead);
    EXPECT_EQ(Redis({"EXISTS", kTries}), "0");
    const std::string added = log_.Text().substr(logged);
    EXPECT_EQ(Count(added, "[ERROR]: cloud job n0 moved to {print_jobs:dev-1}:dead"), c.dead.empty() ? 0u : 1u);
    printed_.clear();
  }
}

TEST_F(JobLoopTest, NotifyIsServedWhileAJobWaitsForThePrinterAndOrderIsKept) {
  httplib::Server cloud;
  std::atomic<int> queries{0};
  cloud.Get("/store/printer/device", [&](const httplib::Request&, httplib::Response& res) {
    ++queries;
    res.set_content(R"({"message":"fail"})", "application/json");
  });
  const int port = cloud.bind_to_any_port("127.0.0.1");
  std::thread serving([&] { cloud.listen_after_bind(); });
  WaitUntil([&] { return cloud.is_running(); }, 5000);
  data().SetConfig("URL", "http://127.0.0.1:" + std::to_string(port));

  printerOn_ = false;
  StartLoop();
  const std::vector<std::string> jobs = NumberedJobs(3);
  for (const std::string& job : jobs) Push(kJobs, job);
  ASSERT_TRUE(Held());
  EXPECT_TRUE(log_.Contains("[WARNING]: cloud job n0 waits for the printer: one try every 50 ms, for up to 600 s"));
  Push(kNotify, "template changed");
  ASSERT_TRUE(WaitUntil([&] { return queries.load() == 1; }, 5000));
  // The jobs behind it are still on the job list, the held one at the head
  // of the processing list, and the held one is tried an open at a time.
  EXPECT_EQ(Redis({"LLEN", kJobs}), "2");
  EXPECT_EQ(Redis({"LRANGE", kProcessing, "0", "-1"}), jobs[0]);
  ASSERT_TRUE(WaitUntil([&] { return singleAttemptTries_.load() >= 3; }, 5000));
  EXPECT_EQ(Printed(), 0u);

  printerOn_ = true;
  ASSERT_TRUE(WaitUntil([&] { return Printed() >= 3; }, 10000));
  EXPECT_EQ(PrintedCopy(), (std::vector<std::string>{"n0", "n1", "n2"}));
  EXPECT_TRUE(log_.Contains(Gbk("打印完成,job_id:n0")));
  net_.reset();
  cloud.stop();
  serving.join();
}

TEST_F(JobLoopTest, AJobHeldPastTheHoldTimeIsDroppedWithOneLine) {
  PrinterSettings printer = GetPrinterSettings();
  printer.holdSeconds = 60;
  SetPrinterSettings(printer);
  printerOn_ = false;
  StartLoop();
  Push(kJobs, NumberedJobs(1)[0]);
  ASSERT_TRUE(Held());
  clock_.Advance(59000);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(Redis({"LLEN", kProcessing}), "1");
  clock_.Advance(1000);
  ASSERT_TRUE(WaitUntil([&] { return Redis({"LLEN", kProcessing}) == "0"; }, 5000));
  EXPECT_EQ(Count(log_.Text(), "[ERROR]: cloud job n0 dropped: the printer was unavailable for 60 s"), 1u);

  printerOn_ = true;
  Push(kJobs, NumberedJobs(2)[1]);
  ASSERT_TRUE(WaitUntil([&] { return Printed() == 1; }, 10000));
  EXPECT_EQ(PrintedCopy(), std::vector<std::string>{"n1"});
}

TEST_F(JobLoopTest, StopWhileAJobWaitsKeepsItAndItsTriesForTheNextStart) {
  printerOn_ = false;
  StartLoop();
  Push(kJobs, kJob);
  ASSERT_TRUE(Held());
  EXPECT_EQ(Redis({"GET", kTries}), "1");
  EXPECT_TRUE(net_->Stop());
  net_.reset();
  EXPECT_EQ(Redis({"LRANGE", kProcessing, "0", "-1"}), kJob);
  EXPECT_EQ(Redis({"GET", kTries}), "0");  // stopped, not failed: no try counted

  printerOn_ = true;
  StartLoop();
  ASSERT_TRUE(WaitUntil([&] { return Printed() == 1; }, 10000));
  ASSERT_TRUE(WaitUntil([&] { return Redis({"LLEN", kProcessing}) == "0"; }, 5000));
  EXPECT_EQ(PrintedCopy(), std::vector<std::string>{"\x1b\x40"});
}

TEST_F(JobLoopTest, StopDuringTheWaitEndsTheLoopAndTakesNoJob) {
  timings_.blmoveTimeoutSeconds = 5;
  StartLoop();
  ASSERT_TRUE(WaitUntil([&] { return PopCalls() >= 1; }, 10000));
  net_->Stop();
  net_.reset();  // joined: the wait in progress has ended
  Push(kJobs, kJob);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(Printed(), 0u);
  EXPECT_EQ(Redis({"LLEN", kJobs}), "1");
}

TEST_F(JobLoopTest, RedisKilledBetweenPrintingAndRemovalPrintsEveryJobOnce) {
  test::RedisServer durable("pw", {"--appendonly", "yes", "--appendfsync", "always"});
  ASSERT_TRUE(durable.up());
  Bind(durable);
  const std::vector<std::string> jobs = NumberedJobs(10);
  for (const std::string& job : jobs) Push(kJobs, job);
  // The server dies right after the 3rd and the 7th job reached the paper,
  // before the loop removes them, and is back at once with its journal.
  onPrint_ = [&] {
    const size_t n = Printed();
    if (n == 3 || n == 7) {
      test::RedisServer& server = durable;
      server.Kill();
      server.Start();
    }
  };
  StartLoop();
  ASSERT_TRUE(WaitUntil([&] { return Printed() >= 10 && Redis({"LLEN", kProcessing}) == "0"; }, 20000)) << Printed();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  std::vector<std::string> want;
  for (int i = 0; i < 10; ++i) want.push_back("n" + std::to_string(i));
  EXPECT_EQ(PrintedCopy(), want);
  EXPECT_EQ(Redis({"LLEN", kJobs}), "0");
  net_.reset();
}

TEST_F(JobLoopTest, ServerWithoutBlmoveFallsBackToBlpopWithOneWarning) {
  test::RedisServer old("pw", {"--rename-command", "BLMOVE", ""});
  ASSERT_TRUE(old.up());
  Bind(old);
  StartLoop();
  const std::vector<std::string> jobs = NumberedJobs(3);
  for (const std::string& job : jobs) Push(kJobs, job);
  ASSERT_TRUE(WaitUntil([&] { return Printed() >= 3; }, 10000));
  EXPECT_EQ(PrintedCopy(), (std::vector<std::string>{"n0", "n1", "n2"}));
  EXPECT_GE(old.InfoNumber("commandstats", "cmdstat_blpop", "calls"), 3);
  EXPECT_EQ(Count(log_.Text(), "[WARNING]: the Redis server has no BLMOVE"), 1u);
  Push(kNotify, "x");
  ASSERT_TRUE(WaitUntil([&] { return log_.Contains(Gbk("追打小票数据更改：x")); }, 10000));
}

TEST_F(JobLoopTest, LargePayloadsLeaveShortLogLines) {
  constexpr size_t kBytes = test::kUnderSanitizer ? 2 << 20 : 16 << 20;
  std::string data;
  data.reserve(kBytes);
  while (data.size() < kBytes) data += "QUJD";
  StartLoop();
  const size_t before = log_.Text().size();
  Push(kJobs, R"({"format":"escpos","job_id":")" + std::string(kBytes, 'i') + R"(","data":")" + data + R"("})");
  Push(kJobs, std::string(kBytes, '{'));
  Push(kNotify, std::string(kBytes, 'n'));
  ASSERT_TRUE(WaitUntil([&] { return Printed() == 1 && log_.Contains(Gbk("追打小票数据更改：")); }, 20000));
  ASSERT_TRUE(WaitUntil([&] { return Redis({"LLEN", kProcessing}) == "0"; }, 5000));
  EXPECT_EQ(PrintedCopy()[0].size(), kBytes / 4 * 3);
  const std::string added = log_.Text().substr(before);
  EXPECT_LT(added.size(), 16u * 1024) << added.substr(0, 2000);
  EXPECT_TRUE(log_.Contains("...(" + std::to_string(kBytes) + " bytes)"));
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

  // Left over on the new key's processing list from an earlier binding.
  Push("{print_jobs:dev-2}:processing", RawJob("left", "QQ=="));
  StartLoop();
  Push(kNotify, "template changed");
  ASSERT_TRUE(WaitUntil([&] { return data().GetBindInfo("RedisKey") == "print_jobs:dev-2"; }, 10000));
  EXPECT_EQ(queries.load(), 1);
  EXPECT_TRUE(log_.Contains(Gbk("追打小票数据更改：") + "template changed"));
  // The new job key is used from the next pop on, its own processing list
  // first.
  Push("print_jobs:dev-2", kJob);
  ASSERT_TRUE(WaitUntil([&] { return Printed() == 2; }, 10000));
  EXPECT_EQ(PrintedCopy(), (std::vector<std::string>{"A", "\x1b\x40"}));
  EXPECT_EQ(queries.load(), 1);

  net_.reset();
  cloud.stop();
  serving.join();
}

TEST_F(JobLoopTest, LoopSurvivesARedisRestart) {
  StartLoop();
  ASSERT_TRUE(WaitUntil([&] { return PopCalls() >= 1; }, 10000));
  redis_.Kill();
  ASSERT_TRUE(WaitUntil([&] { return log_.Contains("[ERROR]: RedisGetData failed, reconnect"); }, 10000));
  ASSERT_TRUE(redis_.Start());
  Push(kJobs, kJob);
  ASSERT_TRUE(WaitUntil([&] { return Printed() == 1; }, 15000));
  EXPECT_TRUE(log_.Contains("[ERROR]: redisCommand failed:"));
  EXPECT_TRUE(log_.Contains(Gbk("连接redis失败 ")));  // attempts while it was down
}

TEST_F(JobLoopTest, StopCutsTheRetryWaitShort) {
  timings_.retryWaitMs = 600000;
  data().SetBindInfo("RedisPort", std::to_string(test::FreeLoopbackPort()));
  StartLoop();
  ASSERT_TRUE(WaitUntil([&] { return log_.Contains(Gbk("连接redis失败")); }, 10000));
  EXPECT_TRUE(net_->Stop());
}

TEST_F(JobLoopTest, SettingsOverrideTheBoundHostAndPort) {
  data().SetBindInfo("RedisHost", "no-such-host.invalid");
  GetProcessSettings().redisIp = "127.0.0.1";
  StartLoop();
  Push(kJobs, kJob);
  ASSERT_TRUE(WaitUntil([&] { return Printed() == 1; }, 10000));
  net_.reset();

  data().SetBindInfo("RedisPort", "1");
  GetProcessSettings().redisPort = std::to_string(redis_.port());
  StartLoop();
  Push(kJobs, kJob);
  ASSERT_TRUE(WaitUntil([&] { return Printed() == 2; }, 10000));
  EXPECT_FALSE(log_.Contains("no-such-host"));
}

TEST_F(JobLoopTest, KeyOfAnotherTypeDoesNotSpin) {
  Redis({"SET", kJobs, "a string"});
  Redis({"SET", kNotify, "another"});
  StartLoop();
  ASSERT_TRUE(WaitUntil([&] { return PopCalls() >= 1; }, 10000));
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  // One answer per 200 ms wait; a spinning loop makes thousands.
  EXPECT_LT(PopCalls(), 20);
  EXPECT_TRUE(log_.Contains("WRONGTYPE"));
  EXPECT_LT(Count(log_.Text(), "redis LPOP"), 2u);
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
