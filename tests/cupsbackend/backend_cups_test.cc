// The `tillcast` backend under a real (private) cupsd, wrapping a device
// backend of the test's own ("testdev:<folder>": appends each job to
// <folder>/printed, fails while <folder>/fail exists). CUPS handles file:
// devices itself, without a backend program, so a file device could not
// show what the wrapper does.
#include <gtest/gtest.h>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "capture/cups_copy.h"
#include "support/pdf_writer.h"
#include "support/private_cups.h"
#include "support/subprocess.h"
#include "support/till_corpus.h"

namespace tillcast::test {
namespace {

uint64_t UnixMs() {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
          .count());
}

namespace fs = std::filesystem;

constexpr int kJobPending = 3;
constexpr int kJobCompleted = 9;
constexpr int kPrinterStopped = 5;

const char* kTestDevice =
    "#!/bin/sh\n"
    "[ $# -eq 0 ] && exit 0\n"
    "dev=\"${DEVICE_URI#testdev:}\"\n"
    "if [ -e \"$dev/fail\" ]; then echo 'ERROR: the test device is switched off' >&2; exit 1; fi\n"
    "id -u > \"$dev/uid\"\n"
    "printf '%s' \"$DEVICE_URI\" > \"$dev/uri\"\n"
    "if [ -n \"$6\" ]; then cat \"$6\" >> \"$dev/printed\"; else cat >> \"$dev/printed\"; fi\n";

// A receipt printer's driver: whatever comes in, the printer gets
// something else (as a raster driver makes pictures of the text).
const char* kRasterFilter =
    "#!/bin/sh\n"
    "echo RASTER\n"
    "if [ -n \"$6\" ]; then od -An -tx1 \"$6\"; else od -An -tx1; fi\n";

const char* kReceiptPpd =
    "*PPD-Adobe: \"4.3\"\n*FormatVersion: \"4.3\"\n*FileVersion: \"1.0\"\n*LanguageVersion: English\n"
    "*LanguageEncoding: ISOLatin1\n*PCFileName: \"TCRCPT.PPD\"\n*Manufacturer: \"Test\"\n*Product: \"(Receipt)\"\n"
    "*ModelName: \"Test Receipt\"\n*ShortNickName: \"Test Receipt\"\n*NickName: \"Test Receipt\"\n"
    "*PSVersion: \"(3010.000) 0\"\n*ColorDevice: False\n*cupsVersion: 2.4\n"
    "*cupsFilter: \"text/plain 0 rasterish\"\n*cupsFilter: \"application/pdf 0 rasterish\"\n"
    "*OpenUI *PageSize/Page Size: PickOne\n*DefaultPageSize: X80\n*PageSize X80/80mm: \"\"\n*CloseUI: *PageSize\n"
    "*DefaultPageRegion: X80\n*DefaultImageableArea: X80\n*ImageableArea X80: \"0 0 226 800\"\n"
    "*DefaultPaperDimension: X80\n*PaperDimension X80: \"226 800\"\n";

struct Copy {
  std::string name;
  capture::CupsCopyHeader header;
  std::string document;
};

class CupsBackendTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::chmod(dir_.path().c_str(), 0755);
    device_ = dir_.Sub("device");
    fs::create_directories(device_);
    ::chmod(device_.c_str(), 0777);
    inbox_ = dir_.Sub("inbox");
    cups_.AddBackendFile("tillcast", BinDir() + "/tillcast-cups-backend", 0700);
    cups_.SetEnv("TILLCAST_CUPS_INBOX", inbox_);
  }
  // Starts cupsd; the test is skipped where there is none.
  bool Start() {
    std::string why;
    if (cups_.Start(&why)) return true;
    if (why.find("not installed") != std::string::npos) {
      skip_ = why;
      return false;
    }
    ADD_FAILURE() << why;
    return false;
  }
  void AddTill(mode_t device_mode = 0700, const std::string& ppd = "", const std::string& policy = "") {
    cups_.AddBackend("testdev", kTestDevice, device_mode);
    cups_.AddQueue({"Till", "tillcast:/testdev:" + device_, ppd, policy});
  }
  std::string File(const std::string& name, const std::string& bytes) {
    const std::string path = dir_.Sub(name);
    WriteFile(path, bytes);
    return path;
  }
  int PrintAndWait(const std::vector<std::string>& files, const std::map<std::string, std::string>& options = {}) {
    std::string why;
    const int job = cups_.PrintFiles("Till", files, options, &why);
    EXPECT_GT(job, 0) << why;
    EXPECT_TRUE(cups_.WaitJobState(job, kJobCompleted, 15000)) << "state " << cups_.JobState(job) << "\n"
                                                               << cups_.ErrorLog();
    return job;
  }
  std::vector<Copy> Copies() const {
    std::vector<Copy> out;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(inbox_, ec)) {
      Copy c;
      c.name = e.path().filename().string();
      if (!capture::IsCupsCopyName(c.name)) continue;
      const std::string bytes = ReadFile(e.path().string());
      size_t body = 0;
      EXPECT_TRUE(capture::ParseCupsCopyHeader(bytes, &c.header, &body)) << c.name;
      c.document = bytes.substr(body);
      out.push_back(c);
    }
    std::sort(out.begin(), out.end(), [](const Copy& a, const Copy& b) { return a.name < b.name; });
    return out;
  }
  std::vector<std::string> InboxNames() const {
    std::vector<std::string> out;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(inbox_, ec)) out.push_back(e.path().filename().string());
    return out;
  }
  std::string Printed() const { return ReadFile(device_ + "/printed"); }

  TempDir dir_;
  PrivateCups cups_;
  std::string device_, inbox_, skip_;
};

