// Receipt templates: rules and placeholders, layout, and the SDK calls of a
// rendered receipt (against the recording SDK).
#include <gtest/gtest.h>

#include <set>

#include <chrono>
#include <filesystem>

#include "base/printer_settings.h"
#include "base/text_util.h"
#include "data/codec.h"
#include "print/qr_bitmap.h"
#include "print/receipt_layout.h"
#include "print/receipt_printer.h"
#include "print/receipt_template.h"
#include "print/rule_matcher.h"
#include "print_test_util.h"

namespace tillcast {
namespace {

using test::FakeSdk;
using test::Gbk;

class TemplateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(sdk_.bound());
    DataMgr::GetInstance().ResetForTest();
    test::ConfigurePort("并口", "LPT1");
  }
  void TearDown() override { DataMgr::GetInstance().ResetForTest(); }

  // Renders and returns the recorded calls between the set-up calls and the
  // closing sequence.
  std::vector<std::string> Render(const std::string& ticketUtf8, const std::string& templateText, bool* ok = nullptr) {
    sdk_.Reset();
    const bool printed = RenderReceiptIn(Gbk(ticketUtf8), templateText, dir_.path());
    if (ok != nullptr) *ok = printed;
    return sdk_.CallList();
  }
  std::vector<std::string> Body(const std::vector<std::string>& calls) {
    // Open, motion unit, mode ... feed, feed, print, clear, cut, close.
    if (calls.size() < 9) return {};
    return std::vector<std::string>(calls.begin() + 3, calls.end() - 6);
  }
  size_t FilesLeft() const {
    size_t n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir_.path())) ++n;
    return n;
  }

  FakeSdk sdk_;
  test::TempDir dir_;
  test::ScopedLog log_;
};

std::string Text(const std::string& gbk, int x, int w = 1, int h = 1, int font = 0, int style = 0) {
  return "POS_S_TextOut|" + gbk + "|" + std::to_string(x) + "|" + std::to_string(w) + "|" + std::to_string(h) + "|" +
         std::to_string(font) + "|" + std::to_string(style);
}

TEST_F(TemplateTest, FullCallSequenceOfOneRow) {
  const std::string tpl = R"J({"format":"json","rules":{"amt":"实收:(\\d+\\.\\d+)"},
    "rows":[{"cols":[{"content-type":"txt","content":"合计 amt[1] 元"}]}]})J";
  bool ok = false;
  const auto calls = Render("商品 A\r\n实收:12.50\r\n", tpl, &ok);
  EXPECT_TRUE(ok);
  const std::vector<std::string> expected = {"POS_Open|LPT1|0|0|0|0|18",
                                             "POS_SetMotionUnit|180|180",
                                             "POS_SetMode|0",
                                             Text(Gbk("合计 12.50 元"), 0),
                                             "POS_FeedLine",
                                             "POS_FeedLine",
                                             "POS_FeedLine",
                                             "POS_PL_Print",
                                             "POS_PL_Clear",
                                             "POS_CutPaper|0|0",
                                             "POS_Close"};
  EXPECT_EQ(calls, expected);
  EXPECT_TRUE(log_.Contains(Gbk("追加打印完成 ")));
}

