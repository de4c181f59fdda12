// The printer SDK and the agent's printer port on a network receipt printer
// (PortType "网口", PortName "HOST:PORT"): one TCP connection per document,
// ended once the printer has everything; a printer that refuses fails the
// open with the reason; the status of a network printer by its address.
#include <gtest/gtest.h>

#include "print/receipt_printer.h"
#include "print_test_util.h"
#include "support/subprocess.h"
#include "support/tcp_printer.h"

namespace tillcast {
namespace {

using test::Gbk;
using test::TcpPrinter;

class SdkNetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(printer_.ok());
    ASSERT_TRUE(BindPrinterSdkFrom(test::BinDir() + "/" + kPrinterSdkLibrary));
    DataMgr::GetInstance().ResetForTest();
  }
  void TearDown() override {
    UnbindPrinterSdkForTest();
    DataMgr::GetInstance().ResetForTest();
  }
  TcpPrinter printer_;
  test::ScopedLog log_;
};

TEST_F(SdkNetTest, EachDocumentIsOneConnectionThatEndsWithEveryByteDelivered) {
  test::ConfigurePort("网口", printer_.Address());
  // A raster-like job: zeros, 0xFF and every other byte value.
  std::vector<unsigned char> job;
  for (int i = 0; i < 200000; ++i) job.push_back(static_cast<unsigned char>(i % 7 == 0 ? 0 : i * 31));
  const std::vector<unsigned char> second = {0x1B, 0x40, 'O', 'K', '\n', 0x1D, 'V', 0x01};
  PrinterLink link;
  ASSERT_TRUE(PrintRaw(link, job));
  EXPECT_EQ(link.handle, POS_INVALID_HANDLE);
  // The close waited for the printer's end: the document is complete and
  // its connection over by the time the call returns.
  EXPECT_EQ(printer_.Ended(), 1u);
  ASSERT_TRUE(PrintRaw(link, second));
  EXPECT_EQ(printer_.Ended(), 2u);
  const auto conns = printer_.Connections();
  ASSERT_EQ(conns.size(), 2u);
  EXPECT_TRUE(conns[0] == std::string(job.begin(), job.end())) << "the first document arrived changed";
  EXPECT_EQ(conns[1], std::string(second.begin(), second.end()));
  EXPECT_TRUE(log_.Contains(Gbk("打开端口完成，端口类型：网口，端口名称：" + printer_.Address())));
}

TEST_F(SdkNetTest, RenderedReceiptGoesToTheNetworkPrinter) {
  test::ConfigurePort("网口", printer_.Address());
  // The additional receipt's road: text, a cut, through the same port.
  PrinterLink link;
  ASSERT_TRUE(OpenPortWithRetries(link));
  const PosSdkTable& sdk = PrinterSdk();
  EXPECT_EQ(sdk.POS_S_TextOut(Gbk("感谢光临").c_str(), 0, 1, 1, 0, 0), POS_SUCCESS);
  EXPECT_EQ(sdk.POS_FeedLine(), POS_SUCCESS);
  EXPECT_EQ(sdk.POS_CutPaper(0, 0), POS_SUCCESS);
  ClosePort(link);
  ASSERT_EQ(printer_.Connections().size(), 1u);
  const std::string got = printer_.Connections()[0];
  EXPECT_NE(got.find(Gbk("感谢光临")), std::string::npos) << test::Hex(got);
  EXPECT_NE(got.find("\x1dV"), std::string::npos) << test::Hex(got);
}

TEST_F(SdkNetTest, RefusedOrMalformedAddressFailsTheOpenWithTheReason) {
  struct Case {
    std::string name;
    int error;
  };
  const Case cases[] = {
      {"127.0.0.1:" + std::to_string(test::FreeLoopbackPort()), ECONNREFUSED},
      {"127.0.0.1:70000", EINVAL},
      {"::1:9100", EINVAL},  // IPv6 needs its brackets
      {":9100", EINVAL},
      {"127.0.0.1:", EINVAL},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::ConfigurePort("网口", c.name);
    PrinterLink link;
    EXPECT_FALSE(OpenPort(link));
    EXPECT_EQ(link.handle, POS_INVALID_HANDLE);
    EXPECT_TRUE(log_.Contains(Gbk("打开端口错误：GetLastError:" + std::to_string(c.error)))) << log_.Text();
  }
  EXPECT_TRUE(printer_.Connections().empty());
}

TEST_F(SdkNetTest, StatusOfANetworkPrinterByItsAddressLeavesTheCurrentPortAlone) {
  test::Pty pty;
  ASSERT_TRUE(pty.ok());
  test::ConfigurePort("串口", pty.slave());
  PrinterLink link;
  ASSERT_TRUE(OpenPort(link));
  const PosSdkTable& sdk = PrinterSdk();
  unsigned char status = 0;
  ASSERT_EQ(sdk.POS_NETQueryStatus(printer_.Address().c_str(), &status), POS_SUCCESS);
  EXPECT_EQ(status, static_cast<unsigned char>(TcpPrinter::kStatusOnline));
  ASSERT_EQ(printer_.Connections().size(), 1u);
  EXPECT_EQ(printer_.Connections()[0], std::string("\x10\x04\x01", 3));
  // The serial port is still the current one.
  EXPECT_EQ(sdk.POS_FeedLine(), POS_SUCCESS);
  ClosePort(link);
  EXPECT_EQ(pty.Drain(), "\n");
  const std::string refused = "127.0.0.1:" + std::to_string(test::FreeLoopbackPort());
  EXPECT_EQ(sdk.POS_NETQueryStatus(refused.c_str(), &status), POS_FAIL);
}

}  // namespace
}  // namespace tillcast
