// The CUPS road: a job printed through a queue behind the `tillcast`
// backend reaches its device unchanged, the agent takes up the job's copy
// and uploads it signed (printer bytes as they are, text and a PDF's text
// as GBK lines) with the additional receipt; a job printed while no agent
// runs waits in the inbox until one starts. The queue's device is a
// backend of the test's own that appends each job to a file.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <thread>

#include "capture/cups_copy.h"
#include "sale_road.h"
#include "shop.h"
#include "support/pdf_writer.h"
#include "support/private_cups.h"

namespace tillcast::test {
namespace {

namespace fs = std::filesystem;

const char* kFileDevice =
    "#!/bin/sh\n"
    "[ $# -eq 0 ] && exit 0\n"
    "dev=\"${DEVICE_URI#testdev:}\"\n"
    "if [ -e \"$dev/off\" ]; then echo 'ERROR: the test printer is switched off' >&2; exit 1; fi\n"
    "if [ -n \"$6\" ]; then cat \"$6\" >> \"$dev/printed\"; else cat >> \"$dev/printed\"; fi\n";

class CupsRoad : public ::testing::Test {
 protected:
  void SetUp() override {
    shop_.SetCloudData(SaleRoadCloudData());
    device_ = shop_.folder() + "/cups-device";
    fs::create_directories(device_);
    cups_.AddBackendFile("tillcast", BinDir() + "/tillcast-cups-backend", 0700);
    cups_.AddBackend("testdev", kFileDevice, 0700);
    cups_.SetEnv("TILLCAST_CUPS_INBOX", shop_.CupsInbox());
    cups_.AddQueue({"Till", "tillcast:/testdev:" + device_, "", ""});
    std::string why;
    if (!cups_.Start(&why)) {
      if (why.find("not installed") != std::string::npos) GTEST_SKIP() << why;
      FAIL() << why;
    }
    // As the package leaves it.
    fs::create_directories(shop_.CupsInbox());
    ::chmod(shop_.CupsInbox().c_str(), 02770);
    ASSERT_TRUE(shop_.StartReady());
  }
  std::string File(const std::string& name, const std::string& bytes) {
    const std::string path = shop_.folder() + "/" + name;
    WriteFile(path, bytes);
    return path;
  }
  void Print(const std::string& file, const std::map<std::string, std::string>& options = {}) {
    std::string why;
    const int job = cups_.Print("Till", file, options, &why);
    ASSERT_GT(job, 0) << why;
    ASSERT_TRUE(cups_.WaitJobState(job, 9, 15000)) << cups_.ErrorLog();
  }
  std::string Printed() const { return ReadFile(device_ + "/printed"); }
  std::string WaitUpload() {
    if (!WaitUntil([&] { return !shop_.Uploads().empty(); }, 15000)) return "";
    return ReadFile(shop_.Uploads()[0]);
  }
  size_t InboxCopies() const {
    size_t n = 0;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(shop_.CupsInbox(), ec))
      if (e.path().extension() == ".copy") ++n;
    return n;
  }

