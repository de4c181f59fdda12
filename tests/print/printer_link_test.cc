// The agent's side of the SDK: binding, port settings, raw documents.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "print/print_hooks.h"
#include "print_test_util.h"

namespace tillcast {
namespace {

using test::FakeSdk;
using test::Gbk;

class PrinterLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(sdk_.bound());
    DataMgr::GetInstance().ResetForTest();
  }
  void TearDown() override { DataMgr::GetInstance().ResetForTest(); }
  std::string OpenCall() {
    PrinterLink link;
    sdk_.Reset();
    OpenPort(link);
    const auto calls = sdk_.CallList();
    return calls.empty() ? std::string() : calls[0];
  }
  FakeSdk sdk_;
  test::ScopedLog log_;
};

TEST_F(PrinterLinkTest, SettingsReachTheOpenCall) {
  struct Case {
    std::string type, name, baud, data, stop, parity, flow, expected;
  };
  const Case cases[] = {
      {"并口", "LPT1", "115200", "7", "2", "奇", "硬件", "POS_Open|LPT1|0|0|0|0|18"},
      {"驱动", "Receipt", "9600", "8", "1", "无", "无", "POS_Open|Receipt|0|0|0|0|20"},
      {"网口", "192.0.2.50:9100", "9600", "8", "2", "奇", "硬件", "POS_Open|192.0.2.50:9100|0|0|0|0|19"},
      {"串口", "COM1", "9600", "8", "1", "无", "无", "POS_Open|COM1|9600|8|0|0|3"},
      {"串口", "COM2", "19200", "7", "2", "偶", "XON/OFF", "POS_Open|COM2|19200|7|2|2|2"},
      {"串口", "COM3", "38400", "8", "1", "奇", "硬件", "POS_Open|COM3|38400|8|0|1|1"},
      {"串口", "COM4", "fast", "x", "1.5", "?", "?", "POS_Open|COM4|0|0|0|0|3"},
  };
  for (const Case& c : cases) {
    test::ConfigurePort(c.type, c.name, c.baud, c.data, c.stop, c.parity, c.flow);
    EXPECT_EQ(OpenCall(), c.expected) << c.type << " " << c.name;
  }
  EXPECT_TRUE(log_.Contains(Gbk("打印机设置：名称：COM2, 波特率:19200,数据位:7,停止位:2,校验位：2, 流控：2")));
  EXPECT_TRUE(log_.Contains(Gbk("打开端口完成，端口类型：并口，端口名称：LPT1")));
  EXPECT_TRUE(log_.Contains(Gbk("打开端口完成，端口类型：网口，端口名称：192.0.2.50:9100")));
}

TEST_F(PrinterLinkTest, UnknownPortTypeFailsWithoutOpening) {
  test::ConfigurePort("蓝牙", "10.0.0.1");
  EXPECT_EQ(OpenCall(), "");
  EXPECT_TRUE(log_.Contains(Gbk("端口类型错误:蓝牙")));
}

TEST_F(PrinterLinkTest, RawDocumentOnAPortAndInDriverMode) {
  test::ConfigurePort("串口", "COM1");
  PrinterLink link;
  EXPECT_TRUE(PrintRaw(link, {0x1B, 0x40}));
  EXPECT_EQ(link.handle, POS_INVALID_HANDLE);
  EXPECT_EQ(sdk_.CallList(),
            (std::vector<std::string>{"POS_Open|COM1|9600|8|0|0|3", "POS_WriteFile|7|\x1b@", "POS_Close"}));
  EXPECT_TRUE(log_.Contains(Gbk("打印时写数据完成")));

  test::ConfigurePort("驱动", "Q");
  sdk_.Reset();
  EXPECT_TRUE(PrintRaw(link, {'x'}));
  EXPECT_EQ(sdk_.CallList(), (std::vector<std::string>{"POS_Open|Q|0|0|0|0|20", "POS_StartDoc", "POS_WriteFile|7|x",
                                                       "POS_EndDoc", "POS_Close"}));
}

TEST_F(PrinterLinkTest, WriteFailureIsLoggedAndThePortStillClosed) {
  test::ConfigurePort("并口", "LPT1");
  sdk_.Reset(7, 0, POS_FAIL);
  PrinterLink link;
  EXPECT_FALSE(PrintRaw(link, {1, 2, 3}));
  EXPECT_EQ(sdk_.CallList().back(), "POS_Close");
  EXPECT_TRUE(log_.Contains(Gbk("打印时写数据失败,GetLastError: 5")));
}

TEST_F(PrinterLinkTest, AbsentPrinterFailsAfterTheRetriesAndReleasesTheLock) {
  test::CountedRetryPause pause;
  InstallPrintHooks();
  test::ConfigurePort("串口", "COM9");
  sdk_.Reset(POS_INVALID_HANDLE, 2);
  DataMgr::GetInstance().ProcessPrintJob(R"({"format":"escpos","data":"G0A=","job_id":"j-7"})");
  EXPECT_EQ(sdk_.CallList().size(), static_cast<size_t>(kOpenAttempts));
  EXPECT_EQ(pause.pauses.load(), kOpenAttempts - 1);
  EXPECT_EQ(pause.pausedMs.load(), (kOpenAttempts - 1) * kOpenRetryPauseMs);
  EXPECT_TRUE(log_.Contains(Gbk("打开端口错误：GetLastError:2")));
  EXPECT_TRUE(log_.Contains(Gbk("打印失败,job_id:j-7")));
  ASSERT_TRUE(PrinterLock().try_lock());
  PrinterLock().unlock();
}

