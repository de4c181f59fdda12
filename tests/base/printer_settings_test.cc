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

TEST_F(PrinterSettingsTest, ValuesAreReadAndMissingOrBadOnesTakeTheDefault) {
  const struct {
    const char* ini;
    int openAttempts, holdSeconds, holdRetryMs, statusTimeoutMs, receiptMaxKb, receiptMaxPictures;
  } cases[] = {
      {"[proxy]\nhttp_ip=1.2.3.4\n", 51, 600, 2000, 500, 256, 16},  // no [printer] section
      {"[Printer]\nopen_attempts=3\nHOLD_SECONDS=2\nhold_retry_ms=5\nstatus_timeout_ms=0\n"
       "receipt_max_kb=-1\nreceipt_max_pictures=12x\n",
       3, 2, 2000 /* below 10 ms */, 0 /* 0: no status request */, 256, 16},
  };
  for (const auto& c : cases) {
    const PrinterSettings s = Read(c.ini);
    EXPECT_EQ(s.openAttempts, c.openAttempts) << c.ini;
    EXPECT_EQ(s.holdSeconds, c.holdSeconds) << c.ini;
    EXPECT_EQ(s.holdRetryMs, c.holdRetryMs) << c.ini;
    EXPECT_EQ(s.statusTimeoutMs, c.statusTimeoutMs) << c.ini;
    EXPECT_EQ(s.receiptMaxKb, c.receiptMaxKb) << c.ini;
    EXPECT_EQ(s.receiptMaxPictures, c.receiptMaxPictures) << c.ini;
  }
}

}  // namespace
}  // namespace tillcast