// Patterns are searched byte by byte over the ANSI (GBK) receipt, as the
// stores' templates were written for: "." and a class take one byte each.
TEST_F(TemplateTest, RulesMatchBytesOfTheAnsiReceipt) {
  struct Case {
    const char* what;
    std::string pattern;  // UTF-8, as the template carries it
    std::string receipt;  // GBK
    std::string group1;   // GBK
  };
  const Case cases[] = {
      {"four dots after a Chinese text are two characters", "门店：(.{4})", Gbk("门店：一二三四五"), Gbk("一二")},
      {"a negated class stops at a byte", "合计：([^\r\n]+)", Gbk("合计：36.50\r\n"), "36.50"},
      // "：" is A3 BA: the class takes A3 alone, the group starts inside it.
      {"a class holding a Chinese character holds its bytes", "收银员[:：](.*)", Gbk("收银员：张三"),
       std::string("\xBA") + Gbk("张三")},
      {"an ASCII colon in the same class", "收银员[:：](.*)", Gbk("收银员:张三"), Gbk("张三")},
      {"zero bytes and printer commands are part of the text", "\\x1b!\\x00(.{6})",
       std::string("\x1b@", 2) + Gbk("门店") + std::string("\x1b!\x00", 3) + Gbk("合计：") + "\n", Gbk("合计：")},
  };
  for (const Case& c : cases) {
    std::vector<std::string> groups;
    std::string pattern;
    ASSERT_TRUE(Utf8ToAnsiExact(c.pattern, &pattern)) << c.what;
    ASSERT_TRUE(SearchRule(pattern, c.receipt, &groups)) << c.what;
    ASSERT_EQ(groups.size(), 2u) << c.what;
    EXPECT_EQ(groups[1], c.group1) << c.what;
  }
}

TEST_F(TemplateTest, RulesSeeTheWholeReceiptPastItsZeroBytes) {
  // Almost every real receipt sets its modes with parameter bytes of zero
  // right after the store name, before the values a rule looks for.
  const std::string tpl = R"J({"format":"json","rules":{"total":"合计：\\s*([0-9.]+)","no":"小票号 (R\\d+)"},
    "rows":[{"cols":[{"content-type":"txt","content":"no[1] total[1]"}]}]})J";
  const std::string receipt = std::string(
                                  "\x1b@\x1b"
                                  "a\x01",
                                  5) +
                              Gbk("测试门店") +
                              std::string(
                                  "\x1b!\x00\x1b"
                                  "a\x00",
                                  6) +
                              "\n" + Gbk("小票号 R1001\n合计：36.50\n") + std::string("\x1dV\x00", 3);
  sdk_.Reset();
  ASSERT_TRUE(RenderReceiptIn(receipt, tpl, dir_.path()));
  const auto calls = sdk_.CallList();
  ASSERT_GE(calls.size(), 4u);
  EXPECT_EQ(calls[3], Text("R1001 36.50", 0));
}

TEST_F(TemplateTest, APatternTheCodePageCannotHoldMatchesNothing) {
  // An emoji has no GBK form; as "?" it would become a quantifier.
  const std::string tpl = R"J({"format":"json","rules":{"smile":"😀(\\d+)","total":"合计：([0-9.]+)"},
    "rows":[{"cols":[{"content-type":"txt","content":"smile[1] total[1]"}]}]})J";
  ParsedTemplate parsed;
  ASSERT_EQ(ParseReceiptTemplate(Gbk("?12 合计：5.00"), tpl, &parsed), TemplateResult::kOk);
  ASSERT_EQ(parsed.rules.size(), 2u);
  EXPECT_TRUE(parsed.rules[0].groups.empty());
  EXPECT_EQ(parsed.rows[0].cells[0].content, "smile[1] 5.00");
  EXPECT_TRUE(log_.Contains("[WARNING]: template rule smile matches nothing"));
}

TEST_F(TemplateTest, PlaceholdersTakeWholeMatchGroupsAndLeaveUnmatchedRules) {
  std::vector<ReceiptRule> rules(2);
  rules[0].name = "amt";
  ASSERT_TRUE(SearchRule(Gbk("实收:(\\d+\\.\\d+)"), Gbk("x\n实收:12.50\n"), &rules[0].groups));
  rules[1].name = "none";
  EXPECT_FALSE(SearchRule("zzz(\\d)", "abc", &rules[1].groups));
  EXPECT_EQ(FillPlaceholders(Gbk("  合计 amt[1] 元 "), rules), Gbk("合计 12.50 元"));
  EXPECT_EQ(FillPlaceholders(Gbk("amt[0]"), rules), Gbk("实收:12.50"));
  EXPECT_EQ(FillPlaceholders("none[1] amt[2]", rules), "none[1] amt[2]");
}

