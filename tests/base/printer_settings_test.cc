// The [printer] section of setting.ini: defaults, values, and values that
// are no number of their range.
#include <gtest/gtest.h>

#include "base/printer_settings.h"
#include "base/text_util.h"
#include "support/test_support.h"

namespace tillcast {
namespace {

class PrinterSettingsTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetDataFolderForTest(); }
  void TearDown() override {
    SetPrinterSettings(PrinterSettings());
    ResetDataFolderForTest();
  }
  PrinterSettings Read(const std::string& ini) {
    test::WriteFile(GetDataFolder() + "/setting.ini", ini);
    ReloadPrinterSettings();
    return GetPrinterSettings();
  }
  test::TempDir dir_;
  test::ScopedEnv env_{"XDG_DATA_HOME", dir_.path()};
};

TEST_F(PrinterSettingsTest, DefaultsWithoutTheSection) {
  const PrinterSettings s = Read("[proxy]\nhttp_ip=1.2.3.4\n");
  EXPECT_EQ(s.openAttempts, 51);
  EXPECT_EQ(s.holdSeconds, 600);
  EXPECT_EQ(s.holdRetryMs, 2000);
  EXPECT_EQ(s.statusTimeoutMs, 500);
  EXPECT_EQ(s.receiptMaxKb, 256);
  EXPECT_EQ(s.receiptMaxPictures, 16);
}

TEST_F(PrinterSettingsTest, ValuesAreReadAndBadOnesTakeTheDefault) {
  const PrinterSettings s = Read(
      "[Printer]\nopen_attempts=3\nHOLD_SECONDS=2\nhold_retry_ms=5\nstatus_timeout_ms=0\n"
      "receipt_max_kb=-1\nreceipt_max_pictures=12x\n");
  EXPECT_EQ(s.openAttempts, 3);
  EXPECT_EQ(s.holdSeconds, 2);
  EXPECT_EQ(s.holdRetryMs, 2000);   // below 10 ms
  EXPECT_EQ(s.statusTimeoutMs, 0);  // 0: no status request
  EXPECT_EQ(s.receiptMaxKb, 256);
  EXPECT_EQ(s.receiptMaxPictures, 16);
}

}  // namespace
}  // namespace tillcast
