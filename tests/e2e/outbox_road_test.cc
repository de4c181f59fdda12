// Nothing lost on the sale road when the cloud or the agent fails: a cloud
// that is away, stalls or refuses, and an agent that is killed. Every wait
// of the agent is short here ([outbox] retry_ms), so no outage of a test
// lasts longer than its own steps.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "sale_road.h"
#include "shop.h"
#include "support/subprocess.h"

namespace tillcast::test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

size_t FilesIn(const std::string& folder, const std::string& ext) {
  size_t n = 0;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(folder, ec)) n += e.path().extension() == ext;
  return n;
}

std::string CaptureFile(const Shop& shop) {
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(shop.DataFolder(), ec))
    if (e.path().filename().string().rfind("parallel", 0) == 0) return e.path().string();
  return {};
}

class OutboxRoad : public ::testing::Test {
 protected:
  void StartShop() {
    shop_.SetCloudData(SaleRoadCloudData());
    shop_.AddSettings("[outbox]\nretry_ms=300\nretry_max_ms=600\n");
    ASSERT_TRUE(shop_.StartReady());
  }
  std::string Outbox() const { return shop_.DataFolder() + "/outbox"; }
  std::string Rejected() const { return shop_.DataFolder() + "/rejected"; }

  Shop shop_;
};

TEST_F(OutboxRoad, SalesWhileTheCloudIsAwayAllArriveOnceInOrderWhenItIsBack) {
  ASSERT_NO_FATAL_FAILURE(StartShop());
  shop_.StopCloud();
  std::vector<std::string> sales;
  for (int i = 0; i < 3; ++i) {
    const auto started = Clock::now();
    const TillReceipt sale = Sale("R500" + std::to_string(i), i == 1 ? 48 : 0);
    const size_t handled = CapturesHandled(shop_);
    ASSERT_TRUE(shop_.WriteTillWrites(sale.writes));
    sales.push_back(sale.bytes);
    ASSERT_TRUE(WaitUntil([&] { return CapturesHandled(shop_) > handled; }, 15000)) << shop_.AgentLog();
    // More than 5 s apart: each sale is a sale of its own, with its own
    // additional receipt, also while the cloud is away.
    if (i < 2) std::this_thread::sleep_until(started + std::chrono::milliseconds(6000));
  }
  ASSERT_TRUE(WaitUntil([&] { return FilesIn(Outbox(), ".upl") == 3; }, 10000)) << shop_.AgentLog();
  EXPECT_TRUE(shop_.Uploads().empty());
  EXPECT_TRUE(WaitUntil([&] { return Extras(shop_, sales).size() == 3; }, 10000));
  EXPECT_TRUE(CaptureFile(shop_).empty()) << "a capture file was kept beside its outbox entry";

  std::string why;
  ASSERT_TRUE(shop_.StartCloud(&why)) << why;
  ASSERT_TRUE(WaitUntil([&] { return shop_.Uploads().size() >= 3; }, 10000)) << shop_.AgentLog();
  std::this_thread::sleep_for(std::chrono::milliseconds(800));  // a retry too many would come now
  const auto uploads = shop_.Uploads();
  ASSERT_EQ(uploads.size(), 3u);
  for (size_t i = 0; i < 3; ++i) EXPECT_TRUE(ReadFile(uploads[i]) == sales[i]) << "upload " << i << " out of order";
  EXPECT_EQ(FilesIn(Outbox(), ".upl"), 0u);
  EXPECT_EQ(Extras(shop_, sales).size(), 3u) << "an upload that was retried printed its additional receipt again";
}