TEST_F(TemplateTest, ReplacementIsNotScannedAgain) {
  std::vector<ReceiptRule> rules(1);
  rules[0].name = "a";
  rules[0].groups = {"a[0]a[0]", "x"};
  EXPECT_EQ(FillPlaceholders("a[0]|a[1]", rules), "a[0]a[0]|x");
}

TEST_F(TemplateTest, RulesRunInNameOrderAndGroupsThatDidNotTakePartAreEmpty) {
  const std::string tpl = R"J({"format":"json","rules":{"b":"(Y)","a":"(X)|(Z)"},
    "rows":[{"cols":[{"content-type":"txt","content":"a[1]-a[2]-b[1]"}]}]})J";
  ParsedTemplate parsed;
  ASSERT_EQ(ParseReceiptTemplate("..X..Y..", tpl, &parsed), TemplateResult::kOk);
  ASSERT_EQ(parsed.rules.size(), 2u);
  EXPECT_EQ(parsed.rules[0].name, "a");
  EXPECT_EQ(parsed.rules[0].groups, (std::vector<std::string>{"X", "X", ""}));
  EXPECT_EQ(parsed.rows[0].cells[0].content, "X--Y");
}

TEST_F(TemplateTest, WrapsLongTextAndNeverSplitsAChineseCharacter) {
  struct Case {
    std::string text;
    std::vector<std::string> lines;
  };
  const std::string ascii40(40, 'a');
  // 31 ASCII bytes, then a Chinese character across bytes 32 and 33.
  const std::string split = std::string(31, 'b') + Gbk("中") + std::string(7, 'c');
  const Case cases[] = {
      {ascii40, {std::string(32, 'a'), std::string(8, 'a')}},
      {split, {std::string(31, 'b'), Gbk("中") + std::string(7, 'c')}},
  };
  for (const Case& c : cases) {
    ReceiptRow row;
    ReceiptCell cell;
    cell.content = c.text;
    cell.width = 32;
    row.cells.push_back(cell);
    std::vector<ReceiptRow> out;
    ASSERT_TRUE(LayoutRow(&out, row));
    ASSERT_EQ(out.size(), c.lines.size());
    for (size_t i = 0; i < out.size(); ++i) EXPECT_EQ(out[i].cells[0].content, c.lines[i]);
  }
}

TEST_F(TemplateTest, ContinuationRowsRepeatPicturesAndBlankCompletedCells) {
  ReceiptRow row;
  ReceiptCell longText, shortText, qr;
  longText.content = std::string(20, 'x');
  longText.width = 10;
  shortText.content = "ok";
  shortText.width = 10;
  qr.kind = kCellQrCode;
  qr.content = "Q";
  row.cells = {longText, shortText, qr};
  std::vector<ReceiptRow> out;
  ASSERT_TRUE(LayoutRow(&out, row));
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[1].cells[0].content, std::string(10, 'x'));
  EXPECT_EQ(out[1].cells[1].content, "");
  EXPECT_EQ(out[1].cells[2].content, "Q");
}

TEST_F(TemplateTest, AlignmentPads) {
  struct Case {
    const char* align;
    int wscale;
    size_t pad;
  };
  const Case cases[] = {{"center", 1, 11}, {"center", 2, 3}, {"right", 1, 22}, {"right", 2, 6}, {"left", 1, 0}};
  for (const Case& c : cases) {
    const std::string tpl =
        std::string(R"({"format":"json","rows":[{"cols":[{"content-type":"txt","content":"0123456789","align":")") +
        c.align + R"(","wscale":)" + std::to_string(c.wscale) + "}]}]}";
    const auto body = Body(Render("", tpl));
    ASSERT_EQ(body.size(), 2u) << c.align;
    EXPECT_EQ(body[0], Text(std::string(c.pad, ' ') + "0123456789", 0, c.wscale)) << c.align << c.wscale;
  }
}

