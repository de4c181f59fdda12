// Cloud job latency through the real fetch loop, beside the bare Redis
// round trip, and the request rate of RestClient::post on loopback.
#include <benchmark/benchmark.h>
#include <hiredis/hiredis.h>
#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/log.h"
#include "app/text_util.h"
#include "data/codec.h"
#include "data/data_mgr.h"
#include "net/net_mgr.h"
#include "net/rest_client.h"
#include "net_test_support.h"
#include "percentile.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kJobs = 1000;

int64_t NowNs() { return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count(); }

struct ContextFree {
  void operator()(redisContext* c) const { redisFree(c); }
};
using Context = std::unique_ptr<redisContext, ContextFree>;

Context Open(const tillcast::test::RedisServer& redis, int db) {
  Context c(redisConnect("127.0.0.1", redis.port()));
  freeReplyObject(redisCommand(c.get(), "AUTH %s", redis.password().c_str()));
  freeReplyObject(redisCommand(c.get(), "SELECT %d", db));
  return c;
}

// Bare hiredis: LPUSH on one connection, BLPOP on another, one at a time.
std::vector<double> BareRoundTrips(const tillcast::test::RedisServer& redis) {
  Context pusher = Open(redis, 1);
  Context popper = Open(redis, 1);
  std::vector<double> us;
  for (int i = 0; i < kJobs; ++i) {
    std::atomic<int64_t> popped{0};
    std::thread t([&] {
      freeReplyObject(redisCommand(popper.get(), "BLPOP bare 5"));
      popped = NowNs();
    });
    // Let the BLPOP reach the server first, as the loop's always has.
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    const int64_t sent = NowNs();
    freeReplyObject(redisCommand(pusher.get(), "LPUSH bare x"));
    t.join();
    us.push_back(static_cast<double>(popped - sent) / 1000.0);
  }
  return us;
}

void BM_JobLatencyThroughLoop(benchmark::State& state) {
  tillcast::test::TempDir dir;
  tillcast::test::ScopedEnv env("XDG_DATA_HOME", dir.path());
  tillcast::SetLogFolder(dir.path());
  tillcast::InitLog(tillcast::LOG_INFO);  // the agent logs every job at INFO
  tillcast::ResetDataFolderForTest();
  tillcast::test::RedisServer redis;
  tillcast::DataMgr& data = tillcast::DataMgr::GetInstance();
  data.ResetForTest();
  data.SetBindInfo("RedisHost", "127.0.0.1");
  data.SetBindInfo("RedisPort", std::to_string(redis.port()));
  data.SetBindInfo("RedisPsw", redis.password());
  data.SetBindInfo("RedisDataBase", "1");
  data.SetBindInfo("RedisKey", "print_jobs:bench");

  std::mutex lock;
  std::condition_variable done;
  std::vector<double> us;
  data.SetRawPrinter([&](const std::vector<unsigned char>& bytes, const tillcast::RawPrintTry&) {
    const int64_t now = NowNs();
    int64_t sent = 0;
    std::memcpy(&sent, bytes.data(), sizeof sent);
    std::lock_guard<std::mutex> l(lock);
    us.push_back(static_cast<double>(now - sent) / 1000.0);
    done.notify_all();
    return tillcast::RawPrintResult::kPrinted;
  });

  tillcast::platform::FakeClock clock;
  tillcast::NetMgr net(&clock);
  net.Start();
  Context pusher = Open(redis, 1);
  for (auto _ : state) {
    for (int i = 0; i < kJobs; ++i) {
      // Let the loop get back into its BLPOP before the next job.
      std::this_thread::sleep_for(std::chrono::microseconds(200));
      const int64_t sent = NowNs();
      const std::string job = "{\"format\":\"escpos\",\"job_id\":\"b\",\"data\":\"" +
                              tillcast::Base64Encode(&sent, sizeof sent) + "\"}";
      freeReplyObject(redisCommand(pusher.get(), "LPUSH print_jobs:bench %b", job.data(), job.size()));
      std::unique_lock<std::mutex> l(lock);
      done.wait_for(l, std::chrono::seconds(10), [&] { return us.size() == static_cast<size_t>(i + 1); });
    }
  }
  net.Stop();
  const std::vector<double> bare = BareRoundTrips(redis);
  const double loopP50 = bench::Percentile(us, 0.5), loopP99 = bench::Percentile(us, 0.99);
  const double bareP50 = bench::Percentile(bare, 0.5), bareP99 = bench::Percentile(bare, 0.99);
  state.counters["loop_p50_us"] = loopP50;
  state.counters["loop_p99_us"] = loopP99;
  state.counters["bare_p50_us"] = bareP50;
  state.counters["bare_p99_us"] = bareP99;
  state.counters["ratio_p50"] = loopP50 / bareP50;
  state.counters["ratio_p99"] = loopP99 / bareP99;
  std::printf("jobs %zu: loop p50 %.1f us p99 %.1f us | bare LPUSH->BLPOP p50 %.1f us p99 %.1f us | ratio p50 %.2f p99 %.2f\n",
              us.size(), loopP50, loopP99, bareP50, bareP99, loopP50 / bareP50, loopP99 / bareP99);
  data.ResetForTest();
  tillcast::ResetLogForTest();
  tillcast::SetLogFolder("");
}
BENCHMARK(BM_JobLatencyThroughLoop)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_RestClientPost(benchmark::State& state) {
  httplib::Server server;
  server.Post("/store/printer/upload", [](const httplib::Request&, httplib::Response& res) {
    res.set_content("{\"code\":0,\"message\":\"success\"}", "application/json");
  });
  const int port = server.bind_to_any_port("127.0.0.1");
  std::thread serving([&] { server.listen_after_bind(); });
  while (!server.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/store/printer/upload";
  const std::string body = "appId=app&content=" + std::string(800, 'Q') + "&nonceStr=abcdefgh&sign=" + std::string(32, 'A');
  int failures = 0;
  for (auto _ : state) {
    if (tillcast::RestClient::post(url, "application/x-www-form-urlencoded", body).code != 200) ++failures;
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["failures"] = failures;
  server.stop();
  serving.join();
}
BENCHMARK(BM_RestClientPost)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
