// The capture-file checks and the duplicate rule of the additional receipt,
// on a fake clock; the upload itself goes to a refused port here.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/net_mgr.h"
#include "net_fixture.h"
#include "net_test_support.h"
#include "platform/clock.h"

namespace tillcast {
namespace {

using test::Gbk;

class ReceiptRuleTest : public test::NetFixture {
 protected:
  void SetUp() override {
    NetFixture::SetUp();
    net_.SetReceiptRenderer([this](const std::string& ticket, const std::string& templ) {
      rendered_.push_back(ticket + "|" + templ);
      return true;
    });
  }
  // A capture file of `size` bytes holding GBK text.
  std::string Capture(size_t size, const std::string& extra = "") {
    std::string text = Gbk("合计：12.50 ") + extra;
    while (text.size() < size) text += 'x';
    text.resize(size);
    const std::string path = dir_.Sub("capture" + std::to_string(++files_) + ".dat");
    test::WriteFile(path, text);
    return path;
  }

  platform::FakeClock clock_{100000};
  NetMgr net_{&clock_};
  std::vector<std::string> rendered_;
  int files_ = 0;
};

TEST_F(ReceiptRuleTest, CapturesTwoSecondsApartAlternateAndAPauseStartsANewRun) {
  data().SetBindInfo("RedisConfigReceiptKey", "{\"format\":\"json\"}");
  const struct {
    uint32_t advance;
    bool taken;
  } steps[] = {{0, true}, {2000, false}, {2000, true}, {2000, false}, {6000, true}, {5000, false}, {5001, true}};
  // 5000 ms exactly is still within the run: only a longer pause resets.
  int i = 0;
  for (const auto& s : steps) {
    clock_.Advance(s.advance);
    EXPECT_EQ(net_.PrintAddtionalReceipt("ticket"), s.taken) << "step " << i++;
  }
  EXPECT_EQ(rendered_.size(), 4u);
  EXPECT_EQ(rendered_[0], "ticket|{\"format\":\"json\"}");
  EXPECT_TRUE(log_.Contains("[INFO]: PrintAddtionalReceipt return  false\r\n"));
}

TEST_F(ReceiptRuleTest, RuleHoldsAcrossTickWrapAndEarlyTicks) {
  for (const uint32_t start : {0xFFFFF000u, 1000u}) {
    NetMgr net(&clock_);
    clock_.Set(start);
    EXPECT_TRUE(net.PrintAddtionalReceipt("a"));
    clock_.Advance(3000);
    EXPECT_FALSE(net.PrintAddtionalReceipt("b")) << start;
  }
}

TEST_F(ReceiptRuleTest, WithoutTemplateOrRendererTheReceiptStillCounts) {
  EXPECT_TRUE(net_.PrintAddtionalReceipt("t"));
  EXPECT_TRUE(rendered_.empty());  // nothing bound, nothing rendered
  NetMgr bare(&clock_);
  data().SetBindInfo("RedisConfigReceiptKey", "{}");
  EXPECT_TRUE(bare.PrintAddtionalReceipt("t"));
  EXPECT_TRUE(log_.Contains("[WARNING]: PrintAddtionalReceipt: no receipt renderer"));
}

TEST_F(ReceiptRuleTest, SmallPlainAndVoucherCapturesAreNotUploaded) {
  test::RawServer refused("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
  data().SetConfig("URL", refused.url());
  data().SetBindInfo("appId", "app-1");

  // 99 bytes: refused and the run restarts.
  EXPECT_TRUE(net_.PrintAddtionalReceipt("first of a run"));
  const std::string small = Capture(99);
  EXPECT_FALSE(net_.UploadTicketInfoFile(small));
  EXPECT_TRUE(log_.Contains(Gbk("小票文件：") + small + Gbk("  大小<100 不上传")));
  EXPECT_TRUE(net_.PrintAddtionalReceipt("taken again after the reset"));

  // ASCII only: refused, run restarts.
  std::string ascii(150, 'A');
  test::WriteFile(dir_.Sub("ascii.dat"), ascii);
  EXPECT_FALSE(net_.UploadTicketInfoFile(dir_.Sub("ascii.dat")));
  EXPECT_TRUE(log_.Contains("[INFO]: IsHasChinese false!"));

  // A payment voucher: refused without touching the run.
  EXPECT_FALSE(net_.UploadTicketInfoFile(Capture(200, Gbk("支付凭证"))));
  EXPECT_TRUE(net_.UploadTicketInfoFile(Capture(100)));
  EXPECT_EQ(refused.Requests().size(), 1u);
  // The next capture within 5 s is the dropped duplicate.
  EXPECT_FALSE(net_.UploadTicketInfoFile(Capture(120)));
  EXPECT_EQ(refused.Requests().size(), 1u);

  EXPECT_FALSE(net_.UploadTicketInfoFile(dir_.Sub("missing.dat")));
  EXPECT_TRUE(log_.Contains(Gbk("上传小票文件打开失败！ file:") + dir_.Sub("missing.dat")));
}

TEST_F(ReceiptRuleTest, TheRuleJudgesTheTicksTheCapturesWereFinishedAtNotWhenTheWorkerGetsToThem) {
  data().SetBindInfo("RedisConfigReceiptKey", "{\"format\":\"json\"}");
  data().SetBindInfo("appId", "app-1");
  const std::string sale = test::ReadFile(Capture(150));
  std::string body;
  // Two sales 6 s apart; the worker was held up by the printer and handles
  // them 20 s late, one right after the other.
  clock_.Advance(20000);
  EXPECT_TRUE(net_.PrepareTicketUpload(sale, "a.dat", 100000, TicketAge::kFresh, &body));
  EXPECT_FALSE(body.empty());
  EXPECT_TRUE(net_.PrepareTicketUpload(sale, "b.dat", 106000, TicketAge::kFresh, &body));
  // Within 5 s by their ticks: the reprint is dropped.
  EXPECT_FALSE(net_.PrepareTicketUpload(sale, "c.dat", 108000, TicketAge::kFresh, &body));
  EXPECT_EQ(rendered_.size(), 2u);
  // A capture an earlier run left: checked and signed, but no additional
  // receipt and no effect on the rule.
  EXPECT_TRUE(net_.PrepareTicketUpload(sale, "left.dat", 108500, TicketAge::kLate, &body));
  EXPECT_TRUE(net_.PrepareTicketUpload(sale, "d.dat", 114000, TicketAge::kFresh, &body));
  EXPECT_EQ(rendered_.size(), 3u);
  EXPECT_FALSE(net_.PrepareTicketUpload(std::string(150, 'A'), "ascii.dat", 200000, TicketAge::kLate, &body));
}

TEST_F(ReceiptRuleTest, HeldCapturesAreJudgedAmongThemselvesAndLeaveTheRunOfFreshOnesAlone) {
  data().SetBindInfo("RedisConfigReceiptKey", "{\"format\":\"json\"}");
  data().SetBindInfo("appId", "app-1");
  const std::string sale = test::ReadFile(Capture(150));
  std::string body;
  // The printer comes back: a queue lets go of two jobs the till printed
  // 40 s and 30 s before, and a sale on the serial port comes right after.
  EXPECT_TRUE(net_.PrepareTicketUpload(sale, "fresh1.dat", 100000, TicketAge::kFresh, &body));
  EXPECT_TRUE(net_.PrepareTicketUpload(sale, "held1.dat", 60000, TicketAge::kHeld, &body)) << "not a reprint of fresh1";
  EXPECT_TRUE(net_.PrepareTicketUpload(sale, "held2.dat", 70000, TicketAge::kHeld, &body))
      << "printed 10 s after held1";
  EXPECT_FALSE(net_.PrepareTicketUpload(sale, "fresh2.dat", 101000, TicketAge::kFresh, &body))
      << "the fresh run is as it was: fresh2 is fresh1's reprint";
  // The till printed a job twice while the printer was away: the second
  // copy is the reprint, as it would have been at once.
  EXPECT_FALSE(net_.PrepareTicketUpload(sale, "held2-copy.dat", 71500, TicketAge::kHeld, &body));
  EXPECT_EQ(rendered_.size(), 3u);
}

TEST_F(ReceiptRuleTest, BindingWithoutDeviceKeySendsNothing) {
  test::RawServer server("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n{}");
  data().SetConfig("URL", server.url());
  EXPECT_FALSE(net_.GetConnectionInfo());
  EXPECT_EQ(server.Connections(), 0);
  EXPECT_FALSE(log_.Contains("GetConnectionInfo"));
}

TEST_F(ReceiptRuleTest, UploadWithoutAppIdIsRefusedLocally) {
  test::RawServer server("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
  data().SetConfig("URL", server.url());
  EXPECT_FALSE(net_.UploadTicketInfo("QUJD"));
  EXPECT_TRUE(log_.Contains(Gbk("小票上传失败 appid  无效")));
  EXPECT_EQ(server.Connections(), 0);
}

}  // namespace
}  // namespace tillcast