TEST_F(TemplateTest, ZeroOrNegativeWidthScaleCountsAsOne) {
  for (const char* w : {"0", "-3"}) {
    const std::string tpl =
        std::string(
            R"({"format":"json","rows":[{"cols":[{"content-type":"txt","content":"abc","align":"center","wscale":)") +
        w + "}]}]}";
    const auto body = Body(Render("", tpl));
    ASSERT_EQ(body.size(), 2u);
    EXPECT_EQ(body[0], Text(std::string(14, ' ') + "abc", 0, 1));
  }
}

TEST_F(TemplateTest, MarginsWidthsAndTextAttributes) {
  const std::string tpl = R"({"format":"json","left-margin":2,"right-margin":2,"rows":[
    {"cols":[{"content-type":"txt","content":"A","align":"right"}]},
    {"cols":[{"content-type":"txt","content":"B","width":10,"bold":1,"underline":2,"hscale":2,"font-type":1},
             {"content-type":"txt","content":"C","underline":1}]}]})";
  const auto body = Body(Render("", tpl));
  ASSERT_EQ(body.size(), 5u);
  // 28 cells after the margins; text starts 2 x 12 = 24 dots in.
  EXPECT_EQ(body[0], Text(std::string(27, ' ') + "A", 24));
  EXPECT_EQ(body[2], Text("B", 24, 1, 2, 1, 8 | 256));
  EXPECT_EQ(body[3], Text("C", 24 + 120, 1, 1, 0, 128));
}

TEST_F(TemplateTest, LineSpacingAndBlankLines) {
  const std::string tpl = R"({"format":"json","rows":[
    {"line-space":1,"blank-line":2,"cols":[{"content-type":"txt","content":"a"}]},
    {"line-space":1,"cols":[{"content-type":"txt","content":"b"}]},
    {"line-space":0.5},
    null, 17, "text",
    {"cols":{"not":"an array"}}]})";
  const auto body = Body(Render("", tpl));
  const std::vector<std::string> expected = {
      "POS_SetLineSpacing|24", Text("a", 0),  "POS_FeedLine", "POS_FeedLine",
      "POS_FeedLine",          Text("b", 0),  "POS_FeedLine", "POS_SetLineSpacing|12",
      "POS_FeedLine",          "POS_FeedLine"};
  EXPECT_EQ(body, expected);
}

TEST_F(TemplateTest, RejectedTemplatesPrintNothing) {
  const char* templates[] = {
      R"({"format":"xml","rows":[{}]})",
      R"({"rows":[{}]})",
      R"({"format":"json"})",
      R"({"format":"json","rows":[]})",
      R"({"format":"json","rows":{"a":1}})",
      R"([1,2,3])",
  };
  for (const char* tpl : templates) {
    bool ok = true;
    EXPECT_TRUE(Render("", tpl, &ok).empty()) << tpl;
    EXPECT_FALSE(ok) << tpl;
  }
  EXPECT_FALSE(log_.Contains(Gbk("小票追打解析失败")));
  bool ok = true;
  EXPECT_TRUE(Render("", "{not json", &ok).empty());
  EXPECT_FALSE(ok);
  EXPECT_TRUE(log_.Contains(Gbk("小票追打解析失败 {not json")));
}