TEST_F(OutboxRoad, AStalledCloudKeepsTheReceiptAndQuittingStaysQuick) {
  ASSERT_NO_FATAL_FAILURE(StartShop());
  ASSERT_TRUE(shop_.SetUploadFault("stall"));
  const TillReceipt sale = Sale("R6001");
  const size_t handled = CapturesHandled(shop_);
  ASSERT_TRUE(shop_.WriteTillWrites(sale.writes));
  ASSERT_TRUE(WaitUntil([&] { return CapturesHandled(shop_) > handled; }, 15000));
  ASSERT_TRUE(WaitUntil([&] { return FilesIn(Outbox(), ".upl") == 1; }, 10000));
  ASSERT_TRUE(WaitUntil([&] { return Extras(shop_, {sale.bytes}).size() == 1; }, 10000));
  // The upload is in flight against a cloud that never answers.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const auto t0 = Clock::now();
  shop_.agent()->Signal(SIGTERM);
  ASSERT_TRUE(shop_.agent()->Wait(10000));
  const auto took = Clock::now() - t0;
  EXPECT_LT(took, std::chrono::seconds(5))
      << "quitting took " << std::chrono::duration_cast<std::chrono::milliseconds>(took).count() << " ms";
  EXPECT_EQ(shop_.agent()->exit_code(), 0);
  EXPECT_EQ(FilesIn(Outbox(), ".upl"), 1u) << "the receipt was not kept";

  ASSERT_TRUE(shop_.SetUploadFault("none"));
  shop_.StartAgent();
  ASSERT_TRUE(WaitUntil([&] { return shop_.Uploads().size() == 1; }, 15000)) << shop_.AgentLog();
  EXPECT_TRUE(ReadFile(shop_.Uploads()[0]) == sale.bytes);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(Extras(shop_, {sale.bytes}).size(), 1u) << "the restart printed the additional receipt again";
}

TEST_F(OutboxRoad, AnUploadTheCloudRefusesForGoodIsSetAsideNotRetried) {
  ASSERT_NO_FATAL_FAILURE(StartShop());
  ASSERT_TRUE(shop_.SetUploadFault("413"));
  const TillReceipt sale = Sale("R7001");
  ASSERT_TRUE(shop_.WriteTillWrites(sale.writes));
  ASSERT_TRUE(WaitUntil([&] { return FilesIn(Rejected(), ".upl") == 1; }, 15000)) << shop_.AgentLog();
  EXPECT_EQ(FilesIn(Outbox(), ".upl"), 0u);
  EXPECT_EQ(FilesIn(Rejected(), ".why"), 1u);
  EXPECT_TRUE(
      WaitUntil([&] { return shop_.AgentLog().find("rejected (the cloud answered 413)") != std::string::npos; }, 5000));
  // Later sales go on as usual.
  ASSERT_TRUE(shop_.SetUploadFault("none"));
  std::this_thread::sleep_for(std::chrono::milliseconds(5200));
  const TillReceipt next = Sale("R7002");
  ASSERT_TRUE(shop_.WriteTillWrites(next.writes));
  ASSERT_TRUE(WaitUntil([&] { return shop_.Uploads().size() == 1; }, 15000)) << shop_.AgentLog();
  EXPECT_TRUE(ReadFile(shop_.Uploads()[0]) == next.bytes);
  EXPECT_EQ(FilesIn(Rejected(), ".upl"), 1u);
}

TEST_F(OutboxRoad, ACaptureLeftByAKilledAgentIsUploadedAfterTheRestartWithoutAnotherReceipt) {
  ASSERT_NO_FATAL_FAILURE(StartShop());
  const TillReceipt sale = Sale("R8001", 24);
  ASSERT_TRUE(shop_.WriteTill(sale.bytes));
  // Killed while the capture file is complete but before the quiet time
  // hands it over.
  ASSERT_TRUE(WaitUntil(
      [&] {
        const std::string f = CaptureFile(shop_);
        return !f.empty() && ReadFile(f).size() == sale.bytes.size();
      },
      10000));
  shop_.StopAgent(SIGKILL);
  const std::string left = CaptureFile(shop_);
  const size_t extras_before = Extras(shop_, {sale.bytes}).size();
  shop_.StartAgent();
  ASSERT_TRUE(WaitUntil([&] { return shop_.Uploads().size() == 1; }, 20000)) << shop_.AgentLog();
  EXPECT_TRUE(ReadFile(shop_.Uploads()[0]) == sale.bytes);
  EXPECT_TRUE(WaitUntil([&] { return CaptureFile(shop_).empty(); }, 5000));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(Extras(shop_, {sale.bytes}).size(), extras_before) << "a late additional receipt was printed";
  if (!left.empty()) {
    EXPECT_NE(shop_.AgentLog().find("was left by an earlier run: uploaded without an additional receipt"),
              std::string::npos);
  }
}

}  // namespace
}  // namespace tillcast::test