  Shop shop_;
  PrivateCups cups_;
  std::string device_;
};

TEST_F(CupsRoad, RawEscPosJobArrivesUnchangedAndIsUploadedByteForByteWithTheAdditionalReceipt) {
  const TillReceipt sale = Sale("R3001", 48);
  Print(File("sale.bin", sale.bytes), {{"raw", "true"}});
  EXPECT_TRUE(Printed() == sale.bytes) << "the device did not get the job unchanged";
  const std::string uploaded = WaitUpload();
  ASSERT_FALSE(uploaded.empty()) << "nothing uploaded; log:\n" << shop_.AgentLog();
  EXPECT_TRUE(uploaded == sale.bytes) << "the upload is not what was printed";
  ASSERT_TRUE(WaitUntil([&] { return !shop_.Printed().empty(); }, 10000)) << "no additional receipt";
  EXPECT_NE(shop_.Printed()[0].Text().find("R3001"), std::string::npos) << shop_.Printed()[0].Text();
  EXPECT_TRUE(WaitUntil([&] { return InboxCopies() == 0; }, 5000)) << "the copy was left in the inbox";
}

TEST_F(CupsRoad, Utf8TextJobWithChineseIsUploadedAsGbkText) {
  const std::string text =
      U8(u8"测试门店\n小票号 R3002\n收银员 01  款台 1\n矿泉水 x2            5.00\n三明治 x1           31.50\n"
         u8"合计：36.50\n实收：40.00  找零：3.50\n谢谢惠顾\n");
  Print(File("receipt.txt", text));
  EXPECT_EQ(Printed(), text);
  const std::string uploaded = WaitUpload();
  ASSERT_FALSE(uploaded.empty()) << "nothing uploaded; log:\n" << shop_.AgentLog();
  EXPECT_EQ(uploaded, Gbk(text));
}

TEST_F(CupsRoad, PdfJobWithChineseIsUploadedAsItsLines) {
  // One piece of text a line (columns apart are checked with the PDF
  // reader's own tests).
  const std::vector<std::string> lines = {
      U8(u8"测试门店"),        U8(u8"小票号 R3003"), U8(u8"收银员 01 款台 1"),       U8(u8"矿泉水 x2 5.00"),
      U8(u8"三明治 x1 31.50"), U8(u8"合计：36.50"),  U8(u8"实收：40.00 找零：3.50"), U8(u8"谢谢惠顾欢迎再次光临")};
  const std::string pdf = MakePdfLines(lines);
  Print(File("receipt.pdf", pdf));
  EXPECT_TRUE(Printed() == pdf);
  const std::string uploaded = WaitUpload();
  ASSERT_FALSE(uploaded.empty()) << "nothing uploaded; log:\n" << shop_.AgentLog();
  size_t at = 0;
  for (const auto& line : lines) {
    const size_t found = uploaded.find(Gbk(line) + "\n", at);
    ASSERT_NE(found, std::string::npos) << "missing or out of order: " << line << "\nupload: " << uploaded;
    at = found + 1;
  }
  EXPECT_EQ(uploaded.find("%PDF"), std::string::npos);
  // The additional receipt took the receipt number from the PDF's text.
  ASSERT_TRUE(WaitUntil([&] { return !shop_.Printed().empty(); }, 10000)) << "no additional receipt";
  EXPECT_NE(shop_.Printed()[0].Text().find("R3003"), std::string::npos);
}

TEST_F(CupsRoad, WithTheAgentStoppedTheJobPrintsAndItsCopyWaitsUntilTheAgentStarts) {
  shop_.StopAgent(SIGTERM);
  const TillReceipt sale = Sale("R3004");
  Print(File("sale.bin", sale.bytes), {{"raw", "true"}});
  EXPECT_TRUE(Printed() == sale.bytes);
  EXPECT_EQ(InboxCopies(), 1u);
  EXPECT_TRUE(shop_.Uploads().empty());

  shop_.StartAgent();
  const std::string uploaded = WaitUpload();
  ASSERT_FALSE(uploaded.empty()) << "nothing uploaded after the start; log:\n" << shop_.AgentLog();
  EXPECT_TRUE(uploaded == sale.bytes);
  EXPECT_TRUE(WaitUntil([&] { return InboxCopies() == 0; }, 5000));
  // Its sale is past: no additional receipt comes out now.
  EXPECT_NE(shop_.AgentLog().find("was left by an earlier run"), std::string::npos);
  EXPECT_TRUE(shop_.Printed().empty());
}

TEST_F(CupsRoad, AJobHeldWhileThePrinterWasOffAndASaleRightAfterItAreTwoSalesBothUploaded) {
  // The printer is off: the queue keeps the job and tries it again later.
  WriteFile(device_ + "/off", "");
  const TillReceipt held = Sale("R3005");
  std::string why;
  const int job = cups_.Print("Till", File("held.bin", held.bytes), {{"raw", "true"}}, &why);
  ASSERT_GT(job, 0) << why;
  ASSERT_TRUE(WaitUntil([&] { return cups_.ErrorLog().find("Backend returned status 1") != std::string::npos; }, 15000))
      << cups_.ErrorLog();
  std::this_thread::sleep_for(std::chrono::milliseconds(capture::kCupsHeldAfterMs + 200));

  // Switched on: the held job prints at the queue's next try, and the next
  // sale on the serial port follows within a second, as at a busy till.
  ::unlink((device_ + "/off").c_str());
  constexpr int kPrinterStopped = 5;
  if (cups_.PrinterState("Till") == kPrinterStopped) {
    ASSERT_TRUE(cups_.Resume("Till"));
  }
  ASSERT_TRUE(cups_.WaitJobState(job, 9, 40000)) << cups_.ErrorLog();
  const TillReceipt next = Sale("R3006");
  ASSERT_TRUE(shop_.WriteTill(next.bytes));

  ASSERT_TRUE(WaitUntil([&] { return shop_.Uploads().size() >= 2; }, 20000))
      << "a sale was taken for a reprint of the other; log:\n"
      << shop_.AgentLog();
  std::vector<std::string> uploaded;
  for (const auto& path : shop_.Uploads()) uploaded.push_back(ReadFile(path));
  EXPECT_EQ(uploaded.size(), 2u);
  EXPECT_NE(std::find(uploaded.begin(), uploaded.end(), held.bytes), uploaded.end()) << "the held job, on its own";
  EXPECT_NE(std::find(uploaded.begin(), uploaded.end(), next.bytes), uploaded.end()) << "the serial sale, on its own";
  EXPECT_NE(shop_.AgentLog().find("waited"), std::string::npos);
  EXPECT_TRUE(WaitUntil([&] { return Extras(shop_, {next.bytes}).size() == 2; }, 10000))
      << "each sale gets its additional receipt";
}

}  // namespace
}  // namespace tillcast::test