TEST_F(TemplateTest, QrCellPrintsItsBitmapAndDeletesIt) {
  const std::string tpl = R"({"format":"json","rows":[
    {"cols":[{"content-type":"2d-code","content":"https://t.example/r/1","scale":9,"align":"center","bold":1}]},
    {"cols":[{"content-type":"2d-code","content":"x","scale":0,"align":"right","width":20}]}]})";
  const auto body = Body(Render("", tpl));
  ASSERT_EQ(body.size(), 4u);
  // 240 pixels: 62 header bytes + 32-byte rows.
  EXPECT_EQ(body[0].rfind("POS_S_DownloadAndPrintBmp|" + dir_.path() + "/", 0), 0u) << body[0];
  EXPECT_NE(body[0].find(".bmp|72|0|" + std::to_string(62 + 32 * 240)), std::string::npos) << body[0];
  // 120 pixels, right in a 240-dot cell.
  EXPECT_NE(body[2].find(".bmp|120|0|" + std::to_string(62 + 16 * 120)), std::string::npos) << body[2];
  EXPECT_EQ(FilesLeft(), 0u);
}

TEST_F(TemplateTest, PictureCellPositionsByItsWidthAndIsCleanedUp) {
  std::vector<unsigned char> bmp;
  ASSERT_TRUE(EncodeQrBitmap("p", 1, &bmp));  // a real BMP, 120 pixels wide
  const std::string b64 = Base64Encode(bmp.data(), bmp.size());
  const std::string tpl = R"({"format":"json","left-margin":1,"rows":[{"cols":[
    {"content-type":"img","content":")" +
                          b64 + R"(","align":"center","width":20}]}]})";
  const auto body = Body(Render("", tpl));
  ASSERT_EQ(body.size(), 2u);
  // "width" is not read for pictures: the cell spans the 31 cells after the
  // margin, a = 31*12 - 12 = 360, p = (360 - 120) / 2 + 12 = 132.
  EXPECT_NE(body[0].find(".dat|132|0|" + std::to_string(bmp.size())), std::string::npos) << body[0];
  EXPECT_EQ(FilesLeft(), 0u);
}

TEST_F(TemplateTest, ContinuationRowsPrintTheirPictureFromOneFile) {
  std::vector<unsigned char> bmp;
  ASSERT_TRUE(EncodeQrBitmap("p", 1, &bmp));
  const std::string b64 = Base64Encode(bmp.data(), bmp.size());
  const std::string tpl = R"({"format":"json","rows":[{"cols":[
    {"content-type":"txt","content":")" +
                          std::string(100, 'x') + R"(","width":10},
    {"content-type":"img","content":")" +
                          b64 + R"("}]}]})";
  std::set<std::string> files;
  size_t pictures = 0;
  for (const std::string& call : Body(Render("", tpl))) {
    if (call.rfind("POS_S_DownloadAndPrintBmp|", 0) != 0) continue;
    ++pictures;
    files.insert(call.substr(0, call.find(".dat|")));
  }
  EXPECT_EQ(pictures, 10u);  // one per laid-out row
  EXPECT_EQ(files.size(), 1u);
  EXPECT_EQ(FilesLeft(), 0u);

  // Refused for too many rows: the picture file goes too.
  const std::string tooLong = R"({"format":"json","rows":[{"cols":[
    {"content-type":"txt","content":")" +
                              std::string(20000, 'x') + R"(","width":1},
    {"content-type":"img","content":")" +
                              b64 + R"("}]}]})";
  EXPECT_FALSE(RenderReceiptIn("", tooLong, dir_.path()));
  EXPECT_EQ(FilesLeft(), 0u);
}

TEST_F(TemplateTest, TemporaryNamesAreUniqueWithinOneTick) {
  std::set<std::string> names;
  for (int i = 0; i < 50; ++i) names.insert(TempImagePath(dir_.path(), ".bmp"));
  EXPECT_EQ(names.size(), 50u);
}

