// The road of one printed sale receipt: bytes at the till port reach the
// printer unchanged, are uploaded once, signed, and bring the additional
// receipt out of the printer; payment vouchers and ASCII-only prints stay
// local.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <thread>

#include "shop.h"
#include "support/subprocess.h"

namespace tillcast::test {
namespace {

std::string U8(const char8_t* s) { return reinterpret_cast<const char*>(s); }

// The demo store with a template whose rule pulls the total out of the
// receipt and puts it into a QR code.
std::string CloudData() {
  return U8(u8R"J({"stores":[{"storeId":"store-e2e","storeCode":"E2E","storeName":"测试门店",
    "secret":"e2e-store-secret",
    "receiptTemplate":{"format":"json","rules":{"total":"合计：\\s*([0-9.]+)"},"row-width":32,
      "rows":[{"cols":[{"content-type":"txt","content":"感谢光临","align":"center"}]},
              {"cols":[{"content-type":"2d-code","content":"https://e2e.example/r?t=total[1]","align":"center","scale":4}]}]},
    "devices":[{"deviceKey":"DEMO-KEY-0001","deviceId":"dev-0001","deviceName":"收银台1","appId":"app-e2e"}]}]})J");
}

// Receipts under 100 bytes are never uploaded: these are all longer.
std::string Receipt(const std::string& utf8_body) {
  return std::string("\x1b@\x1c&") + Gbk(utf8_body) + "\n\n\n\x1dV\x01";
}
std::string Receipt(const char8_t* utf8_body) { return Receipt(U8(utf8_body)); }

// Waits for a document with exactly `bytes` (the till's print passed on).
bool WaitPrinted(Shop& shop, const std::string& bytes, int timeout_ms) {
  return WaitUntil(
      [&] {
        for (const auto& d : shop.Printed())
          if (d.Bytes() == bytes) return true;
        return false;
      },
      timeout_ms);
}

// How many capture files the agent has taken up so far.
size_t CapturesHandled(const Shop& shop) {
  const std::string log = shop.AgentLog();
  size_t n = 0;
  for (size_t at = log.find("UploadTicketInfoFile "); at != std::string::npos;
       at = log.find("UploadTicketInfoFile ", at + 1))
    ++n;
  return n;
}

// Prints as its own burst: waits until the agent has taken it up, so the
// next print does not join the same capture file.
void PrintAlone(Shop& shop, const std::string& bytes) {
  const size_t before = CapturesHandled(shop);
  ASSERT_TRUE(shop.WriteTill(bytes));
  ASSERT_TRUE(WaitPrinted(shop, bytes, 10000)) << "the till's bytes did not reach the printer unchanged";
  ASSERT_TRUE(WaitUntil([&] { return CapturesHandled(shop) > before; }, 10000))
      << "the capture was never taken up (no \"UploadTicketInfoFile\" log line)";
}

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

TEST(SaleReceiptRoad, CapturedUploadedAndAdditionalReceiptPrinted) {
  Shop shop;
  shop.SetCloudData(CloudData());
  std::string why;
  ASSERT_TRUE(shop.Start(&why)) << why;
  ASSERT_TRUE(shop.WaitReady(20000)) << "agent not bound/connected; log:\n" << shop.AgentLog();

  const std::string sale = Receipt(u8"测试门店\n小票号 R1001\n收银员 01  款台 1\n矿泉水 x2            5.00\n三明治 x1           31.50\n合计：36.50\n实收：40.00  找零：3.50\n谢谢惠顾");
  ASSERT_TRUE(shop.WriteTill(sale));
  ASSERT_TRUE(WaitPrinted(shop, sale, 10000)) << "the till's bytes did not reach the printer unchanged";

  if (!WaitUntil([&] { return !shop.Uploads().empty(); }, 15000)) {
    FAIL() << "no upload at the simulator; log:\n" << shop.AgentLog();
  }
  // Stored by the simulator only when the signature checked out.
  ASSERT_EQ(shop.Uploads().size(), 1u);
  EXPECT_EQ(ReadFile(shop.Uploads()[0]), sale);
  EXPECT_TRUE(WaitUntil([&] { return !HasCaptureFiles(shop.DataFolder()); }, 5000)) << "capture file left behind";

  // The additional receipt: the passed-on sale plus one more document.
  ASSERT_TRUE(WaitUntil([&] { return shop.Printed().size() >= 2; }, 10000)) << "no additional receipt printed";
  const auto docs = shop.Printed();
  PrintedDoc extra;
  for (const auto& d : docs)
    if (d.Bytes() != sale) extra = d;
  ASSERT_FALSE(extra.base.empty());
  if (RunProgram({"/bin/sh", "-c", "command -v zbarimg >/dev/null"}, {}, 5000) == 0) {
    EXPECT_EQ(Zbar(extra.Png()), "https://e2e.example/r?t=36.50");
  }
}

