#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/text_util.h"
#include "data/data_mgr.h"
#include "support/test_support.h"

namespace tillcast {
namespace {

using test::Gbk;
using Bytes = std::vector<unsigned char>;
using Lines = std::vector<std::string>;

class PrintJobTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetDataFolderForTest();
    mgr.ResetForTest();
    mgr.Init();
  }
  void TearDown() override {
    mgr.ResetForTest();
    ResetDataFolderForTest();
  }
  void UseRecordingPrinter(bool ok) {
    mgr.SetRawPrinter([this, ok](const Bytes& bytes, const RawPrintTry&) {
      printed_.push_back(bytes);
      return ok ? RawPrintResult::kPrinted : RawPrintResult::kFailed;
    });
  }
  // The log lines `job` adds, without time stamps and empty lines.
  Lines Process(const std::string& job) {
    const size_t before = log_.Text().size();
    mgr.ProcessPrintJob(job);
    Lines lines;
    for (const std::string& line : test::SplitLines(log_.Text().substr(before))) {
      if (!line.empty()) lines.push_back(line.substr(line.find('[')));
    }
    return lines;
  }
  static std::string Info(const char* utf8) { return "[INFO]: " + Gbk(utf8); }

  DataMgr& mgr = DataMgr::GetInstance();
  test::TempDir dir_;
  test::ScopedEnv env_{"XDG_DATA_HOME", dir_.path()};
  test::ScopedLog log_;
  std::vector<Bytes> printed_;
};

TEST_F(PrintJobTest, JobsAreDispatchedOnTheirFormat) {
  const Lines printedOk = {Info("开始解析一条数据"), Info("开始打印一条数据"), Info("打印数据准备完毕"),
                           Info("打印完成,job_id:j-1")};
  const struct {
    const char* name;
    const char* job;
    const char* closePrint;
    std::vector<Bytes> printed;
    Lines lines;
  } cases[] = {
      {"raw", R"({"format":"escpos","data":"G0A=","job_id":"j-1"})", "false", {{0x1B, 0x40}}, printedOk},
      {"line break",
       R"({"format":"escpos","data":"G0BB\nQUJD","job_id":"j-1"})",
       "false",
       {{0x1B, 0x40, 0x41}},
       printedOk},
      {"blocked",
       R"({"format":"escpos","data":"G0A=","job_id":"j-1"})",
       "true",
       {},
       {Info("开始解析一条数据"), Info("收到屏蔽的打印信息")}},
      {"no format", R"({"data":"G0A=","job_id":"j-1"})", "false", {}, {Info("开始解析一条数据")}},
      {"driver", R"({"format":"driver","data":"G0A="})", "false", {}, {Info("开始解析一条数据")}},
      {"format not text", R"({"format":7,"data":"G0A="})", "false", {}, {Info("开始解析一条数据")}},
      {"unparsable", R"({"format":"escpos")", "false", {}, {Info("开始解析一条数据"), Info("解析数据失败")}},
  };
  UseRecordingPrinter(true);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    printed_.clear();
    mgr.SetConfig("ClosePrint", c.closePrint);
    EXPECT_EQ(Process(c.job), c.lines);
    EXPECT_EQ(printed_, c.printed);
  }
}

TEST_F(PrintJobTest, UnreachablePrinterIsLoggedWithTheJobId) {
  const std::string job = R"({"format":"escpos","data":"G0A=","job_id":"j-9"})";
  Lines lines = Process(job);  // no printer module plugged in
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[3], "[ERROR]: " + Gbk("打开端口错误：GetLastError:2"));
  EXPECT_EQ(lines[4], "[ERROR]: " + Gbk("打印失败,job_id:j-9"));

  UseRecordingPrinter(false);
  lines = Process(job);
  EXPECT_EQ(printed_.size(), 1u);
  EXPECT_EQ(lines.back(), "[ERROR]: " + Gbk("打印失败,job_id:j-9"));
}

TEST_F(PrintJobTest, OrderJobStartsTheOrderQuery) {
  Lines queried;
  mgr.SetOrderQuery([&queried](const std::string& order_no) { queried.push_back(order_no); });
  Process(R"({"format":"cvs_order_info","order_no":"R20240101001"})");
  Process(R"({"format":"cvs_order_info","order_no":12345})");
  EXPECT_EQ(queried, Lines{"R20240101001"});
  mgr.SetOrderQuery(nullptr);
  Process(R"({"format":"cvs_order_info","order_no":"R2"})");  // not plugged in: dropped
  EXPECT_EQ(queried.size(), 1u);
}