TEST_F(TemplateTest, PortThatNeverOpensFailsAndLeavesNoFiles) {
  test::CountedRetryPause pause;
  sdk_.Reset(POS_INVALID_HANDLE);
  std::vector<unsigned char> bmp;
  ASSERT_TRUE(EncodeQrBitmap("p", 1, &bmp));
  const std::string tpl = R"({"format":"json","rows":[{"cols":[{"content-type":"2d-code","content":"q"},
    {"content-type":"img","content":")" +
                          Base64Encode(bmp.data(), bmp.size()) + R"("}]}]})";
  EXPECT_FALSE(RenderReceiptIn("", tpl, dir_.path()));
  EXPECT_EQ(pause.pauses.load(), kOpenAttempts - 1);
  EXPECT_EQ(FilesLeft(), 0u);
  EXPECT_TRUE(log_.Contains(Gbk("追加打印失败")));
  EXPECT_TRUE(PrinterLock().try_lock());
  PrinterLock().unlock();
}

// Templates come from the cloud: none of these may crash, hang or print
// without bound.
TEST_F(TemplateTest, HostileTemplatesEndCleanly) {
  const std::string longReceipt = std::string(200000, 'a') + "!";
  struct Case {
    std::string name;
    std::string tpl;
    bool printed;
    size_t maxCalls;
  };
  std::string manyRows = R"({"format":"json","rows":[)";
  for (int i = 0; i < 10000; ++i)
    manyRows += std::string(i ? "," : "") + R"({"cols":[{"content-type":"txt","content":"r"}]})";
  manyRows += "]}";
  std::string deep = R"({"format":"json","rows":[)" + std::string(5000, '[') + std::string(5000, ']') + "]}";
  std::string manyRules = R"({"format":"json","rules":{)";
  for (int i = 0; i < 100; ++i) manyRules += std::string(i ? "," : "") + "\"r" + std::to_string(i) + R"(":"(a|aa)+$")";
  manyRules += R"(},"rows":[{}]})";
  std::string wideRow = R"({"format":"json","rows":[{"cols":[)";
  for (int i = 0; i < 1000; ++i) wideRow += std::string(i ? "," : "") + R"({"content-type":"2d-code","content":"q"})";
  wideRow += "]}]}";
  std::string longCell = R"({"format":"json","rows":[{"cols":[{"content-type":"txt","width":1,"content":")" +
                         std::string(50000, 'w') + R"("}]}]})";
  const Case cases[] = {
      {"invalid pattern",
       R"({"format":"json","rules":{"r":"(unclosed"},"rows":[{"cols":[{"content-type":"txt","content":"r[0]"}]}]})",
       true, 20},
      {"catastrophic pattern",
       R"({"format":"json","rules":{"r":"(a+)+$"},"rows":[{"cols":[{"content-type":"txt","content":"r[1]"}]}]})", true,
       20},
      {"rule not a text",
       R"({"format":"json","rules":{"r":5},"rows":[{"cols":[{"content-type":"txt","content":"r[0]"}]}]})", true, 20},
      {"10,000 rows", manyRows, false, 0},
      {"100 runaway rules", manyRules, false, 0},
      {"1,000 QR codes in a row", wideRow, false, 0},
      {"one cell wrapping into 50,000 rows", longCell, false, 0},
      {"deep nesting", deep, false, 0},
      {"zero width", R"({"format":"json","rows":[{"cols":[{"content-type":"txt","content":"abcdef","width":0}]}]})",
       true, 40},
      {"negative width",
       R"({"format":"json","rows":[{"cols":[{"content-type":"txt","content":"ab","width":-5,"align":"center"}]}]})",
       true, 30},
      {"huge width",
       R"({"format":"json","rows":[{"cols":[{"content-type":"txt","content":"ab","width":2000000000,"align":"right"}]}]})",
       true, 20},
      {"huge numbers",
       R"({"format":"json","pixels-per-char":2000000000,"left-margin":2000000000,"rows":[{"line-space":1e300,"blank-line":1e300,"cols":[{"content-type":"txt","content":"x"}]}]})",
       true, 400},
      {"one byte wide Chinese",
       R"({"format":"json","row-width":1,"rows":[{"cols":[{"content-type":"txt","content":"中文"}]}]})", true, 30},
      {"non-object rows and cols", R"({"format":"json","rows":[1,"x",true,[],{"cols":[1,null,"s"]}]})", true, 20},
      {"unencodable QR",
       R"({"format":"json","rows":[{"cols":[{"content-type":"2d-code","content":")" + std::string(5000, 'q') +
           R"("}]}]})",
       true, 20},
      {"bad picture", R"({"format":"json","rows":[{"cols":[{"content-type":"img","content":"!!!!"}]}]})", true, 20},
  };
  for (const Case& c : cases) {
    bool ok = !c.printed;
    const auto start = std::chrono::steady_clock::now();
    const bool runaway = c.name == "catastrophic pattern" || c.name == "100 runaway rules";
    const auto calls = Render(runaway ? longReceipt : "", c.tpl, &ok);
    const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(ok, c.printed) << c.name;
    EXPECT_LE(calls.size(), c.maxCalls) << c.name;
    EXPECT_LT(seconds, 30.0) << c.name;  // a hang guard, not a speed test
  }
  EXPECT_EQ(FilesLeft(), 0u);
}