TEST(SaleReceiptRoad, VoucherAndAsciiOnlyPrintsAreNotUploaded) {
  Shop shop;
  shop.SetCloudData(CloudData());
  std::string why;
  ASSERT_TRUE(shop.Start(&why)) << why;
  ASSERT_TRUE(shop.WaitReady(20000)) << "agent not bound/connected; log:\n" << shop.AgentLog();

  const std::string voucher = Receipt(u8"测试门店\n支付凭证\n微信支付            36.50\n交易单号 420000123456789\n商户号 1234567890\n请妥善保管");
  const std::string ascii = Receipt(u8"TEST PAGE\nprinter self check, nothing else\n0123456789 0123456789 0123456789\nabcdefghijklmnopqrstuvwxyz\nEND OF TEST");
  ASSERT_NO_FATAL_FAILURE(PrintAlone(shop, voucher));
  ASSERT_NO_FATAL_FAILURE(PrintAlone(shop, ascii));

  // A real sale after them is uploaded; captures are handled one after the
  // other, so the two before it have been decided by then.
  const std::string sale = Receipt(u8"测试门店\n小票号 R1002\n收银员 01  款台 1\n面包 x1             12.00\n合计：12.00\n实收：12.00  找零：0.00\n谢谢惠顾");
  ASSERT_TRUE(shop.WriteTill(sale));
  ASSERT_TRUE(WaitPrinted(shop, sale, 10000));
  if (!WaitUntil([&] { return !shop.Uploads().empty(); }, 15000)) {
    FAIL() << "no upload at the simulator; log:\n" << shop.AgentLog();
  }
  const auto uploads = shop.Uploads();
  ASSERT_EQ(uploads.size(), 1u);
  EXPECT_EQ(ReadFile(uploads[0]), sale);
}

// The documents printed besides the till's own prints.
std::vector<PrintedDoc> Extras(const Shop& shop, const std::vector<std::string>& sales) {
  std::vector<PrintedDoc> out;
  for (const auto& d : shop.Printed())
    if (std::find(sales.begin(), sales.end(), d.Bytes()) == sales.end()) out.push_back(d);
  return out;
}

TEST(SaleReceiptRoad, SalesLessThanFiveSecondsApartTakeEveryOther) {
  Shop shop;
  shop.SetCloudData(CloudData());
  std::string why;
  ASSERT_TRUE(shop.Start(&why)) << why;
  ASSERT_TRUE(shop.WaitReady(20000)) << "agent not bound/connected; log:\n" << shop.AgentLog();

  std::vector<std::string> sales;
  for (const char* no : {"R2001", "R2002", "R2003"})
    sales.push_back(Receipt(U8(u8"测试门店\n小票号 ") + no +
                            U8(u8"\n矿泉水 x1            2.50\n合计：2.50\n实收：2.50  找零：0.00\n谢谢惠顾")));
  const auto start = std::chrono::steady_clock::now();
  for (size_t i = 0; i < sales.size(); ++i) {
    std::this_thread::sleep_until(start + std::chrono::seconds(2 * i));
    ASSERT_TRUE(shop.WriteTill(sales[i]));
  }
  ASSERT_TRUE(WaitUntil([&] { return CapturesHandled(shop) >= 3; }, 15000)) << shop.AgentLog();
  ASSERT_TRUE(WaitUntil([&] { return shop.Uploads().size() >= 2 && Extras(shop, sales).size() >= 2; }, 10000))
      << "the third sale did not start a new run; log:\n" << shop.AgentLog();
  std::this_thread::sleep_for(std::chrono::seconds(1));  // nothing more may come
  const auto uploads = shop.Uploads();
  ASSERT_EQ(uploads.size(), 2u);
  EXPECT_EQ(ReadFile(uploads[0]), sales[0]);
  EXPECT_EQ(ReadFile(uploads[1]), sales[2]);
  EXPECT_EQ(Extras(shop, sales).size(), 2u);
}

TEST(SaleReceiptRoad, NotifiedTemplateChangeIsUsedOnTheNextSale) {
  Shop shop;
  shop.SetCloudData(CloudData());
  std::string why;
  ASSERT_TRUE(shop.Start(&why)) << why;
  ASSERT_TRUE(shop.WaitReady(20000)) << "agent not bound/connected; log:\n" << shop.AgentLog();

  const std::string first = Receipt(u8"测试门店\n小票号 R3001\n面包 x1             12.00\n合计：12.00\n实收：12.00  找零：0.00\n谢谢惠顾");
  ASSERT_TRUE(shop.WriteTill(first));
  ASSERT_TRUE(WaitUntil([&] { return Extras(shop, {first}).size() == 1; }, 15000)) << shop.AgentLog();
  const auto first_taken = std::chrono::steady_clock::now();
  EXPECT_NE(Extras(shop, {first})[0].Text().find(U8(u8"感谢光临")), std::string::npos);

  const std::string member_day = U8(u8"会员日双倍积分");
  ASSERT_TRUE(shop.SetTemplate("store-e2e", U8(u8R"J({"format":"json","row-width":32,
      "rows":[{"cols":[{"content-type":"txt","content":"会员日双倍积分","align":"center"}]}]})J")));
  ASSERT_TRUE(shop.PushNotify("receipt template changed"));
  // The agent fetches the connection again: the new template is in its log.
  ASSERT_TRUE(WaitUntil([&] { return shop.AgentLog().find(member_day) != std::string::npos; }, 15000))
      << "the notify element did not make the agent fetch its connection again; log:\n" << shop.AgentLog();

  // A sale within 5 s of the last one would be skipped by design.
  std::this_thread::sleep_until(first_taken + std::chrono::milliseconds(5500));
  const std::string second = Receipt(u8"测试门店\n小票号 R3002\n牛奶 x1              6.00\n合计：6.00\n实收：6.00  找零：0.00\n谢谢惠顾");
  ASSERT_TRUE(shop.WriteTill(second));
  ASSERT_TRUE(WaitUntil([&] { return Extras(shop, {first, second}).size() == 2; }, 15000)) << shop.AgentLog();
  const std::string text = Extras(shop, {first, second})[1].Text();
  EXPECT_NE(text.find(member_day), std::string::npos) << text;
  EXPECT_EQ(text.find(U8(u8"感谢光临")), std::string::npos) << text;
}

}  // namespace
}  // namespace tillcast::test
