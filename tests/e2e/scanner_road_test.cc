// The scanner road: a receipt number typed as fast as a scanner types it is
// taken away from the applications, sent to the order service, and the
// receipt comes back as a job and is printed. Keys come through the agent's
// pipe-fed keyboard; the uinput tests of the scanner module cover the real
// devices where /dev/uinput exists.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "shop.h"

namespace tillcast::test {
namespace {

TEST(ScannerRoad, ScannedReceiptNumberIsPrinted) {
  Shop shop;  // the simulator's demo store knows receipt R20240501000000000001
  shop.UseKeyFeed();
  ASSERT_TRUE(shop.StartReady());
  ASSERT_TRUE(WaitUntil([&] { return FileExists(shop.KeyFeed()); }, 10000))
      << "the keyboard filter did not open its key pipe; log:\n"
      << shop.AgentLog();

  ASSERT_TRUE(shop.TypeKeys("R20240501000000000001\n"));
  ASSERT_TRUE(WaitUntil([&] { return !shop.Printed().empty(); }, 15000))
      << "the scanned receipt was not printed; log:\n"
      << shop.AgentLog();
  const auto docs = shop.Printed();
  ASSERT_EQ(docs.size(), 1u);
  EXPECT_NE(docs[0].Text().find("R20240501000000000001"), std::string::npos) << docs[0].Text();
  // A scan is not typing: no key of it reached the applications but the
  // shift in front (passed at once, as a shift may be typing) and releases.
  const std::string out = ReadFile(shop.KeyFeed() + ".out");
  EXPECT_EQ(out.find("pass down 0x5"), std::string::npos) << out;  // R
  EXPECT_EQ(out.find("pass down 0x3"), std::string::npos) << out;  // digits
  EXPECT_EQ(out.find("send "), std::string::npos) << out;          // replays

  // Typing the same keys slowly is typing: every key passes, nothing prints.
  for (char c : std::string("R123")) {
    ASSERT_TRUE(shop.TypeKeys(std::string(1, c)));
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
  }
  ASSERT_TRUE(WaitUntil([&] { return ReadFile(shop.KeyFeed() + ".out").find("0x33") != std::string::npos; }, 5000))
      << "slow typing was not handed on: " << ReadFile(shop.KeyFeed() + ".out");
  EXPECT_EQ(shop.Printed().size(), 1u);
}

}  // namespace
}  // namespace tillcast::test