// A 1-bit BMP of `width` x `height` pixels, all white.
std::string MonoBmp(int width, int height) {
  const uint32_t stride = (static_cast<uint32_t>(width) + 31) / 32 * 4;
  const uint32_t image = stride * static_cast<uint32_t>(height);
  std::string b = "BM";
  auto u32 = [&b](uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
  };
  auto u16 = [&b](uint16_t v) {
    b.push_back(static_cast<char>(v & 0xFF));
    b.push_back(static_cast<char>(v >> 8));
  };
  u32(62 + image);
  u32(0);
  u32(62);
  u32(40);
  u32(static_cast<uint32_t>(width));
  u32(static_cast<uint32_t>(height));
  u16(1);
  u16(1);
  u32(0);
  u32(image);
  u32(0);
  u32(0);
  u32(2);
  u32(0);
  u32(0);
  u32(0x00FFFFFF);
  b.append(image, '\xFF');
  return b;
}

TEST_F(TemplateTest, ReceiptsPastThePictureOrSizeBoundAreRefusedWithOneLine) {
  auto qrRows = [](int rows, int perRow) {
    std::string t = R"({"format":"json","rows":[)";
    for (int r = 0; r < rows; ++r) {
      t += std::string(r ? "," : "") + R"({"cols":[)";
      for (int c = 0; c < perRow; ++c) t += std::string(c ? "," : "") + R"({"content-type":"2d-code","content":"q"})";
      t += "]}";
    }
    return t + "]}";
  };
  const std::string bmp = MonoBmp(2400, 1000);  // 300 KB of raster
  const std::string bigPicture = R"({"format":"json","rows":[{"cols":[{"content-type":"img","content":")" +
                                 Base64Encode(bmp.data(), bmp.size()) + R"("}]}]})";
  const std::string text =
      R"({"format":"json","rows":[{"cols":[{"content-type":"txt","content":")" + std::string(3000, 't') + R"("}]}]})";
  // One QR code beside a text that wraps into 20 rows: printed on each.
  const std::string repeated = R"({"format":"json","rows":[{"cols":[
    {"content-type":"txt","content":")" +
                               std::string(200, 'x') + R"(","width":10},
    {"content-type":"2d-code","content":"q"}]}]})";
  const struct {
    const char* name;
    std::string tpl;
    int32_t maxKb, maxPictures;
    bool printed;
    const char* refusal;
  } cases[] = {
      {"64 QR codes in each of 20 rows", qrRows(20, 64), 256, 16, false, "1280 pictures and QR codes, at most 16"},
      {"16 QR codes", qrRows(4, 4), 256, 16, true, ""},
      {"17 QR codes", qrRows(1, 17), 256, 16, false, "17 pictures and QR codes, at most 16"},
      {"a picture on 20 continuation rows", repeated, 256, 16, false, "20 pictures and QR codes, at most 16"},
      {"a 300 KB picture", bigPicture, 256, 16, false, "about 293 KB for the printer, at most 256 KB"},
      {"the same picture allowed", bigPicture, 512, 16, true, ""},
      {"3 KB of text under a 2 KB bound", text, 2, 16, false, "KB for the printer, at most 2 KB"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PrinterSettings limits;
    limits.receiptMaxKb = c.maxKb;
    limits.receiptMaxPictures = c.maxPictures;
    SetPrinterSettings(limits);
    const size_t logged = log_.Text().size();
    bool ok = !c.printed;
    const auto calls = Render("", c.tpl, &ok);
    EXPECT_EQ(ok, c.printed);
    const std::string added = log_.Text().substr(logged);
    if (c.printed) {
      EXPECT_EQ(added.find("refused"), std::string::npos) << added;
    } else {
      EXPECT_TRUE(calls.empty()) << calls.size() << " printer calls";
      EXPECT_NE(added.find(std::string("[ERROR]: additional receipt refused: ")), std::string::npos) << added;
      EXPECT_NE(added.find(c.refusal), std::string::npos) << added;
      EXPECT_EQ(added.find("[ERROR]"), added.rfind("[ERROR]")) << added;  // one line
    }
    EXPECT_EQ(FilesLeft(), 0u);
  }
  SetPrinterSettings(PrinterSettings());
}

