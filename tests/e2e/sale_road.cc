#include "sale_road.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "support/subprocess.h"

namespace tillcast::test {

std::string SaleRoadCloudData() {
  return U8(
      u8R"J({"stores":[{"storeId":"store-e2e","storeCode":"E2E","storeName":"测试门店",
    "secret":"e2e-store-secret",
    "receiptTemplate":{"format":"json","rules":{"total":"合计：\\s*([0-9.]+)","no":"小票号 (R\\d+)"},"row-width":32,
      "rows":[{"cols":[{"content-type":"txt","content":"感谢光临","align":"center"}]},
              {"cols":[{"content-type":"txt","content":"no[1]","align":"center"}]},
              {"cols":[{"content-type":"2d-code","content":"https://e2e.example/r?t=total[1]","align":"center","scale":4}]}]},
    "devices":[{"deviceKey":"DEMO-KEY-0001","deviceId":"dev-0001","deviceName":"收银台1","appId":"app-e2e"}]}]})J");
}

TillReceipt Sale(const std::string& no, int logo_rows) { return NumberedSale(no, logo_rows); }

bool WaitPrinted(Shop& shop, const std::string& bytes, int timeout_ms) { return shop.WaitPrinted(bytes, timeout_ms); }

size_t CapturesHandled(const Shop& shop) {
  const std::string log = shop.AgentLog();
  size_t n = 0;
  for (size_t at = log.find("UploadTicketInfoFile "); at != std::string::npos;
       at = log.find("UploadTicketInfoFile ", at + 1))
    ++n;
  return n;
}

void PrintAlone(Shop& shop, const std::string& bytes) {
  const size_t before = CapturesHandled(shop);
  ASSERT_TRUE(shop.WriteTill(bytes));
  ASSERT_TRUE(WaitPrinted(shop, bytes, 10000)) << "the till's bytes did not reach the printer unchanged";
  ASSERT_TRUE(WaitUntil([&] { return CapturesHandled(shop) > before; }, 10000))
      << "the capture was never taken up (no \"UploadTicketInfoFile\" log line)";
}

std::vector<PrintedDoc> Extras(const Shop& shop, const std::vector<std::string>& sales) {
  std::vector<PrintedDoc> out;
  for (const auto& d : shop.Printed())
    if (std::find(sales.begin(), sales.end(), d.Bytes()) == sales.end()) out.push_back(d);
  return out;
}

}  // namespace tillcast::test
