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

TEST(NetworkTillRoad, SaleInSmallWritesOverOneConnectionIsPrintedUploadedAndBringsItsAdditionalReceipt) {
  Shop shop;
  shop.UseNetworkPrinter();
  shop.SetCloudData(SaleRoadCloudData());
  std::string why;
  ASSERT_TRUE(shop.Start(&why)) << why;
  ASSERT_TRUE(shop.WaitReady(20000)) << "agent not bound/connected; log:\n" << shop.AgentLog();

  const TillReceipt sale = Sale("R6001", 96);
  ASSERT_TRUE(shop.WriteTillWrites(sale.writes, 200)) << "the driver did not end the till's connection";
  ASSERT_TRUE(shop.WaitPrinted(sale.bytes, 10000)) << "the till's bytes did not reach the printer unchanged";
  ASSERT_TRUE(WaitUntil([&] { return !shop.Uploads().empty(); }, 15000)) << shop.AgentLog();
  ASSERT_EQ(shop.Uploads().size(), 1u);
  EXPECT_TRUE(ReadFile(shop.Uploads()[0]) == sale.bytes) << "the upload is not what the till sent";

  ASSERT_TRUE(WaitUntil([&] { return Extras(shop, {sale.bytes}).size() == 1; }, 15000))
      << "no additional receipt on the network printer; log:\n"
      << shop.AgentLog();
  const std::string text = Extras(shop, {sale.bytes})[0].Text();
  EXPECT_NE(text.find("R6001"), std::string::npos) << text;
}

// POS software that keeps its printer connection open prints two sales on
// it with a pause between them longer than the agent's quiet time (and its
// five-second rule for reprints): two receipts, two uploads.
TEST(NetworkTillRoad, ConnectionIdleBetweenTwoSalesGivesTwoUploads) {
  Shop shop;
  shop.UseNetworkPrinter();
  shop.SetCloudData(SaleRoadCloudData());
  std::string why;
  ASSERT_TRUE(shop.Start(&why)) << why;
  ASSERT_TRUE(shop.WaitReady(20000)) << "agent not bound/connected; log:\n" << shop.AgentLog();

  platform::ScopedFd till = shop.ConnectTill();
  ASSERT_TRUE(till.valid());
  const TillReceipt first = Sale("R6101"), second = Sale("R6102", 48);
  ASSERT_TRUE(WriteLikeATill(till.get(), first.writes));
  const auto first_at = std::chrono::steady_clock::now();
  ASSERT_TRUE(shop.WaitPrinted(first.bytes, 10000));
  ASSERT_TRUE(WaitUntil([&] { return shop.Uploads().size() == 1; }, 10000)) << shop.AgentLog();
  std::this_thread::sleep_until(first_at + std::chrono::milliseconds(5500));
  ASSERT_TRUE(WriteLikeATill(till.get(), second.writes)) << "the idle connection was closed";
  ASSERT_TRUE(shop.WaitPrinted(second.bytes, 10000));
  ASSERT_TRUE(WaitUntil([&] { return shop.Uploads().size() == 2; }, 10000)) << shop.AgentLog();
  const auto uploads = shop.Uploads();
  EXPECT_TRUE(ReadFile(uploads[0]) == first.bytes);
  EXPECT_TRUE(ReadFile(uploads[1]) == second.bytes);

  // The printer serves one connection at a time: the additional receipts
  // wait for the till's connection to end, then both come out.
  ::shutdown(till.get(), SHUT_WR);
  EXPECT_TRUE(Shop::WaitConnectionEnd(till.get(), 10000));
  ASSERT_TRUE(WaitUntil(
      [&] {
        return Extras(shop, {first.bytes, second.bytes}).size() == 2;
      },
      15000))
      << shop.AgentLog();
  const auto extras = Extras(shop, {first.bytes, second.bytes});
  EXPECT_NE(extras[0].Text().find("R6101"), std::string::npos) << extras[0].Text();
  EXPECT_NE(extras[1].Text().find("R6102"), std::string::npos) << extras[1].Text();
}

}  // namespace
}  // namespace tillcast::test