TEST_F(TemplateTest, PlaceholderExpansionIsBounded) {
  std::vector<ReceiptRule> rules(1);
  rules[0].name = "r";
  rules[0].groups = {std::string(10000, 'z')};
  std::string content;
  for (int i = 0; i < 1000; ++i) content += "r[0]";
  EXPECT_LE(FillPlaceholders(content, rules).size(), kMaxCellContentBytes);
}

TEST(RuleMatcher, EcmaScriptFlavour) {
  std::vector<std::string> g;
  // "." stops at line ends, "$" only at the very end.
  EXPECT_TRUE(SearchRule("a.c", "abc", &g));
  EXPECT_FALSE(SearchRule("a.c", "a\nc", &g));
  EXPECT_FALSE(SearchRule("x$", "x\n", &g));
  EXPECT_TRUE(SearchRule("[^]b", "\nb", &g));
  EXPECT_TRUE(SearchRule("\\x41\\u0042", "AB", &g));
  EXPECT_TRUE(SearchRule("(a)?b\\1", "b", &g));  // unset group matches empty
  ASSERT_TRUE(SearchRule("(\\d+)-(\\d+)?", "id 12- x", &g));
  EXPECT_EQ(g, (std::vector<std::string>{"12-", "12", ""}));
}

TEST(RuleMatcher, LongReceiptsMatchAndRunawayPatternsGiveUp) {
  std::string receipt;
  for (int i = 0; i < 3000; ++i) receipt += "item " + std::to_string(i) + " 12.50\r\n";
  std::vector<std::string> g;
  // Patterns that recurse once per line with a backtracking engine.
  ASSERT_TRUE(SearchRule("(\\S+\\s+)*", receipt, &g));
  EXPECT_EQ(g[0], receipt);
  ASSERT_TRUE(SearchRule("item 2999 (\\d+\\.\\d+)", receipt, &g));
  EXPECT_EQ(g[1], "12.50");
  // Exponential backtracking stops at the match limit as a non-match.
  EXPECT_FALSE(SearchRule("(a|aa)+$", std::string(100000, 'a') + "!", &g));
  EXPECT_TRUE(g.empty());
  EXPECT_FALSE(SearchRule("(unclosed", receipt, &g));
  EXPECT_FALSE(SearchRule(std::string(kRuleMaxPatternBytes + 1, 'a'), receipt, &g));
}

}  // namespace
}  // namespace tillcast
