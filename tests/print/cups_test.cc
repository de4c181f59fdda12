// Driver mode against a real CUPS: a private cupsd with a raw queue whose
// device writes each job into a file.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "print/receipt_printer.h"
#include "print_test_util.h"
#include "support/private_cups.h"
#include "support/subprocess.h"

namespace tillcast {
namespace {

using test::Gbk;
using test::Hex;

constexpr const char* kQueue = "tillcast_raw";

// A private cupsd with a raw queue whose device appends each job to a file.
class RawQueueCups {
 public:
  RawQueueCups() {
    output_ = dir_.Sub("printed.bin");
    ::chmod(dir_.path().c_str(), 0755);
    test::WriteFile(output_, "");
    chmod(output_.c_str(), 0666);
    // Mode 0700 makes a root cupsd run it as root.
    cups_.AddBackend("tofile",
                     "#!/bin/sh\n"
                     "[ $# -eq 0 ] && exit 0\n"
                     "out=\"${DEVICE_URI#*:}\"\n"
                     "if [ -n \"$6\" ]; then cat \"$6\" >> \"$out\"; else cat >> \"$out\"; fi\n",
                     0700);
    cups_.AddQueue({kQueue, "tofile:" + output_, "", ""});
    if (!cups_.Start(&why_) && why_.empty()) why_ = "cupsd did not start";
  }
  const std::string& why_not() const { return why_; }
  std::string Printed() const { return test::ReadFile(output_); }
  bool WaitPrinted(size_t bytes) const {
    return test::WaitUntil([&] { return Printed().size() >= bytes; }, 15000);
  }

 private:
  test::TempDir dir_;
  test::PrivateCups cups_;
  std::string output_;
  std::string why_;
};

class CupsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { cups_ = new RawQueueCups; }
  static void TearDownTestSuite() {
    delete cups_;
    cups_ = nullptr;
  }
  void SetUp() override {
    if (!cups_->why_not().empty()) GTEST_SKIP() << cups_->why_not();
    ASSERT_TRUE(BindPrinterSdkFrom(test::BinDir() + "/" + kPrinterSdkLibrary));
    DataMgr::GetInstance().ResetForTest();
    test::ConfigurePort("驱动", kQueue);
  }
  void TearDown() override {
    UnbindPrinterSdk();
    DataMgr::GetInstance().ResetForTest();
  }
  static void UnbindPrinterSdk() { UnbindPrinterSdkForTest(); }
  static RawQueueCups* cups_;
  test::ScopedLog log_;
};
RawQueueCups* CupsTest::cups_ = nullptr;

TEST_F(CupsTest, RawJobArrivesIntact) {
  std::vector<unsigned char> job;
  for (int i = 0; i < 20000; ++i) job.push_back(static_cast<unsigned char>(i * 13 + 1));
  const size_t before = cups_->Printed().size();
  PrinterLink link;
  ASSERT_TRUE(PrintRaw(link, job));
  EXPECT_TRUE(link.isDriver);
  ASSERT_TRUE(cups_->WaitPrinted(before + job.size()));
  EXPECT_EQ(cups_->Printed().substr(before), std::string(job.begin(), job.end()));
}

TEST_F(CupsTest, RenderedReceiptIsOneJob) {
  const size_t before = cups_->Printed().size();
  test::TempDir dir;
  ASSERT_TRUE(RenderReceiptIn("", R"({"format":"json","rows":[{"cols":[{"content-type":"txt","content":"cups"}]}]})",
                              dir.path()));
  const std::string expected =
      test::Bytes({0x1D, 0x50, 180,  180,  0x1B, 0x53, 0x1B, 0x24, 0,    0,    0x1D, 0x21, 0,   0x1B,
                   0x4D, 0,    0x1B, 0x45, 0,    0x1B, 0x2D, 0,    0x1C, 0x2D, 0,    0x1C, 0x26}) +
      "cups" + test::Bytes({0x0A, 0x0A, 0x0A, 0x1D, 0x56, 0});
  ASSERT_TRUE(cups_->WaitPrinted(before + expected.size()));
  EXPECT_EQ(Hex(cups_->Printed().substr(before)), Hex(expected));
}

TEST_F(CupsTest, UnknownQueueFailsTheOpen) {
  test::ConfigurePort("驱动", "no_such_queue");
  PrinterLink link;
  EXPECT_FALSE(OpenPort(link));
  EXPECT_TRUE(log_.Contains(Gbk("打开端口错误：GetLastError:2")));
}

}  // namespace
}  // namespace tillcast
