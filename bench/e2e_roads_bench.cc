// End-to-end figures of a whole shop on this machine: sale receipt from the
// till's last byte to the upload stored by the simulator, cloud job from
// LPUSH to the document written by the virtual printer (beside a bare Redis
// round trip), and the agent's resident memory idle and after 1,000 jobs.
// Prints a table; asserts nothing.
#include <hiredis.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "percentile.h"
#include "shop.h"
#include "support/till_corpus.h"

using tillcast::test::Shop;
using Clock = std::chrono::steady_clock;

namespace {

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

long RssKb(int pid) {
  const std::string s = tillcast::test::ReadFile("/proc/" + std::to_string(pid) + "/status");
  const size_t at = s.find("VmRSS:");
  return at == std::string::npos ? -1 : std::atol(s.c_str() + at + 6);
}

template <typename Pred>
bool Poll(Pred pred, int timeout_ms) {
  const auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (Clock::now() < end) {
    if (pred()) return true;
    std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
  return false;
}

}  // namespace

int main() {
  Shop shop;
  std::string why;
  if (!shop.Start(&why) || !shop.WaitReady(30000)) {
    std::fprintf(stderr, "e2e bench: the shop did not come up: %s\n", why.c_str());
    return 1;
  }
  std::this_thread::sleep_for(std::chrono::seconds(2));
  const long rss_idle = RssKb(shop.agent()->pid());

  // Sale receipts as tills write them (every command byte and line feed a
  // write of its own, zero bytes, logos), one at a time, each its own
  // capture, more than 5 s apart (a second print within 5 s counts as a
  // reprint and is not uploaded). Timed from the last byte written.
  const std::vector<tillcast::test::TillReceipt> corpus = tillcast::test::SaleCorpus();
  std::vector<double> sale;
  for (int i = 0; i < 8; ++i) {
    if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(5300));
    const size_t before = shop.Uploads().size();
    if (!shop.WriteTillWrites(corpus[static_cast<size_t>(i) % corpus.size()].writes)) break;
    const auto t0 = Clock::now();
    if (!Poll([&] { return shop.Uploads().size() > before; }, 10000)) break;
    sale.push_back(Ms(Clock::now() - t0));
  }

  // Cloud jobs, one at a time.
  std::vector<double> job;
  for (int i = 0; i < 50; ++i) {
    const size_t before = shop.Printed().size();
    const auto t0 = Clock::now();
    if (!shop.PushRaw("\x1b@BENCH " + std::to_string(i) + "\n\x1dV\x01", "bench-" + std::to_string(i))) break;
    if (!Poll([&] { return shop.Printed().size() > before; }, 10000)) break;
    job.push_back(Ms(Clock::now() - t0));
  }

  // A bare Redis round trip on the same server.
  std::vector<double> ping;
  {
    const std::string port = shop.RedisPort();
    timeval tv{2, 0};
    redisContext* c = redisConnectWithTimeout("127.0.0.1", std::atoi(port.c_str()), tv);
    for (int i = 0; c != nullptr && !c->err && i < 200; ++i) {
      const auto t0 = Clock::now();
      void* r = redisCommand(c, "PING");
      ping.push_back(Ms(Clock::now() - t0));
      freeReplyObject(r);
    }
    if (c != nullptr) redisFree(c);
  }

  // 1,000 jobs in a row, then the agent's memory.
  std::vector<std::string> many;
  for (int i = 0; i < 1000; ++i) many.push_back("\x1b@MANY " + std::to_string(i) + "\n\x1dV\x01");
  const size_t base = shop.Printed().size();
  const auto t_many = Clock::now();
  const bool pushed = shop.PushRawMany(many);
  const bool all = pushed && Poll([&] { return shop.Printed().size() >= base + many.size(); }, 240000);
  const double many_ms = Ms(Clock::now() - t_many);
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const long rss_after = RssKb(shop.agent()->pid());

  std::printf("| figure | p50 | p99 | samples |\n|---|---|---|---|\n");
  std::printf(
      "| sale receipt in till writes: last byte at the till port -> upload stored (ms; 300 ms quiet rule is "
      "the floor, p50 %.2fx of it) | %.0f | %.0f | %zu |\n",
      bench::Percentile(sale, 0.5) / 300.0, bench::Percentile(sale, 0.5), bench::Percentile(sale, 0.99), sale.size());
  std::printf("| cloud job: LPUSH -> document written by the virtual printer (ms) | %.1f | %.1f | %zu |\n",
              bench::Percentile(job, 0.5), bench::Percentile(job, 0.99), job.size());
  std::printf("| bare Redis round trip, PING (ms) | %.3f | %.3f | %zu |\n", bench::Percentile(ping, 0.5),
              bench::Percentile(ping, 0.99), ping.size());
  std::printf("| 1,000 jobs in a row, all printed (s) | %.1f%s | | 1000 |\n", many_ms / 1000.0,
              all ? "" : " (not all printed)");
  std::printf("| agent resident memory, idle (MiB) | %.1f | | |\n", static_cast<double>(rss_idle) / 1024.0);
  std::printf("| agent resident memory, after 1,000 more jobs (MiB) | %.1f | | |\n",
              static_cast<double>(rss_after) / 1024.0);
  return 0;
}
