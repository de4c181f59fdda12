// Cloud job latency through the real fetch loop, from LPUSH to the job's
// bytes arriving at a printer port through the printer library, beside a
// bare client running the same Redis commands in the same run; and the
// request rate of RestClient::post on loopback.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <hiredis/hiredis.h>
#include <httplib.h>
#include <json/json.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

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

#include "base/log.h"
#include "base/printer_settings.h"
#include "base/text_util.h"
#include "data/codec.h"
#include "data/data_mgr.h"
#include "data/json_util.h"
#include "net/net_mgr.h"
#include "net/rest_client.h"
#include "net_test_support.h"
#include "print/print_hooks.h"
#include "print/sdk_binding.h"
#include "percentile.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kJobs = 1000;
constexpr char kJobKey[] = "print_jobs:bench";
constexpr char kProcessing[] = "{print_jobs:bench}:processing";
constexpr char kTries[] = "{print_jobs:bench}:tries";
constexpr char kNotify[] = "print_notify:bench";

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

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

std::string JobJson(int64_t sent) {
  return "{\"format\":\"escpos\",\"job_id\":\"b\",\"data\":\"" + tillcast::Base64Encode(&sent, sizeof sent) + "\"}";
}

// Arrival times of jobs: each job is the 8-byte time it was pushed at.
class Arrivals {
 public:
  void Add(int64_t sent) {
    const int64_t now = NowNs();
    std::lock_guard<std::mutex> l(lock_);
    us_.push_back(static_cast<double>(now - sent) / 1000.0);
    last_ = now;
    changed_.notify_all();
  }
  bool WaitFor(size_t count) {
    std::unique_lock<std::mutex> l(lock_);
    return changed_.wait_for(l, std::chrono::seconds(20), [&] { return us_.size() >= count; });
  }
  std::vector<double> Take() {
    std::lock_guard<std::mutex> l(lock_);
    std::vector<double> out;
    out.swap(us_);
    return out;
  }
  int64_t last() {
    std::lock_guard<std::mutex> l(lock_);
    return last_;
  }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  std::vector<double> us_;
  int64_t last_ = 0;
};

// A named pipe standing in for a parallel printer: the printer library
// opens, writes and closes it for every job, as on a real port; a reader
// notes when each job's bytes arrive.
class FifoPrinter {
 public:
  FifoPrinter(const std::string& path, Arrivals* arrivals) : path_(path), arrivals_(arrivals) {
    mkfifo(path.c_str(), 0600);
    read_ = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    keep_ = open(path.c_str(), O_WRONLY | O_CLOEXEC);  // no end of file between jobs
    reader_ = std::thread([this] { Read(); });
  }
  ~FifoPrinter() {
    stop_ = true;
    reader_.join();
    close(keep_);
    close(read_);
    unlink(path_.c_str());
  }

 private:
  void Read() {
    std::string pending;
    char buf[4096];
    while (!stop_) {
      pollfd p{read_, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      const ssize_t n = read(read_, buf, sizeof buf);
      if (n <= 0) continue;
      pending.append(buf, static_cast<size_t>(n));
      while (pending.size() >= sizeof(int64_t)) {
        int64_t sent = 0;
        std::memcpy(&sent, pending.data(), sizeof sent);
        pending.erase(0, sizeof sent);
        arrivals_->Add(sent);
      }
    }
  }
  std::string path_;
  Arrivals* arrivals_;
  int read_ = -1, keep_ = -1;
  std::atomic<bool> stop_{false};
  std::thread reader_;
};

// The same Redis commands as the job loop, with nothing between them: a
// job counts as printed where the loop would print it.
class BareLoop {
 public:
  BareLoop(const tillcast::test::RedisServer& redis, Arrivals* arrivals)
      : c_(Open(redis, 1)), arrivals_(arrivals), thread_([this] { Run(); }) {}
  ~BareLoop() {
    stop_ = true;
    thread_.join();
  }

