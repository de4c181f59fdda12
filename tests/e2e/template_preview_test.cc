// tillcast-template-preview: a template and a sale receipt in, the
// additional receipt's picture out, through the agent's renderer and SDK.
#include <gtest/gtest.h>

#include "support/subprocess.h"
#include "support/test_support.h"
#include "support/till_corpus.h"

namespace tillcast::test {
namespace {

TEST(TemplatePreview, DrawsTheAdditionalReceiptOfASale) {
  TempDir dir;
  WriteFile(dir.Sub("t.json"), U8(u8R"J({"format":"json","rules":{"total":"合计：\\s*([0-9.]+)"},"row-width":32,
    "rows":[{"cols":[{"content-type":"txt","content":"本单合计 total[1] 元"}]},
            {"cols":[{"content-type":"2d-code","content":"T=total[1]","align":"center","scale":4}]}]})J"));
  WriteFile(dir.Sub("r.txt"), U8(u8"演示门店\n小票号 R7\n合计：18.20\n"));
  const std::string tool = BinDir() + "/tillcast-template-preview";
  ASSERT_EQ(RunProgram({tool, dir.Sub("t.json"), dir.Sub("r.txt"), dir.Sub("out.png"), "--paper", "58"}, {}, 20000), 0);
  ASSERT_TRUE(FileExists(dir.Sub("out.png")));
  EXPECT_NE(ReadFile(dir.Sub("out.txt")).find(U8(u8"本单合计 18.20 元")), std::string::npos)
      << ReadFile(dir.Sub("out.txt"));
  if (RunProgram({"/bin/sh", "-c", "command -v zbarimg >/dev/null"}, {}, 5000) == 0) {
    ASSERT_EQ(RunProgram({"/bin/sh", "-c",
                          "zbarimg -q --raw '" + dir.Sub("out.png") + "' > '" + dir.Sub("qr") + "' 2>/dev/null"},
                         {}, 20000),
              0);
    EXPECT_EQ(ReadFile(dir.Sub("qr")), "T=18.20\n");
  }
}

TEST(TemplatePreview, RefusesBadInput) {
  TempDir dir;
  const std::string tool = BinDir() + "/tillcast-template-preview";
  EXPECT_EQ(RunProgram({tool, dir.Sub("t.json")}, {}, 10000), 2);
  WriteFile(dir.Sub("bad.json"), "{ not json");
  WriteFile(dir.Sub("r.txt"), "x\n");
  EXPECT_EQ(RunProgram({tool, dir.Sub("bad.json"), dir.Sub("r.txt"), dir.Sub("o.png")}, {}, 10000), 1);
  EXPECT_FALSE(FileExists(dir.Sub("o.png")));
  EXPECT_EQ(RunProgram({tool, dir.Sub("missing.json"), dir.Sub("r.txt"), dir.Sub("o.png")}, {}, 10000), 1);
  // OUT.png's transcript would land on the receipt itself.
  WriteFile(dir.Sub("t.json"), R"({"format":"json","rows":[{"cols":[{"content":"x"}]}]})");
  EXPECT_EQ(RunProgram({tool, dir.Sub("t.json"), dir.Sub("r.txt"), dir.Sub("r.png")}, {}, 10000), 2);
  EXPECT_EQ(ReadFile(dir.Sub("r.txt")), "x\n");
}

TEST(TemplatePreview, ACaptureFileIsReadAsTheTillWroteIt) {
  // Not UTF-8: the printer's bytes as captured, GBK text with zero bytes.
  TempDir dir;
  WriteFile(dir.Sub("t.json"), U8(u8R"J({"format":"json","rules":{"total":"合计：\\s*([0-9.]+)"},"row-width":32,
    "rows":[{"cols":[{"content-type":"txt","content":"本单合计 total[1] 元"}]}]})J"));
  SaleShape shape;
  shape.logo_rows = 24;
  const TillReceipt sale = SaleReceipt(shape);
  WriteFile(dir.Sub("parallel1.dat"), sale.bytes);
  const std::string tool = BinDir() + "/tillcast-template-preview";
  ASSERT_EQ(RunProgram({tool, dir.Sub("t.json"), dir.Sub("parallel1.dat"), dir.Sub("out.png")}, {}, 20000), 0);
  EXPECT_NE(ReadFile(dir.Sub("out.txt")).find(U8(u8"本单合计 ") + sale.total + U8(u8" 元")), std::string::npos)
      << ReadFile(dir.Sub("out.txt"));
}

struct RuleCase {
  const char* name;
  bool strict;
  int exit_code;
  std::vector<std::string> warned;      // rules named as matching nothing
  std::vector<std::string> not_warned;  // rules not named
};

class TemplatePreviewRules : public ::testing::TestWithParam<RuleCase> {};

TEST_P(TemplatePreviewRules, EachRuleThatMatchesNothingIsNamed) {
  const RuleCase& c = GetParam();
  TempDir dir;
  // "no" finds the receipt number; "member" and "points" look for lines
  // this sale receipt does not have.
  WriteFile(dir.Sub("t.json"), U8(u8R"J({"format":"json","row-width":32,
    "rules":{"no":"小票号\\s*(R[0-9]+)","member":"会员卡号\\s*([0-9]+)","points":"积分：([0-9]+)"},
    "rows":[{"cols":[{"content-type":"txt","content":"小票 no[1] 会员 member[1] 积分 points[1]"}]}]})J"));
  WriteFile(dir.Sub("t-ok.json"), U8(u8R"J({"format":"json","row-width":32,
    "rules":{"no":"小票号\\s*(R[0-9]+)"},
    "rows":[{"cols":[{"content-type":"txt","content":"小票 no[1]"}]}]})J"));
  WriteFile(dir.Sub("r.txt"), U8(u8"演示门店\n小票号 R20240501000000000001\n合计：36.50\n"));
  const bool all_match = c.warned.empty();
  std::string cmd = BinDir() + "/tillcast-template-preview " + dir.Sub(all_match ? "t-ok.json" : "t.json") + " " +
                    dir.Sub("r.txt") + " " + dir.Sub("out.png") + (c.strict ? " --strict" : "") + " 2> " +
                    dir.Sub("err");
  EXPECT_EQ(RunProgram({"/bin/sh", "-c", cmd}, {}, 20000), c.exit_code);
  const std::string err = ReadFile(dir.Sub("err"));
  for (const std::string& rule : c.warned)
    EXPECT_NE(err.find("rule \"" + rule + "\""), std::string::npos) << rule << ": " << err;
  for (const std::string& rule : c.not_warned)
    EXPECT_EQ(err.find("rule \"" + rule + "\""), std::string::npos) << rule << ": " << err;
  // The picture is drawn in every case, the receipt number filled in.
  ASSERT_TRUE(FileExists(dir.Sub("out.png")));
  EXPECT_NE(ReadFile(dir.Sub("out.txt")).find("R20240501000000000001"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Cases, TemplatePreviewRules,
                         ::testing::Values(RuleCase{"UnmatchedRulesWarn", false, 0, {"member", "points"}, {"no"}},
                                           RuleCase{
                                               "UnmatchedRulesFailWhenStrict", true, 3, {"member", "points"}, {"no"}},
                                           RuleCase{"AllRulesMatchQuietly", false, 0, {}, {"no"}},
                                           RuleCase{"AllRulesMatchPassStrict", true, 0, {}, {"no"}}),
                         [](const ::testing::TestParamInfo<RuleCase>& p) { return std::string(p.param.name); });

TEST(TemplatePreview, HelpPrintsUsageAndUnknownOptionIsRefused) {
  TempDir dir;
  const std::string tool = BinDir() + "/tillcast-template-preview";
  ASSERT_EQ(RunProgram({"/bin/sh", "-c", tool + " --help > " + dir.Sub("help")}, {}, 10000), 0);
  EXPECT_NE(ReadFile(dir.Sub("help")).find("--strict"), std::string::npos);
  EXPECT_EQ(RunProgram({tool, "--frobnicate", "a", "b", "c"}, {}, 10000), 2);
}

}  // namespace
}  // namespace tillcast::test
