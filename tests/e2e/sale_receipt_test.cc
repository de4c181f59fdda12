// The road of one printed sale receipt: bytes at the till port reach the
// printer unchanged, are uploaded once, signed, and bring the additional
// receipt out of the printer; payment vouchers and ASCII-only prints stay
// local. Receipts are written as tills write them (till_corpus.h): ESC/POS
// with zero bytes, logos, single-byte writes.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <thread>

#include "sale_road.h"
#include "shop.h"
#include "support/subprocess.h"
#include "support/till_corpus.h"

namespace tillcast::test {
namespace {

std::string Zbar(const std::string& png) {
  const std::string out = png + ".zbar";
  const int rc = RunProgram({"/bin/sh", "-c", "zbarimg -q --raw '" + png + "' > '" + out + "' 2>/dev/null"}, {}, 20000);
  std::string text = rc == 0 ? ReadFile(out) : "";
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

bool HasCaptureFiles(const std::string& folder) {
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(folder, ec))
    if (e.path().filename().string().rfind("parallel", 0) == 0) return true;
  return false;
}

// The sale road's store, the agent bound and connected.
class SaleReceiptRoad : public ::testing::Test {
 protected:
  void SetUp() override {
    shop_.SetCloudData(SaleRoadCloudData());
    ASSERT_TRUE(shop_.StartReady());
  }