#define START_OR_SKIP()                          \
  do {                                           \
    if (!Start()) {                              \
      if (!skip_.empty()) GTEST_SKIP() << skip_; \
      return;                                    \
    }                                            \
  } while (0)

TEST_F(CupsBackendTest, RawEscPosJobReachesTheDeviceUnchangedAndItsCopyHoldsTheSameBytes) {
  AddTill();
  START_OR_SKIP();
  SaleShape shape;
  shape.logo_rows = 48;
  const TillReceipt sale = SaleReceipt(shape);
  ASSERT_NE(sale.bytes.find('\0'), std::string::npos);
  const int job = PrintAndWait({File("sale.bin", sale.bytes)}, {{"raw", "true"}});
  EXPECT_TRUE(Printed() == sale.bytes) << "the device did not get the job's bytes unchanged";
  EXPECT_EQ(ReadFile(device_ + "/uri"), "testdev:" + device_) << "the device backend sees its own URI";
  const auto copies = Copies();
  ASSERT_EQ(copies.size(), 1u);
  EXPECT_EQ(copies[0].header.type, "application/vnd.cups-raw");
  EXPECT_EQ(copies[0].header.queue, "Till");
  EXPECT_EQ(copies[0].header.job, std::to_string(job));
  EXPECT_EQ(copies[0].header.title, "sale.bin");
  EXPECT_TRUE(copies[0].document == sale.bytes);
  uint64_t waited = 0;
  EXPECT_FALSE(copies[0].header.submitted.empty());
  EXPECT_FALSE(capture::CupsCopyWasHeld(copies[0].header, &waited)) << "printed at once";
  EXPECT_EQ(InboxNames().size(), 1u) << "no temporary left";
  // The inbox the backend made: root's, shared with the group tillcast.
  struct stat st {};
  ASSERT_EQ(stat(inbox_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 02770u);
  ASSERT_EQ(stat((inbox_ + "/" + copies[0].name).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST_F(CupsBackendTest, TextJobOnARawQueueIsCopiedAsText) {
  AddTill();
  START_OR_SKIP();
  const std::string text = U8(u8"演示门店\n小票号 R20240501\n合计：36.50\n");
  PrintAndWait({File("receipt.txt", text)});
  EXPECT_EQ(Printed(), text);
  const auto copies = Copies();
  ASSERT_EQ(copies.size(), 1u);
  EXPECT_EQ(copies[0].header.type, "text/plain");
  EXPECT_EQ(copies[0].document, text);
}

TEST_F(CupsBackendTest, OnADriversQueueTheCopyIsTheOriginalDocumentNotThePrinterStream) {
  cups_.AddFilter("rasterish", kRasterFilter);
  AddTill(0700, kReceiptPpd);
  START_OR_SKIP();
  const std::string pdf = MakePdfLines({U8(u8"演示门店"), U8(u8"合计：36.50")});
  const std::string text = U8(u8"谢谢惠顾\n");
  PrintAndWait({File("receipt.pdf", pdf), File("note.txt", text)});
  EXPECT_EQ(Printed().rfind("RASTER\n", 0), 0u) << "the device gets the driver's output";
  EXPECT_EQ(Printed().find("%PDF"), std::string::npos);
  const auto copies = Copies();
  ASSERT_EQ(copies.size(), 2u) << "one copy per document of the job";
  EXPECT_EQ(copies[0].header.type, "application/pdf");
  EXPECT_EQ(copies[0].header.source, "document");
  EXPECT_EQ(copies[0].header.document, "1");
  EXPECT_TRUE(copies[0].document == pdf);
  EXPECT_EQ(copies[1].header.document, "2");
  EXPECT_EQ(copies[1].document, text);
}

TEST_F(CupsBackendTest, ADeviceThatFailsGivesCupsTheFailureAndTheJobIsCapturedOnceItPrints) {
  AddTill(0700, "", "stop-printer");
  START_OR_SKIP();
  WriteFile(device_ + "/fail", "");
  std::string why;
  const uint64_t before_print = UnixMs();
  const int job =
      cups_.Print("Till", File("sale.bin", "\x1b@" + Gbk(U8(u8"演示门店 合计：36.50\n"))), {{"raw", "true"}}, &why);
  ASSERT_GT(job, 0) << why;
  // The queue's policy for a failed device: it stops with the device's
  // reason and keeps the job.
  ASSERT_TRUE(WaitUntil([&] { return cups_.PrinterState("Till") == kPrinterStopped; }, 15000)) << cups_.ErrorLog();
  EXPECT_TRUE(
      WaitUntil([&] { return cups_.ErrorLog().find("the test device is switched off") != std::string::npos; }, 5000));
  EXPECT_EQ(cups_.JobState(job), kJobPending);
  EXPECT_EQ(Printed(), "");
  EXPECT_TRUE(Copies().empty()) << "nothing is captured of a job the device did not take";
  for (const auto& n : InboxNames()) ADD_FAILURE() << "left in the inbox: " << n;

  // Long enough in the stopped queue to be told from a job printed at once.
  std::this_thread::sleep_for(std::chrono::milliseconds(capture::kCupsHeldAfterMs + 200));
  unlink((device_ + "/fail").c_str());
  const uint64_t resumed = UnixMs();
  ASSERT_TRUE(cups_.Resume("Till"));
  ASSERT_TRUE(cups_.WaitJobState(job, kJobCompleted, 15000)) << cups_.ErrorLog();
  EXPECT_EQ(Printed(), "\x1b@" + Gbk(U8(u8"演示门店 合计：36.50\n")));
  const auto copies = Copies();
  ASSERT_EQ(copies.size(), 1u) << "captured once, when it printed";
  // The copy says when CUPS took the job and when it printed, so the agent
  // can tell a job held through the outage from a reprint.
  uint64_t waited = 0;
  EXPECT_TRUE(capture::CupsCopyWasHeld(copies[0].header, &waited))
      << copies[0].header.submitted << " " << copies[0].header.started;
  const uint64_t submitted = std::strtoull(copies[0].header.submitted.c_str(), nullptr, 10);
  const uint64_t started = std::strtoull(copies[0].header.started.c_str(), nullptr, 10);
  EXPECT_GE(submitted + 1000, before_print);
  EXPECT_LE(submitted, before_print + 2000);
  EXPECT_GE(started + 1000, resumed);
  EXPECT_EQ(waited, started - submitted);
}

TEST_F(CupsBackendTest, ADeviceBackendOpenToOthersRunsAsCupsdsUserNotRoot) {
  const passwd* lp = getpwnam("lp");
  if (geteuid() != 0 || lp == nullptr) GTEST_SKIP() << "needs root and the user lp";
  AddTill(0755);
  START_OR_SKIP();
  PrintAndWait({File("a.txt", U8(u8"门店\n"))});
  EXPECT_EQ(ReadFile(device_ + "/uid"), std::to_string(lp->pw_uid) + "\n");
  EXPECT_EQ(Copies().size(), 1u);
}

TEST_F(CupsBackendTest, AJobWhoseCopyCannotBeMadeIsStillPrinted) {
  WriteFile(dir_.Sub("blocker"), "");
  cups_.SetEnv("TILLCAST_CUPS_INBOX", dir_.Sub("blocker/inbox"));  // the later SetEnv wins
  AddTill();
  START_OR_SKIP();
  PrintAndWait({File("a.txt", U8(u8"门店\n"))});
  EXPECT_EQ(Printed(), U8(u8"门店\n"));
  EXPECT_NE(cups_.ErrorLog().find("no copy for the agent"), std::string::npos) << cups_.ErrorLog();
}

TEST_F(CupsBackendTest, ADeviceUriWithoutABackendStopsTheQueueAndSaysWhy) {
  cups_.AddQueue({"Till", "tillcast:/nosuch:/dev/x", "", ""});
  START_OR_SKIP();
  std::string why;
  ASSERT_GT(cups_.Print("Till", File("a.txt", "x\n"), {}, &why), 0) << why;
  ASSERT_TRUE(WaitUntil([&] { return cups_.PrinterState("Till") == kPrinterStopped; }, 15000)) << cups_.ErrorLog();
  // (cupsd's log shows a quote as \")
  EXPECT_TRUE(WaitUntil(
      [&] {
        return cups_.ErrorLog().find("tillcast: no CUPS backend for \\\"nosuch:\\\" devices") != std::string::npos;
      },
      5000))
      << cups_.ErrorLog();
}

TEST_F(CupsBackendTest, TheReadmesLinePutsAnExistingQueueBehindTheBackend) {
  if (access("/usr/sbin/lpadmin", X_OK) != 0 || access("/usr/bin/lpstat", X_OK) != 0)
    GTEST_SKIP() << "lpadmin and lpstat are not installed (Debian package cups-client)";
  cups_.AddBackend("testdev", kTestDevice, 0700);
  cups_.AddQueue({"Till", "testdev:" + device_, "", ""});
  START_OR_SKIP();
  // As README.md has it, for the queue "Till".
  const std::string line = "lpadmin -p Till -v \"tillcast:/$(lpstat -v Till | sed 's/^device for [^:]*: //')\"";
  ASSERT_EQ(RunProgram({"/bin/sh", "-c", line}, {}, 20000), 0);
  PrintAndWait({File("a.txt", U8(u8"门店 小票\n"))});
  EXPECT_EQ(Printed(), U8(u8"门店 小票\n"));
  ASSERT_EQ(Copies().size(), 1u) << cups_.ErrorLog();
  EXPECT_EQ(ReadFile(device_ + "/uri"), "testdev:" + device_);
}

}  // namespace
}  // namespace tillcast::test
