// The road of one cloud job: a raw job on the device's Redis list comes out
// of the printer byte for byte, in order, across a Redis restart.
#include <gtest/gtest.h>

#include <cstdio>

#include "shop.h"

namespace tillcast::test {
namespace {

std::string Describe(const std::vector<PrintedDoc>& docs) {
  std::string s = std::to_string(docs.size()) + " documents";
  if (!docs.empty()) s += ", last " + docs.back().base;
  return s;
}

TEST(CloudJobRoad, RawJobReachesThePrinterUnchanged) {
  Shop shop;
  ASSERT_TRUE(shop.StartReady());

  // Chinese text, size and bold, a small raster picture with every byte
  // value a picture can hold, feeds and a cut.
  std::string job = "\x1b@\x1c&\x1d!\x11";
  job += "\xd4\xc6\xb4\xf2\xd3\xa1 E2E\n";  // 云打印 in GBK
  job += std::string("\x1d!\x00\x1b\x45\x01", 6) + "bold\n" + std::string("\x1b\x45\x00", 3);
  job += std::string("\x1dv0\x00\x02\x00\x04\x00", 8);
  for (int i = 0; i < 8; ++i) job += static_cast<char>(i * 37 + 1);
  job += "\n\n\x1dV\x01";
  ASSERT_TRUE(shop.PushRaw(job, "e2e-exact"));

  ASSERT_TRUE(WaitUntil([&] { return !shop.Printed().empty(); }, 15000)) << "nothing printed; log:\n"
                                                                         << shop.AgentLog();
  const auto docs = shop.Printed();
  ASSERT_EQ(docs.size(), 1u);
  EXPECT_EQ(docs[0].Bytes(), job);
  EXPECT_NE(docs[0].Text().find("E2E"), std::string::npos);
}

// Every job printed once, in order: names the first document that differs.
void ExpectPrintedInOrder(Shop& shop, const std::vector<std::string>& jobs, int timeout_ms) {
  WaitUntil([&] { return shop.Printed().size() >= jobs.size(); }, timeout_ms);
  const auto docs = shop.Printed();
  for (size_t i = 0; i < docs.size() && i < jobs.size(); ++i) {
    if (docs[i].Bytes() != jobs[i]) {
      ADD_FAILURE() << "document " << i << " (" << docs[i].base << ") holds \"" << docs[i].Bytes() << "\", want \""
                    << jobs[i] << "\"";
      break;
    }
  }
  EXPECT_EQ(docs.size(), jobs.size()) << Describe(docs);
}

TEST(CloudJobRoad, TwoHundredJobsInOrderAcrossARedisRestart) {
  Shop shop;
  ASSERT_TRUE(shop.StartReady(/*redis_aof=*/true));

  std::vector<std::string> jobs = NumberedJobs(0, 100);
  ASSERT_TRUE(shop.PushRawMany(jobs));
  ASSERT_TRUE(WaitUntil([&] { return shop.Printed().size() >= 100; }, 20000)) << Describe(shop.Printed());

  // The server goes away under the agent's waiting pop and comes back.
  std::string why;
  ASSERT_TRUE(shop.RestartRedis(&why)) << why;
  const std::vector<std::string> rest = NumberedJobs(100, 100);
  ASSERT_TRUE(shop.PushRawMany(rest));
  jobs.insert(jobs.end(), rest.begin(), rest.end());
  ExpectPrintedInOrder(shop, jobs, 25000);
}

// Redis going down while jobs are still queued: a job whose reply the
// shutdown swallows is still in the processing list and printed after it.
TEST(CloudJobRoad, RedisRestartWhileJobsAreQueuedLosesNone) {
  Shop shop;
  ASSERT_TRUE(shop.StartReady(/*redis_aof=*/true));
  const std::vector<std::string> jobs = NumberedJobs(0, 200);
  ASSERT_TRUE(shop.PushRawMany(jobs));
  ASSERT_TRUE(WaitUntil([&] { return shop.Printed().size() >= 20; }, 20000)) << Describe(shop.Printed());
  std::string why;
  ASSERT_TRUE(shop.RestartRedis(&why)) << why;
  ExpectPrintedInOrder(shop, jobs, 25000);
}

}  // namespace
}  // namespace tillcast::test
