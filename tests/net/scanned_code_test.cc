// Scanned codes: which ones name a receipt, what the scanner's diagnostics
// say, and the receipt printed through tillcast-cloudsim.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "net/net_mgr.h"
#include "net/scanned_code.h"
#include "net_fixture.h"
#include "net_test_support.h"

namespace tillcast {
namespace {

using test::Gbk;

TEST(ScannedCodeTest, OnlyReceiptNumbersOfTwentyToTwentyTwoCharactersCount) {
  const struct {
    std::wstring code;
    std::optional<std::string> number;
  } cases[] = {
      {L"", std::nullopt},
      {L"R" + std::wstring(18, L'1'), std::nullopt},                // 19
      {L"R" + std::wstring(19, L'2'), "R" + std::string(19, '2')},  // 20
      {L"R" + std::wstring(20, L'3'), "R" + std::string(20, '3')},  // 21
      {L"R" + std::wstring(21, L'4'), "R" + std::string(21, '4')},  // 22
      {L"R" + std::wstring(22, L'5'), std::nullopt},                // 23
      {L"X" + std::wstring(20, L'6'), std::nullopt},                // not a receipt number
      {L"r" + std::wstring(20, L'7'), std::nullopt},                // the scanner's case is kept
      {L"R2024\u6536\u94f6" + std::wstring(14, L'8'), Gbk("R2024收银") + std::string(14, '8')},  // ANSI bytes
      {L"R" + std::wstring(19, L'9') + wchar_t(0xD800), std::nullopt},                           // not convertible
  };
  for (const auto& c : cases) {
    std::vector<std::string> debug;
    ScannedCode scanned(nullptr, [&](const std::string& text) { debug.push_back(text); });
    const std::optional<std::string> number = scanned.Take(c.code);
    EXPECT_EQ(number, c.number) << c.code.size() << " characters";
    std::vector<std::string> expected = {"Tillcast wnd RECEIVE_BARCODE_MSG authCode="};
    if (c.number) {
      expected.push_back(*c.number);
      expected.push_back("\r\n");
    }
    EXPECT_EQ(debug, expected);
  }
}

TEST(ScannedCodeTest, WithoutADiagnosticsSinkCodesAreStillTaken) {
  ScannedCode scanned(nullptr, nullptr);
  EXPECT_EQ(scanned.Take(L"R" + std::wstring(20, L'1')), "R" + std::string(20, '1'));
}

class ScannedCodeCloudTest : public test::CloudSimFixture<5> {
 protected:
  void SetUp() override {
    CloudSimFixture::SetUp();
    if (!HasFatalFailure()) BindDevice(net_);
  }

  NetMgr net_{platform::SystemClock()};
  NetMgrCloud cloud_{&net_};
};

TEST_F(ScannedCodeCloudTest, AScannedReceiptIsQueuedForPrintingAndAnUnknownOneIsNot) {
  ScannedCode scanned(&cloud_, nullptr);
  const std::optional<std::string> unknown = scanned.Take(L"R" + std::wstring(20, L'9'));
  ASSERT_TRUE(unknown);
  EXPECT_FALSE(scanned.PrintReceipt(*unknown));
  EXPECT_EQ(data().GetLastMessage(), Gbk("小票不存在"));
  EXPECT_EQ(redis_.Command(kDb, {"LLEN", "print_jobs:dev-0001"}), "0");

  const std::optional<std::string> known = scanned.Take(L"R20240501000000000001");
  ASSERT_TRUE(known);
  ASSERT_TRUE(scanned.PrintReceipt(*known)) << sim_.LogText();
  EXPECT_EQ(redis_.Command(kDb, {"LLEN", "print_jobs:dev-0001"}), "1");
}

}  // namespace
}  // namespace tillcast
