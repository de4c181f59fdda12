// The capture driver crashes in a working shop: the till keeps its port
// open all day, and the agent's driver service brings the driver back. A
// sale printed through that same descriptor meanwhile reaches the printer
// and is uploaded, and nothing of the shop is left running afterwards.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "platform/process.h"
#include "platform/service_manager.h"
#include "shop.h"
#include "support/subprocess.h"
#include "support/till_corpus.h"

namespace tillcast::test {
namespace {

TEST(DriverRestartRoad, SaleThroughTheSameTillDescriptorAfterADriverCrashIsPrintedAndUploaded) {
  std::string folder;
  int restarted_pid = 0;
  uint64_t restarted_start = 0;
  {
    Shop shop;
    // The agent looks for its driver and its driver service every 200 ms.
    shop.AddSettings("[capture]\ndriver_retry_ms=200\nservice_retry_ms=200\n");
    folder = shop.folder();
    ASSERT_TRUE(shop.StartReady());

    platform::ScopedFd till = shop.OpenTill();
    ASSERT_TRUE(till.valid());
    const TillReceipt first = NumberedSale("R5001");
    ASSERT_TRUE(WriteLikeATill(till.get(), first.writes));
    const auto first_printed = std::chrono::steady_clock::now();
    ASSERT_TRUE(shop.WaitPrinted(first.bytes, 10000));
    ASSERT_TRUE(WaitUntil([&] { return shop.Uploads().size() == 1; }, 10000)) << shop.AgentLog();

    // A second sale within 5 s of the first would be skipped by design.
    std::this_thread::sleep_until(first_printed + std::chrono::milliseconds(5500));
    shop.KillDriver();
    // The till prints at once, while no driver runs, through the same
    // descriptor: the bytes wait in the port for the driver the agent
    // starts again.
    const TillReceipt second = NumberedSale("R5002");
    const auto printed_at = std::chrono::steady_clock::now();
    ASSERT_TRUE(WriteLikeATill(till.get(), second.writes)) << "the till's port failed after the driver crashed";
    ASSERT_TRUE(shop.WaitPrinted(second.bytes, 10000)) << "the sale did not reach the printer unchanged; log:\n"
                                                       << shop.AgentLog();
    ASSERT_TRUE(WaitUntil([&] { return shop.Uploads().size() == 2; }, 10000))
        << "the sale was not uploaded within 10 s; log:\n"
        << shop.AgentLog();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - printed_at).count();
    EXPECT_TRUE(ReadFile(shop.Uploads()[1]) == second.bytes) << "the upload is not what the till wrote";
    const std::string log = shop.AgentLog();
    EXPECT_NE(log.find("capture driver service SerialFilter64 restarted"), std::string::npos) << log;
    EXPECT_NE(log.find("capture driver connection lost"), std::string::npos) << log;
    EXPECT_NE(log.find("capture driver connection back"), std::string::npos) << log;
    std::printf("sale printed during the driver's outage: uploaded %.2f s after the till wrote it\n", seconds);

    // And after the restart, as usual, right away: the sale the driver kept
    // for the agent reached it late, but it is no reprint of the next one.
    EXPECT_NE(log.find("bytes the driver kept while no agent listened"), std::string::npos) << log;
    const TillReceipt third = NumberedSale("R5003");
    ASSERT_TRUE(WriteLikeATill(till.get(), third.writes));
    ASSERT_TRUE(shop.WaitPrinted(third.bytes, 10000));
    ASSERT_TRUE(WaitUntil([&] { return shop.Uploads().size() == 3; }, 10000)) << shop.AgentLog();
    EXPECT_TRUE(ReadFile(shop.Uploads()[2]) == third.bytes);

    // The driver the agent started (its command line names no folder of
    // the shop), to check below that it is gone with the shop.
    platform::PosixServiceManager services(folder + "/services");
    platform::ServiceConfig record;
    ASSERT_TRUE(services.ReadRecord("SerialFilter64", &record, &restarted_pid));
    ASSERT_TRUE(platform::ProcessStartTime(restarted_pid, &restarted_start));
  }
  // The shop is gone: the restarted driver and the port keeper with it.
  EXPECT_TRUE(WaitUntil([&] { return ProcessesMentioning(folder).empty(); }, 5000))
      << ProcessesMentioning(folder).size() << " processes of the shop left behind";
  uint64_t start = 0;
  EXPECT_FALSE(platform::ProcessStartTime(restarted_pid, &start) && start == restarted_start)
      << "the driver the agent restarted still runs";
}

}  // namespace
}  // namespace tillcast::test
