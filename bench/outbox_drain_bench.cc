// How fast the outbox drains after an outage: receipts that piled up while
// the cloud was away, sent by the capture road's worker to the local cloud
// simulator, beside the same signed requests posted one after the other by
// a bare loop in the same run. Prints figures; asserts nothing.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "base/log.h"
#include "base/text_util.h"
#include "capture/capture_road.h"
#include "data/data_mgr.h"
#include "net/net_mgr.h"
#include "net_test_support.h"
#include "platform/clock.h"
#include "support/till_corpus.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

}  // namespace

int main() {
  using namespace tillcast;
  constexpr int kReceipts = 300;
  test::TempDir dir;
  test::ScopedEnv data_home("XDG_DATA_HOME", dir.Sub("data"));
  // The log in a folder of its own, warnings only: the bench measures the
  // road, not the log.
  std::filesystem::create_directories(dir.Sub("logs"));
  SetLogFolder(dir.Sub("logs"));
  InitLog(LOG_WARNING);
  test::RedisServer redis;
  test::CloudSim sim(redis, 4);
  if (!sim.ok()) {
    std::fprintf(stderr, "outbox bench: the cloud simulator did not start\n");
    return 1;
  }
  DataMgr& data = DataMgr::GetInstance();
  data.Init();
  data.SetConfig("URL", sim.url());
  data.SetConfig("secret", "DEMO-KEY-0001");
  NetMgr net(platform::SystemClock());
  if (!net.GetConnectionInfo() || !net.CreateConnection()) {
    std::fprintf(stderr, "outbox bench: binding failed\n");
    return 1;
  }

  // Realistic receipts (with and without a logo), signed as the worker
  // signs them.
  const std::vector<test::TillReceipt> shapes = test::SaleCorpus();
  std::vector<std::string> bodies;
  size_t bytes = 0;
  for (int i = 0; i < kReceipts; ++i) {
    const std::string& receipt = shapes[static_cast<size_t>(i) % 3].bytes;  // the short, logo and long ones
    std::string body;
    if (!net.PrepareTicketUpload(receipt, "bench.dat", 0, TicketAge::kLate, &body)) return 1;
    bytes += receipt.size();
    bodies.push_back(body);
  }

  // Bare: post them one after the other.
  const auto t0 = Clock::now();
  int ok = 0;
  for (const std::string& body : bodies) ok += net.SendTicketUpload(body) == 200;
  const double bare = Seconds(Clock::now() - t0);

  // The outbox of an outage, drained by the worker once the cloud answers.
  // New nonces, so the simulator stores them again rather than answering
  // repeats.
  capture::CaptureRoad::Settings settings;
  settings.data_folder = GetDataFolder();
  capture::CaptureUploadHooks hooks;
  hooks.send = [&net](const std::string& body, const std::atomic<bool>&) { return net.SendTicketUpload(body); };
  {
    capture::UploadOutbox box(settings.data_folder + "/outbox", settings.data_folder + "/rejected");
    box.Open();
    for (int i = 0; i < kReceipts; ++i) {
      std::string body;
      net.PrepareTicketUpload(shapes[static_cast<size_t>(i) % 3].bytes, "bench.dat", 0, TicketAge::kLate, &body);
      box.Add(body);
    }
  }
  capture::CaptureRoad road(settings, hooks, nullptr);
  const auto t1 = Clock::now();
  road.Start();
  while (road.outbox().Count() > 0 && Clock::now() - t1 < std::chrono::minutes(5))
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  const double drained = Seconds(Clock::now() - t1);
  const size_t left = road.outbox().Count();
  road.Stop();

  std::printf("| path | receipts | MB | seconds | receipts/s |\n|---|---|---|---|---|\n");
  std::printf("| bare loop: signed requests posted one after the other | %d | %.1f | %.2f | %.0f |\n", ok,
              static_cast<double>(bytes) / 1e6, bare, ok / bare);
  std::printf(
      "| outbox drained by the upload worker (each entry read from disk, removed durably) | %d | %.1f | %.2f "
      "| %.0f |\n",
      kReceipts - static_cast<int>(left), static_cast<double>(bytes) / 1e6, drained,
      (kReceipts - static_cast<double>(left)) / drained);
  std::printf("outbox/bare throughput: %.2fx\n", bare / drained);
  return left == 0 ? 0 : 1;
}