 private:
  void Run() {
    while (!stop_) {
      redisReply* moved =
          static_cast<redisReply*>(redisCommand(c_.get(), "BLMOVE %s %s LEFT RIGHT 1", kJobKey, kProcessing));
      if (moved == nullptr) return;
      const bool got = moved->type == REDIS_REPLY_STRING;
      redisAppendCommand(c_.get(), "LPOP %s", kNotify);
      if (got) redisAppendCommand(c_.get(), "SET %s 1", kTries);
      for (int i = got ? 2 : 1; i > 0; --i) {
        void* r = nullptr;
        redisGetReply(c_.get(), &r);
        freeReplyObject(r);
      }
      if (got) {
        const std::vector<unsigned char> bytes =
            tillcast::Base64Decode(tillcast::data_internal::StringMember(Parse(moved), "data"));
        int64_t sent = 0;
        if (bytes.size() == sizeof sent) std::memcpy(&sent, bytes.data(), sizeof sent);
        arrivals_->Add(sent);
        redisAppendCommand(c_.get(), "MULTI");
        redisAppendCommand(c_.get(), "LPOP %s", kProcessing);
        redisAppendCommand(c_.get(), "DEL %s", kTries);
        redisAppendCommand(c_.get(), "EXEC");
        for (int i = 0; i < 4; ++i) {
          void* r = nullptr;
          redisGetReply(c_.get(), &r);
          freeReplyObject(r);
        }
      }
      freeReplyObject(moved);
    }
  }
  static Json::Value Parse(const redisReply* r) {
    Json::Value v;
    tillcast::data_internal::ParseJson(std::string(r->str, r->len), &v);
    return v;
  }
  Context c_;
  Arrivals* arrivals_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

struct Figures {
  std::vector<double> latencyUs;  // one job at a time
  double burstMs = 0;             // kJobs queued at once, until the last arrived
};

// kJobs one at a time (each waits for the one before), then kJobs queued at
// once.
Figures Measure(const tillcast::test::RedisServer& redis, Arrivals* arrivals) {
  Context pusher = Open(redis, 1);
  Figures f;
  for (int i = 0; i < kJobs; ++i) {
    // Let the loop get back into its BLMOVE before the next job.
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    const std::string job = JobJson(NowNs());
    freeReplyObject(redisCommand(pusher.get(), "LPUSH %s %b", kJobKey, job.data(), job.size()));
    if (!arrivals->WaitFor(static_cast<size_t>(i + 1))) break;
  }
  f.latencyUs = arrivals->Take();
  std::vector<std::string> args = {"RPUSH", kJobKey};
  const int64_t queued = NowNs();
  for (int i = 0; i < kJobs; ++i) args.push_back(JobJson(queued));
  std::vector<const char*> argv;
  std::vector<size_t> argl;
  for (const std::string& a : args) {
    argv.push_back(a.data());
    argl.push_back(a.size());
  }
  freeReplyObject(redisCommandArgv(pusher.get(), static_cast<int>(argv.size()), argv.data(), argl.data()));
  arrivals->WaitFor(kJobs);
  f.burstMs = static_cast<double>(arrivals->last() - queued) / 1e6;
  arrivals->Take();
  return f;
}

void BM_JobLatencyThroughLoop(benchmark::State& state) {
  tillcast::test::TempDir dir;
  tillcast::test::ScopedEnv env("XDG_DATA_HOME", dir.path());
  tillcast::SetLogFolder(dir.path());
  tillcast::InitLog(tillcast::LOG_INFO);  // the agent logs every job at INFO
  tillcast::ResetDataFolderForTest();
  tillcast::SetPrinterSettings(tillcast::PrinterSettings());
  tillcast::test::RedisServer redis;
  tillcast::DataMgr& data = tillcast::DataMgr::GetInstance();
  data.ResetForTest();
  data.SetBindInfo("RedisHost", "127.0.0.1");
  data.SetBindInfo("RedisPort", std::to_string(redis.port()));
  data.SetBindInfo("RedisPsw", redis.password());
  data.SetBindInfo("RedisDataBase", "1");
  data.SetBindInfo("RedisKey", kJobKey);
  data.SetBindInfo("RedisConfigNotifyKey", kNotify);
  // The real printer path: the printer library on a parallel port.
  tillcast::InstallPrintHooks();
  if (!tillcast::BindPrinterSdkFrom(tillcast::test::BinDir() + "/" + tillcast::kPrinterSdkLibrary)) {
    state.SkipWithError("printer library not found");
    return;
  }
  const std::string port = dir.Sub("printer.fifo");
  data.SetConfig("PortType", "\xb2\xa2\xbf\xda");  // 并口 in GBK
  data.SetConfig("PortName", port);

  Arrivals arrivals;
  Figures loop, bare;
  for (auto _ : state) {
    {
      FifoPrinter printer(port, &arrivals);
      tillcast::platform::FakeClock clock;
      tillcast::NetMgr net(&clock);
      net.Start();
      loop = Measure(redis, &arrivals);
      net.Stop();
    }
    {
      BareLoop baseline(redis, &arrivals);
      bare = Measure(redis, &arrivals);
    }
  }
  const double loopP50 = bench::Percentile(loop.latencyUs, 0.5), loopP99 = bench::Percentile(loop.latencyUs, 0.99);
  const double bareP50 = bench::Percentile(bare.latencyUs, 0.5), bareP99 = bench::Percentile(bare.latencyUs, 0.99);
  state.counters["loop_p50_us"] = loopP50;
  state.counters["loop_p99_us"] = loopP99;
  state.counters["bare_p50_us"] = bareP50;
  state.counters["bare_p99_us"] = bareP99;
  state.counters["ratio_p50"] = loopP50 / bareP50;
  state.counters["ratio_p99"] = loopP99 / bareP99;
  state.counters["loop_1000_ms"] = loop.burstMs;
  state.counters["bare_1000_ms"] = bare.burstMs;
  std::printf(
      "jobs %zu: LPUSH -> printed p50 %.1f us p99 %.1f us | bare BLMOVE+LPOP p50 %.1f us p99 %.1f us | "
      "ratio p50 %.2f p99 %.2f\n",
      loop.latencyUs.size(), loopP50, loopP99, bareP50, bareP99, loopP50 / bareP50, loopP99 / bareP99);
  std::printf("%d jobs in a row: loop %.0f ms, bare %.0f ms (ratio %.2f)\n", kJobs, loop.burstMs, bare.burstMs,
              loop.burstMs / bare.burstMs);
  data.ResetForTest();
  tillcast::UnbindPrinterSdkForTest();
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
  const std::string body =
      "appId=app&content=" + std::string(800, 'Q') + "&nonceStr=abcdefgh&sign=" + std::string(32, 'A');
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