using OrderTest = PrintJobTest;

TEST_F(OrderTest, OrderReplyIsQueuedWithConvertedFields) {
  ASSERT_TRUE(
      mgr.ParseOrderInfo(R"({"return_code":"SUCCESS","order":{"order_no":"R1","amount":"12.50","pay_amount":"12.00",)"
                         R"("pay_time":"2024-01-01 10:00","total_number":"3","items":[7,)"
                         R"({"item_name":"矿泉水","sale_price":"2.50","quantity":"2","amount":"5.00"},)"
                         R"({"item_name":"面包","quantity":2}]}})"));
  OrderInfo out;
  ASSERT_TRUE(mgr.PopOrderInfo(out));
  EXPECT_EQ(out.order_no, "R1");
  EXPECT_EQ(out.amount, "12.50");
  EXPECT_EQ(out.pay_amount, "12.00");
  EXPECT_EQ(out.pay_time, "2024-01-01 10:00");
  EXPECT_EQ(out.total_number, 3);
  ASSERT_EQ(out.items.size(), 2u);
  EXPECT_EQ(out.items[0].item_name, Gbk("矿泉水"));
  EXPECT_EQ(out.items[0].sale_price, "2.50");
  EXPECT_EQ(out.items[0].amount, "5.00");
  EXPECT_EQ(out.items[0].quantity, 2);
  EXPECT_EQ(out.items[1].quantity, 0);  // a number is not read
}

TEST_F(OrderTest, TotalNumberIsAnIntegerOrDecimalText) {
  const std::pair<const char*, int32_t> cases[] = {{"3", 3},       {"\"3\"", 3}, {"\"12abc\"", 12},
                                                   {"\"abc\"", 0}, {"true", 0},  {"\"99999999999\"", 2147483647}};
  for (const auto& [json, expected] : cases) {
    SCOPED_TRACE(json);
    ASSERT_TRUE(mgr.ParseOrderInfo(std::string(R"({"return_code":"SUCCESS","order":{"total_number":)") + json + "}}"));
    OrderInfo out;
    ASSERT_TRUE(mgr.PopOrderInfo(out));
    EXPECT_EQ(out.total_number, expected);
  }
}

TEST_F(OrderTest, RefusedRepliesQueueNothing) {
  EXPECT_FALSE(mgr.ParseOrderInfo(R"({"return_code":"FAIL","return_msg":"订单不存在"})"));
  EXPECT_EQ(mgr.GetLastMessage(), Gbk("订单不存在"));
  EXPECT_TRUE(log_.Contains("[INFO]: last message:" + Gbk("订单不存在") + "\r\n"));
  EXPECT_TRUE(log_.Contains("[ERROR]: " + Gbk("订单不存在") + "\r\n"));

  mgr.SetLastMessage("");
  const std::string before = log_.Text();
  EXPECT_FALSE(mgr.ParseOrderInfo(R"({"return_msg":"x","order":{}})"));  // no return_code: silent
  EXPECT_FALSE(mgr.ParseOrderInfo(R"({"return_code":0,"return_msg":"x"})"));
  EXPECT_EQ(log_.Text(), before);
  EXPECT_EQ(mgr.GetLastMessage(), "");

  for (const char* order : {"[]", "\"R1\"", "null"}) {  // not an object: true, nothing queued
    EXPECT_TRUE(mgr.ParseOrderInfo(std::string(R"({"return_code":"SUCCESS","order":)") + order + "}")) << order;
  }
  OrderInfo out;
  EXPECT_FALSE(mgr.PopOrderInfo(out));
}

TEST_F(OrderTest, QueueIsFirstInFirstOutAndEmptyPopKeepsTheOutput) {
  for (const char* no : {"A", "B", "C"}) mgr.PushOrderInfo(OrderInfo{no, "", "", "", 0, {}});
  OrderInfo out;
  for (const char* no : {"A", "B", "C"}) {
    ASSERT_TRUE(mgr.PopOrderInfo(out));
    EXPECT_EQ(out.order_no, no);
  }
  out = OrderInfo{"keep", "1", "2", "3", 42, {OrderItem{"n", "1", "2", 3}}};
  EXPECT_FALSE(mgr.PopOrderInfo(out));
  EXPECT_EQ(out.order_no, "keep");
  EXPECT_EQ(out.total_number, 42);
  ASSERT_EQ(out.items.size(), 1u);
  EXPECT_EQ(out.items[0].quantity, 3);
}

}  // namespace
}  // namespace tillcast
