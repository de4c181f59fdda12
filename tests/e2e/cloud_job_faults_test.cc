// Cloud jobs through the faults of a real shop: the printer switched off or
// pulled out, the agent killed, Redis killed, a job that kills the agent,
// cloud payloads of many megabytes. No job is lost; every wait is shortened
// by setting.ini so no outage here lasts over 3 s.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <string>
#include <vector>

#include "shop.h"

namespace tillcast::test {
namespace {

constexpr char kJobs[] = "print_jobs:dev-0001";
constexpr char kProcessing[] = "{print_jobs:dev-0001}:processing";
constexpr char kDead[] = "{print_jobs:dev-0001}:dead";

// Opens 100 ms apart three times, then one open every 200 ms while held; a
// serial printer has 300 ms to answer its status.
constexpr char kFastPrinter[] =
    "[printer]\nopen_attempts=3\nhold_retry_ms=200\nhold_seconds=600\nstatus_timeout_ms=300\n";

// The job number each printed document carries, in order of printing; -1
// for a document without one.
std::vector<int> PrintedNumbers(const Shop& shop) {
  std::vector<int> out;
  for (const PrintedDoc& doc : shop.Printed()) {
    const std::string bytes = doc.Bytes();
    const size_t at = bytes.rfind("JOB ");
    out.push_back(at == std::string::npos ? -1 : std::atoi(bytes.c_str() + at + 4));
  }
  return out;
}

// Every job 0..count-1 printed, in order; a job printed twice only right
// after itself (a duplicate beside a kill), at most `duplicates` times.
void ExpectEachInOrder(const std::vector<int>& printed, int count, size_t duplicates) {
  std::vector<int> distinct;
  size_t repeats = 0;
  for (int n : printed) {
    if (!distinct.empty() && distinct.back() == n) {
      ++repeats;
      continue;
    }
    distinct.push_back(n);
  }
  std::string seen;
  for (int n : printed) seen += std::to_string(n) + " ";
  for (int i = 0; i < count; ++i) {
    if (static_cast<int>(distinct.size()) <= i || distinct[i] != i) {
      ADD_FAILURE() << "job " << i << " missing or out of order; printed: " << seen;
      return;
    }
  }
  EXPECT_EQ(distinct.size(), static_cast<size_t>(count)) << seen;
  EXPECT_LE(repeats, duplicates) << seen;
}

// "打印完成" in GBK: one job reached the printer.
constexpr char kPrintedLine[] = "\xb4\xf2\xd3\xa1\xcd\xea\xb3\xc9";

bool WaitHeld(const Shop& shop, size_t times = 1) {
  return WaitUntil([&] { return Count(shop.AgentLog(), "waits for the printer") >= times; }, 15000);
}

// Starts `shop` with short printer waits and pulls the printer out while
// three jobs arrive: the first waits for it, the others behind it. The
// jobs, or none when that did not happen.
std::vector<std::string> HoldThreeJobs(Shop& shop) {
  shop.AddSettings(kFastPrinter);
  if (const auto up = shop.StartReady(); !up) {
    ADD_FAILURE() << up.message();
    return {};
  }
  shop.StopPrinter();
  const std::vector<std::string> jobs = NumberedJobs(0, 3);
  if (!shop.PushRawMany(jobs) || !WaitHeld(shop)) {
    ADD_FAILURE() << "no job waits for the printer; log:\n" << shop.AgentLog();
    return {};
  }
  return jobs;
}

TEST(CloudJobFaults, PrinterPulledOutWhileThreeJobsArriveAllPrintInOrderWhenItIsBack) {
  Shop shop;
  const std::vector<std::string> jobs = HoldThreeJobs(shop);
  ASSERT_EQ(jobs.size(), 3u);
  const auto away = std::chrono::steady_clock::now();
  // The other two wait on the job list behind the held one.
  EXPECT_EQ(shop.Redis({"LLEN", kJobs}), "2");
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  std::string why;
  ASSERT_TRUE(shop.StartPrinter(&why)) << why;
  EXPECT_LT(std::chrono::steady_clock::now() - away, std::chrono::seconds(3));
  ASSERT_TRUE(WaitUntil([&] { return shop.Printed().size() >= 3; }, 15000)) << shop.AgentLog();
  const auto docs = shop.Printed();
  ASSERT_EQ(docs.size(), 3u);
  for (size_t i = 0; i < 3; ++i) EXPECT_EQ(docs[i].Bytes(), jobs[i]) << i;
  EXPECT_EQ(shop.Redis({"LLEN", kProcessing}), "0");
}

TEST(CloudJobFaults, SerialPrinterThatStopsAnsweringIsHeldThenPrinted) {
  Shop shop;
  shop.AddSettings(kFastPrinter);
  shop.UseSerialPrinter();
  ASSERT_TRUE(shop.StartReady());
  const std::vector<std::string> jobs = NumberedJobs(0, 2);
  ASSERT_TRUE(shop.PushRaw(jobs[0], "s0"));
  ASSERT_TRUE(WaitUntil([&] { return shop.Printed().size() == 1; }, 15000)) << shop.AgentLog();

  // Switched off: the serial port still opens, but nothing answers.
  shop.PausePrinter();
  ASSERT_TRUE(shop.PushRaw(jobs[1], "s1"));
  ASSERT_TRUE(WaitHeld(shop)) << shop.AgentLog();
  EXPECT_TRUE(shop.AgentLog().find("does not answer its status request within 300 ms") != std::string::npos);
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  shop.ResumePrinter();
  ASSERT_TRUE(WaitUntil([&] { return shop.Printed().size() == 2; }, 15000)) << shop.AgentLog();
  // The status questions go before each document; the job's bytes follow.
  const std::string second = shop.Printed()[1].Bytes();
  EXPECT_EQ(second.substr(second.size() - jobs[1].size()), jobs[1]);
}

TEST(CloudJobFaults, NotifyIsServedWhileAJobWaitsForThePrinter) {
  Shop shop;
  shop.AddSettings(kFastPrinter);
  ASSERT_TRUE(shop.StartReady());
  shop.StopPrinter();
  ASSERT_TRUE(shop.PushRaw(NumberedJobs(0, 1)[0], "held"));
  ASSERT_TRUE(WaitHeld(shop)) << shop.AgentLog();
  ASSERT_TRUE(shop.PushNotify("template changed"));
  // "追打小票数据更改：" in GBK.
  const std::string notified = "\xd7\xb7\xb4\xf2\xd0\xa1\xc6\xb1\xca\xfd\xbe\xdd\xb8\xfc\xb8\xc4\xa3\xba";
  ASSERT_TRUE(WaitUntil([&] { return shop.AgentLog().find(notified) != std::string::npos; }, 5000)) << shop.AgentLog();
  EXPECT_TRUE(shop.Printed().empty());
  std::string why;
  ASSERT_TRUE(shop.StartPrinter(&why)) << why;
  ASSERT_TRUE(WaitUntil([&] { return shop.Printed().size() == 1; }, 15000)) << shop.AgentLog();
}

TEST(CloudJobFaults, AgentKilledInTheMiddleOf200JobsPrintsEachAtLeastOnceInOrder) {
  Shop shop;
  ASSERT_TRUE(shop.StartReady());
  ASSERT_TRUE(shop.PushRawMany(NumberedJobs(0, 200)));
  // Killed as soon as a few have gone out; the printer's documents lag.
  ASSERT_TRUE(WaitUntil([&] { return Count(shop.AgentLog(), kPrintedLine) >= 5; }, 30000));
  shop.KillAgent();
  const int left = std::atoi(shop.Redis({"LLEN", kJobs}).c_str());
  EXPECT_GT(left, 0) << "all printed before the kill: the test proves nothing";
  shop.StartAgent();
  ASSERT_TRUE(WaitUntil(
      [&] {
        return shop.Redis({"LLEN", kJobs}) == "0" && shop.Redis({"LLEN", kProcessing}) == "0";
      },
      40000))
      << shop.AgentLog().substr(0, 2000);
  ASSERT_TRUE(WaitUntil([&] { return shop.Printed().size() >= 200; }, 20000)) << shop.Printed().size();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  ExpectEachInOrder(PrintedNumbers(shop), 200, 1);
}

TEST(CloudJobFaults, RedisKilledDuringARunAndRestartedLosesNone) {
  Shop shop;
  ASSERT_TRUE(shop.StartReady(/*redis_aof=*/true));
  ASSERT_TRUE(shop.PushRawMany(NumberedJobs(0, 200)));
  ASSERT_TRUE(WaitUntil([&] { return Count(shop.AgentLog(), kPrintedLine) >= 5; }, 30000));
  std::string why;
  ASSERT_TRUE(shop.KillAndRestartRedis(&why)) << why;
  EXPECT_GT(std::atoi(shop.Redis({"LLEN", kJobs}).c_str()), 0)
      << "all printed before the kill: the test proves nothing";
  ASSERT_TRUE(WaitUntil([&] { return shop.Printed().size() >= 200; }, 40000)) << shop.Printed().size();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  // The journal is written before every answer: the kill loses nothing,
  // and a job printed but not yet removed is removed, not printed again.
  ExpectEachInOrder(PrintedNumbers(shop), 200, 0);
}

TEST(CloudJobFaults, AJobThatKillsTheAgentTwiceGoesToTheDeadList) {
  Shop shop;
  shop.AddSettings(kFastPrinter);
  ASSERT_TRUE(shop.StartReady());
  // Paused, the printer takes no more bytes: printing the big job blocks,
  // and the agent is killed in it, twice, as a job that crashed it would.
  shop.PausePrinter();
  const std::string poison(1 << 20, 'P');
  ASSERT_TRUE(shop.PushRaw(poison, "poison"));
  // "开始打印一条数据" in GBK: the print has begun.
  const std::string printing = "\xbf\xaa\xca\xbc\xb4\xf2\xd3\xa1\xd2\xbb\xcc\xf5\xca\xfd\xbe\xdd";
  for (size_t tries = 1; tries <= 2; ++tries) {
    ASSERT_TRUE(WaitUntil([&] { return Count(shop.AgentLog(), printing) == tries; }, 20000)) << tries;
    shop.KillAgent();
    shop.StartAgent();
  }
  ASSERT_TRUE(WaitUntil([&] { return shop.Redis({"LLEN", kDead}) == "1"; }, 20000)) << shop.AgentLog();
  EXPECT_EQ(Count(shop.AgentLog(), "[ERROR]: cloud job poison moved to {print_jobs:dev-0001}:dead"), 1u);
  EXPECT_EQ(shop.Redis({"LLEN", kProcessing}), "0");
  EXPECT_EQ(Count(shop.AgentLog(), printing), 2u);

  // The agent goes on with the next job.
  shop.ResumePrinter();
  ASSERT_TRUE(shop.PushRaw(NumberedJobs(7, 1)[0], "next"));
  ASSERT_TRUE(WaitUntil(
      [&] {
        const auto docs = shop.Printed();
        return !docs.empty() && docs.back().Bytes().find("JOB 007") != std::string::npos;
      },
      15000))
      << shop.AgentLog();
}

TEST(CloudJobFaults, ShutdownWhileAJobWaitsKeepsItAndEndsWithinFiveSeconds) {
  Shop shop;
  const std::vector<std::string> jobs = HoldThreeJobs(shop);
  ASSERT_EQ(jobs.size(), 3u);
  const auto asked = std::chrono::steady_clock::now();
  shop.agent()->Signal(SIGTERM);
  ASSERT_TRUE(shop.agent()->Wait(5000));
  EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(5));
  EXPECT_EQ(shop.agent()->exit_code(), 0);
  EXPECT_EQ(shop.Redis({"LLEN", kProcessing}), "1");
  EXPECT_EQ(shop.Redis({"LLEN", kJobs}), "2");