  Shop shop_;
};

TEST_F(SaleReceiptRoad, CapturedUploadedAndAdditionalReceiptPrinted) {
  // A receipt with a logo, written command byte by command byte with a
  // pause after each write as at 9600 baud: the driver delivers single
  // bytes, zero bytes among them.
  const TillReceipt sale = Sale("R1001", 96);
  ASSERT_GT(sale.bytes.size(), 4000u);
  ASSERT_TRUE(shop_.WriteTillWrites(sale.writes, 200));
  ASSERT_TRUE(WaitPrinted(shop_, sale.bytes, 10000)) << "the till's bytes did not reach the printer unchanged";

  if (!WaitUntil([&] { return !shop_.Uploads().empty(); }, 15000)) {
    FAIL() << "no upload at the simulator; log:\n" << shop_.AgentLog();
  }
  // Stored by the simulator only when the signature checked out.
  ASSERT_EQ(shop_.Uploads().size(), 1u);
  EXPECT_TRUE(ReadFile(shop_.Uploads()[0]) == sale.bytes) << "the upload is not what the till wrote";
  EXPECT_TRUE(WaitUntil([&] { return !HasCaptureFiles(shop_.DataFolder()); }, 5000)) << "capture file left behind";

  // The additional receipt: the passed-on sale plus one more document, with
  // the values the rules pulled out of the receipt past its zero bytes.
  ASSERT_TRUE(WaitUntil([&] { return shop_.Printed().size() >= 2; }, 10000)) << "no additional receipt printed";
  const auto docs = shop_.Printed();
  PrintedDoc extra;
  for (const auto& d : docs)
    if (d.Bytes() != sale.bytes) extra = d;
  ASSERT_FALSE(extra.base.empty());
  const std::string text = extra.Text();
  EXPECT_NE(text.find("R1001"), std::string::npos) << text;
  EXPECT_EQ(text.find("no[1]"), std::string::npos) << "a placeholder reached the customer: " << text;
  if (RunProgram({"/bin/sh", "-c", "command -v zbarimg >/dev/null"}, {}, 5000) == 0) {
    EXPECT_EQ(Zbar(extra.Png()), "https://e2e.example/r?t=" + sale.total);
  }
}

TEST_F(SaleReceiptRoad, CorpusReceiptsInTillWritesAreUploadedByteForByte) {
  // Short, with a logo, with many items, and a large one: each its own sale,
  // more than 5 s apart so that every one brings its additional receipt.
  const std::vector<TillReceipt> corpus = SaleCorpus("2024050200000000");
  std::vector<std::string> sales;
  for (size_t i = 0; i < corpus.size(); ++i) {
    const auto start = std::chrono::steady_clock::now();
    const size_t before = CapturesHandled(shop_);
    ASSERT_TRUE(shop_.WriteTillWrites(corpus[i].writes));
    sales.push_back(corpus[i].bytes);
    ASSERT_TRUE(WaitUntil([&] { return CapturesHandled(shop_) > before; }, 20000)) << shop_.AgentLog();
    if (i + 1 < corpus.size()) std::this_thread::sleep_until(start + std::chrono::milliseconds(5200));
  }
  ASSERT_TRUE(WaitUntil([&] { return shop_.Uploads().size() >= corpus.size(); }, 20000)) << shop_.AgentLog();
  const auto uploads = shop_.Uploads();
  ASSERT_EQ(uploads.size(), corpus.size());
  for (size_t i = 0; i < corpus.size(); ++i)
    EXPECT_TRUE(ReadFile(uploads[i]) == corpus[i].bytes) << "upload " << i << " is not what the till wrote";
  ASSERT_TRUE(WaitUntil([&] { return Extras(shop_, sales).size() >= corpus.size(); }, 20000));
  const auto extras = Extras(shop_, sales);
  for (size_t i = 0; i < corpus.size(); ++i) {
    const std::string text = extras[i].Text();
    EXPECT_NE(text.find(corpus[i].receipt_no), std::string::npos) << i << ": " << text;
  }
}

TEST_F(SaleReceiptRoad, VoucherAndAsciiOnlyPrintsAreNotUploaded) {
  SaleShape voucher_shape;
  voucher_shape.payment_voucher = true;
  voucher_shape.receipt_no = "R1002";
  const TillReceipt voucher = SaleReceipt(voucher_shape);
  const std::string ascii = std::string("\x1b@\x1b!\x00", 5) +
                            "TEST PAGE\nprinter self check, nothing else\n0123456789 0123456789 0123456789\n"
                            "abcdefghijklmnopqrstuvwxyz\nEND OF TEST\n\n\n\x1dV\x01";
  ASSERT_NO_FATAL_FAILURE(PrintAlone(shop_, voucher.bytes));
  ASSERT_NO_FATAL_FAILURE(PrintAlone(shop_, ascii));

  // A real sale after them is uploaded; captures are handled one after the
  // other, so the two before it have been decided by then.
  const TillReceipt sale = Sale("R1003");
  ASSERT_TRUE(shop_.WriteTillWrites(sale.writes));
  ASSERT_TRUE(WaitPrinted(shop_, sale.bytes, 10000));
  if (!WaitUntil([&] { return !shop_.Uploads().empty(); }, 15000)) {
    FAIL() << "no upload at the simulator; log:\n" << shop_.AgentLog();
  }
  const auto uploads = shop_.Uploads();
  ASSERT_EQ(uploads.size(), 1u);
  EXPECT_TRUE(ReadFile(uploads[0]) == sale.bytes);
}

TEST_F(SaleReceiptRoad, SalesLessThanFiveSecondsApartTakeEveryOther) {
  std::vector<TillReceipt> receipts;
  std::vector<std::string> sales;
  for (const char* no : {"R2001", "R2002", "R2003"}) {
    receipts.push_back(Sale(no));
    sales.push_back(receipts.back().bytes);
  }
  const auto start = std::chrono::steady_clock::now();
  for (size_t i = 0; i < sales.size(); ++i) {
    std::this_thread::sleep_until(start + std::chrono::seconds(2 * i));
    ASSERT_TRUE(shop_.WriteTillWrites(receipts[i].writes));
  }
  ASSERT_TRUE(WaitUntil([&] { return CapturesHandled(shop_) >= 3; }, 15000)) << shop_.AgentLog();
  ASSERT_TRUE(WaitUntil([&] { return shop_.Uploads().size() >= 2 && Extras(shop_, sales).size() >= 2; }, 10000))
      << "the third sale did not start a new run; log:\n"
      << shop_.AgentLog();
  std::this_thread::sleep_for(std::chrono::seconds(1));  // nothing more may come
  const auto uploads = shop_.Uploads();
  ASSERT_EQ(uploads.size(), 2u);
  EXPECT_TRUE(ReadFile(uploads[0]) == sales[0]);
  EXPECT_TRUE(ReadFile(uploads[1]) == sales[2]);
  EXPECT_EQ(Extras(shop_, sales).size(), 2u);
}

TEST_F(SaleReceiptRoad, NotifiedTemplateChangeIsUsedOnTheNextSale) {
  const TillReceipt first_sale = Sale("R3001");
  const std::string first = first_sale.bytes;
  ASSERT_TRUE(shop_.WriteTillWrites(first_sale.writes));
  ASSERT_TRUE(WaitUntil([&] { return Extras(shop_, {first}).size() == 1; }, 15000)) << shop_.AgentLog();
  const auto first_taken = std::chrono::steady_clock::now();
  EXPECT_NE(Extras(shop_, {first})[0].Text().find(U8(u8"感谢光临")), std::string::npos);

  const std::string member_day = U8(u8"会员日双倍积分");
  ASSERT_TRUE(shop_.SetTemplate("store-e2e", U8(u8R"J({"format":"json","row-width":32,
      "rows":[{"cols":[{"content-type":"txt","content":"会员日双倍积分","align":"center"}]}]})J")));
  ASSERT_TRUE(shop_.PushNotify("receipt template changed"));
  // The agent fetches the connection again: the new template is in its log.
  ASSERT_TRUE(WaitUntil([&] { return shop_.AgentLog().find(member_day) != std::string::npos; }, 15000))
      << "the notify element did not make the agent fetch its connection again; log:\n"
      << shop_.AgentLog();

  // A sale within 5 s of the last one would be skipped by design.
  std::this_thread::sleep_until(first_taken + std::chrono::milliseconds(5500));
  const TillReceipt second_sale = Sale("R3002", 48);
  const std::string second = second_sale.bytes;
  ASSERT_TRUE(shop_.WriteTillWrites(second_sale.writes));
  ASSERT_TRUE(WaitUntil([&] { return Extras(shop_, {first, second}).size() == 2; }, 15000)) << shop_.AgentLog();
  const std::string text = Extras(shop_, {first, second})[1].Text();
  EXPECT_NE(text.find(member_day), std::string::npos) << text;
  EXPECT_EQ(text.find(U8(u8"感谢光临")), std::string::npos) << text;
}

}  // namespace
}  // namespace tillcast::test
