// A till that prints to a network receipt printer, pointed at the capture
// driver's network port instead: its sales reach the printer unchanged,
// are uploaded byte for byte, and the additional receipt comes out of the
// same network printer through the printer library's network port.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <chrono>
#include <thread>

#include "sale_road.h"
#include "shop.h"
#include "support/subprocess.h"
#include "support/till_corpus.h"

namespace tillcast::test {
namespace {

// The sale road's store with the till and the agent on the network printer,
// bound and connected.
class NetworkTillRoad : public ::testing::Test {
 protected:
  void SetUp() override {
    shop_.UseNetworkPrinter();
    shop_.SetCloudData(SaleRoadCloudData());
    ASSERT_TRUE(shop_.StartReady());
  }

  Shop shop_;
};

TEST_F(NetworkTillRoad, SaleInSmallWritesOverOneConnectionIsPrintedUploadedAndBringsItsAdditionalReceipt) {
  const TillReceipt sale = Sale("R6001", 96);
  ASSERT_TRUE(shop_.WriteTillWrites(sale.writes, 200)) << "the driver did not end the till's connection";
  ASSERT_TRUE(shop_.WaitPrinted(sale.bytes, 10000)) << "the till's bytes did not reach the printer unchanged";
  ASSERT_TRUE(WaitUntil([&] { return !shop_.Uploads().empty(); }, 15000)) << shop_.AgentLog();
  ASSERT_EQ(shop_.Uploads().size(), 1u);
  EXPECT_TRUE(ReadFile(shop_.Uploads()[0]) == sale.bytes) << "the upload is not what the till sent";

  ASSERT_TRUE(WaitUntil([&] { return Extras(shop_, {sale.bytes}).size() == 1; }, 15000))
      << "no additional receipt on the network printer; log:\n"
      << shop_.AgentLog();
  const std::string text = Extras(shop_, {sale.bytes})[0].Text();
  EXPECT_NE(text.find("R6001"), std::string::npos) << text;
}

// POS software that keeps its printer connection open prints two sales on
// it with a pause between them longer than the agent's quiet time (and its
// five-second rule for reprints): two receipts, two uploads.
TEST_F(NetworkTillRoad, ConnectionIdleBetweenTwoSalesGivesTwoUploads) {
  platform::ScopedFd till = shop_.ConnectTill();
  ASSERT_TRUE(till.valid());
  const TillReceipt first = Sale("R6101"), second = Sale("R6102", 48);
  ASSERT_TRUE(WriteLikeATill(till.get(), first.writes));
  const auto first_at = std::chrono::steady_clock::now();
  ASSERT_TRUE(shop_.WaitPrinted(first.bytes, 10000));
  ASSERT_TRUE(WaitUntil([&] { return shop_.Uploads().size() == 1; }, 10000)) << shop_.AgentLog();
  std::this_thread::sleep_until(first_at + std::chrono::milliseconds(5500));
  ASSERT_TRUE(WriteLikeATill(till.get(), second.writes)) << "the idle connection was closed";
  ASSERT_TRUE(shop_.WaitPrinted(second.bytes, 10000));
  ASSERT_TRUE(WaitUntil([&] { return shop_.Uploads().size() == 2; }, 10000)) << shop_.AgentLog();
  const auto uploads = shop_.Uploads();
  EXPECT_TRUE(ReadFile(uploads[0]) == first.bytes);
  EXPECT_TRUE(ReadFile(uploads[1]) == second.bytes);

  // The printer serves one connection at a time: the additional receipts
  // wait for the till's connection to end, then both come out.
  ::shutdown(till.get(), SHUT_WR);
  EXPECT_TRUE(Shop::WaitConnectionEnd(till.get(), 10000));
  ASSERT_TRUE(WaitUntil(
      [&] {
        return Extras(shop_, {first.bytes, second.bytes}).size() == 2;
      },
      15000))
      << shop_.AgentLog();
  const auto extras = Extras(shop_, {first.bytes, second.bytes});
  EXPECT_NE(extras[0].Text().find("R6101"), std::string::npos) << extras[0].Text();
  EXPECT_NE(extras[1].Text().find("R6102"), std::string::npos) << extras[1].Text();
}

}  // namespace
}  // namespace tillcast::test