TEST_F(PrinterLinkTest, AThreadAskedToStopGivesUpItsRemainingOpenAttempts) {
  test::ConfigurePort("串口", "COM9");
  sdk_.Reset(POS_INVALID_HANDLE, 2);
  std::atomic<bool> stop{false};
  int pauses = 0;
  // The third pause is where the agent is told to quit.
  SetOpenRetryPauseForTest([&](int) {
    if (++pauses == 3) stop = true;
  });
  PrinterLink link;
  {
    ScopedPrintAbort guard(&stop);
    EXPECT_FALSE(OpenPortWithRetries(link));
  }
  EXPECT_EQ(sdk_.CallList().size(), 3u);
  // Outside the scope the flag is not consulted: every attempt is made.
  sdk_.Reset(POS_INVALID_HANDLE, 2);
  EXPECT_FALSE(OpenPortWithRetries(link));
  EXPECT_EQ(sdk_.CallList().size(), static_cast<size_t>(kOpenAttempts));
  SetOpenRetryPauseForTest(nullptr);
}

TEST_F(PrinterLinkTest, SecondDocumentWaitsForTheFirst) {
  test::ConfigurePort("并口", "LPT1");
  std::atomic<bool> printed{false};
  std::thread second;
  {
    std::lock_guard<std::mutex> held(PrinterLock());
    second = std::thread([&] {
      PrinterLink link;
      printed = PrintRaw(link, {'a'});
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(printed.load());
    EXPECT_EQ(sdk_.Calls(), "");
  }
  second.join();
  EXPECT_TRUE(printed.load());
}

TEST(PrinterSdkBinding, MissingLibraryFailsEveryOperationCleanly) {
  test::ScopedLog log;
  DataMgr::GetInstance().ResetForTest();
  EXPECT_FALSE(BindPrinterSdkFrom("/nonexistent/libprint.so"));
  test::CountedRetryPause pause;
  test::ConfigurePort("串口", "COM1");
  PrinterLink link;
  EXPECT_FALSE(PrintRaw(link, {0x1B, 0x40}));
  EXPECT_EQ(pause.pauses.load(), 0);  // no point retrying without the library
  EXPECT_TRUE(log.Contains(Gbk("打开端口错误：GetLastError:")));
  DataMgr::GetInstance().ResetForTest();
}

TEST(PrinterSdkBinding, LookupStopsAtTheFirstMissingFunctionInTableOrder) {
  test::ScopedLog log;
  // This SDK lacks POS_RTQueryStatus, which is looked up before
  // POS_NETQueryStatus.
  EXPECT_FALSE(BindPrinterSdkFrom(FAKE_SDK_PARTIAL_PATH));
  const PosSdkTable& t = PrinterSdk();
  EXPECT_NE(t.POS_Open, nullptr);
  EXPECT_NE(t.POS_QueryStatus, nullptr);
  EXPECT_EQ(t.POS_RTQueryStatus, nullptr);
  EXPECT_EQ(t.POS_NETQueryStatus, nullptr);
  EXPECT_EQ(t.POS_WriteFile, nullptr);
  EXPECT_EQ(t.POS_GetVersionInfo, nullptr);
  // Open is there but writing is not: the document fails, nothing crashes.
  DataMgr::GetInstance().ResetForTest();
  test::ConfigurePort("并口", "LPT1");
  PrinterLink link;
  EXPECT_FALSE(PrintRaw(link, {1}));
  UnbindPrinterSdkForTest();
  DataMgr::GetInstance().ResetForTest();
}

TEST(PrinterSdkBinding, TheRealLibraryIsFoundBesideThePrograms) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  // The sanitizer's dlopen interceptor makes the search use its own run
  // path instead of ours; the agent itself loads the SDK by full path.
  ASSERT_TRUE(BindPrinterSdkFrom(test::BinDir() + "/" + kPrinterSdkLibrary));
#else
  // The tests live beside, not in, the programs' folder: found through the
  // run path.
  EXPECT_TRUE(BindPrinterSdk());
#endif
  const PosSdkTable& t = PrinterSdk();
  int major = 0, minor = -1;
  ASSERT_NE(t.POS_GetVersionInfo, nullptr);
  EXPECT_EQ(t.POS_GetVersionInfo(&major, &minor), POS_SUCCESS);
  EXPECT_EQ(major, 2);
  // No port open: text functions fail, closing reports the bad handle.
  EXPECT_EQ(t.POS_FeedLine(), POS_FAIL);
  EXPECT_EQ(t.POS_Close(), POS_ERROR_INVALID_HANDLE);
  EXPECT_EQ(t.POS_WriteFile(12345, reinterpret_cast<const unsigned char*>("x"), 1), POS_FAIL);
  EXPECT_EQ(t.POS_S_PrintBmpInRAM(1, 0, 0), POS_FAIL);
  EXPECT_EQ(t.POS_Open(nullptr, 0, 0, 0, 0, 0), POS_INVALID_HANDLE);
  UnbindPrinterSdkForTest();
}

}  // namespace
}  // namespace tillcast
