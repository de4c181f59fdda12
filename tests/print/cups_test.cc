// Driver mode against a real CUPS: a private cupsd with a raw queue whose
// device writes each job into a file.
#include <cups/cups.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "print/receipt_printer.h"
#include "print_test_util.h"
#include "support/subprocess.h"
#include "support/tcp_printer.h"

namespace tillcast {
namespace {

namespace fs = std::filesystem;
using test::Gbk;
using test::Hex;

constexpr const char* kCupsd = "/usr/sbin/cupsd";
constexpr const char* kQueue = "tillcast_raw";

// cupsd in the foreground with everything under one temporary folder.
class PrivateCups {
 public:
  PrivateCups() {
    if (access(kCupsd, X_OK) != 0) {
      why_ = "cupsd is not installed (Debian package cups-daemon)";
      return;
    }
    const std::string root = dir_.path();
    chmod(root.c_str(), 0755);
    for (const char* sub : {"conf", "spool", "cache", "state", "tmp", "log", "bin/backend", "bin/filter", "bin/daemon"})
      fs::create_directories(root + "/" + sub);
    fs::create_symlink("/usr/lib/cups/daemon/cups-exec", root + "/bin/daemon/cups-exec");
    output_ = root + "/printed.bin";
    test::WriteFile(output_, "");
    chmod(output_.c_str(), 0666);
    // The queue's device: appends each job to the file named in its URI.
    // Mode 0700 makes a root cupsd run it as root.
    const std::string backend = root + "/bin/backend/tofile";
    test::WriteFile(backend,
                    "#!/bin/sh\n"
                    "[ $# -eq 0 ] && exit 0\n"
                    "out=\"${DEVICE_URI#*:}\"\n"
                    "if [ -n \"$6\" ]; then cat \"$6\" >> \"$out\"; else cat >> \"$out\"; fi\n");
    chmod(backend.c_str(), 0700);

    port_ = test::FreeLoopbackPort();
    const passwd* pw = getpwuid(geteuid());
    const std::string user = pw != nullptr ? pw->pw_name : "root";
    test::WriteFile(root + "/conf/cups-files.conf",
                    "ServerRoot " + root + "/conf\nRequestRoot " + root + "/spool\nCacheDir " + root +
                        "/cache\nStateDir " + root + "/state\nTempDir " + root + "/tmp\nErrorLog " + root +
                        "/log/error_log\nAccessLog " + root + "/log/access_log\nPageLog " + root +
                        "/log/page_log\nServerBin " + root + "/bin\nDataDir /usr/share/cups\n" +
                        (geteuid() == 0 ? "User lp\nGroup lp\n" : "User " + user + "\n") + "SystemGroup root\n");
    test::WriteFile(root + "/conf/cupsd.conf", "Listen 127.0.0.1:" + std::to_string(port_) +
                                                   "\nLogLevel info\nBrowsing No\nWebInterface No\nPrintcap " +
                                                   root + "/state/printcap\n<Location />\nOrder allow,deny\n"
                                                   "Allow all\n</Location>\n");
    test::WriteFile(root + "/conf/printers.conf", std::string("<Printer ") + kQueue +
                                                      ">\nInfo raw test queue\nDeviceURI tofile:" + output_ +
                                                      "\nState Idle\nAccepting Yes\nShared No\n</Printer>\n");
    process_ = std::make_unique<test::Subprocess>(
        std::vector<std::string>{kCupsd, "-f", "-c", root + "/conf/cupsd.conf", "-s", root + "/conf/cups-files.conf"},
        std::map<std::string, std::string>{}, root + "/log/stdout");
    server_ = std::make_unique<test::ScopedEnv>("CUPS_SERVER", "127.0.0.1:" + std::to_string(port_));
    cupsSetServer(nullptr);  // take the variable on this thread

    const bool ready = test::WaitUntil(
        [&] {
          if (process_->Wait(0)) return true;
          cups_dest_t* d = cupsGetNamedDest(CUPS_HTTP_DEFAULT, kQueue, nullptr);
          if (d == nullptr) return false;
          cupsFreeDests(1, d);
          return true;
        },
        15000);
    if (!ready || process_->Wait(0)) {
      why_ = "cupsd did not start here: " + test::ReadFile(root + "/log/stdout") +
             test::ReadFile(root + "/log/error_log").substr(0, 2000);
    }
  }
  ~PrivateCups() {
    if (process_) {
      process_->Signal(SIGTERM);
      if (!process_->Wait(5000)) process_.reset();  // SIGKILL in the destructor
    }
    server_.reset();
    cupsSetServer(nullptr);
  }
  const std::string& why_not() const { return why_; }
  std::string Printed() const { return test::ReadFile(output_); }
  bool WaitPrinted(size_t bytes) const {
    return test::WaitUntil([&] { return Printed().size() >= bytes; }, 15000);
  }

 private:
  test::TempDir dir_;
  std::string output_;
  std::string why_;
  int port_ = 0;
  std::unique_ptr<test::Subprocess> process_;
  std::unique_ptr<test::ScopedEnv> server_;
};

class CupsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { cups_ = new PrivateCups; }
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
  static PrivateCups* cups_;
  test::ScopedLog log_;
};
PrivateCups* CupsTest::cups_ = nullptr;

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
  const std::string expected = test::Bytes({0x1D, 0x50, 180, 180, 0x1B, 0x53, 0x1B, 0x24, 0, 0, 0x1D, 0x21, 0, 0x1B,
                                            0x4D, 0, 0x1B, 0x45, 0, 0x1B, 0x2D, 0, 0x1C, 0x2D, 0, 0x1C, 0x26}) +
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