  std::string why;
  ASSERT_TRUE(shop.StartPrinter(&why)) << why;
  shop.StartAgent();
  ASSERT_TRUE(WaitUntil([&] { return shop.Printed().size() >= 3; }, 20000)) << shop.AgentLog();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const auto docs = shop.Printed();
  ASSERT_EQ(docs.size(), 3u);
  for (size_t i = 0; i < 3; ++i) EXPECT_EQ(docs[i].Bytes(), jobs[i]) << i;
}

TEST(CloudJobFaults, PayloadsOfManyMegabytesLeaveTheLogShort) {
  constexpr size_t kBytes = kUnderSanitizer ? 2 << 20 : 12 << 20;
  Shop shop;
  ASSERT_TRUE(shop.StartReady());
  const size_t before = shop.AgentLog().size();
  std::string job = "\x1b@BIG ";
  job += std::string(kBytes, 'b');
  job += "\n\x1dV\x01";
  ASSERT_TRUE(shop.PushRaw(job, std::string(kBytes / 4, 'i')));
  ASSERT_TRUE(shop.PushNotify(std::string(kBytes, 'n')));
  ASSERT_TRUE(shop.Redis({"RPUSH", kJobs, std::string(kBytes, '[')}) == "1");
  ASSERT_TRUE(WaitUntil([&] { return shop.Printed().size() == 1; }, 60000)) << shop.AgentLog().substr(before, 4000);
  ASSERT_TRUE(WaitUntil(
      [&] {
        return shop.Redis({"LLEN", kJobs}) == "0" && shop.Redis({"LLEN", kProcessing}) == "0";
      },
      30000));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(shop.Printed()[0].Bytes().size(), job.size());
  const std::string added = shop.AgentLog().substr(before);
  EXPECT_LT(added.size(), 32u * 1024) << added.substr(0, 4000);
}

}  // namespace
}  // namespace tillcast::test
