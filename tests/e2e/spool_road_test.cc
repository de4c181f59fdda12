// The spool road: a print job through the spooler (an EMF spool file in the
// spool folder) is copied while it is written, turned back into text once
// the spooler deletes it, and that text is uploaded signed.
#include <gtest/gtest.h>

#include "emf_writer.h"
#include "shop.h"

namespace tillcast::test {
namespace {

// One page, one text record per line, lines 40 units apart.
std::string SpoolOf(const std::vector<std::u16string>& lines) {
  EmfWriter page;
  page.CreateFont(1, -24, u"SimSun").Select(1);
  int32_t y = 40;
  for (const auto& line : lines) {
    page.TextW(0, y, line, std::vector<int32_t>(line.size(), 24));
    y += 40;
  }
  return MakeSpool({page.Finish()});
}

TEST(SpoolRoad, SpoolFileTextIsUploaded) {
  Shop shop;
  ASSERT_TRUE(shop.StartReady());

  const std::vector<std::u16string> lines = {u"演示门店",       u"小票号S20240501", u"收银员01款台1",
                                             u"矿泉水x2：5.00", u"三明治x1：31.50", u"合计：36.50",
                                             u"实收：40.00",    u"找零：3.50",      u"谢谢惠顾欢迎再次光临"};
  ASSERT_TRUE(shop.Spool("00017.SPL", SpoolOf(lines))) << "the agent never copied the spool file; log:\n"
                                                       << shop.AgentLog();

  ASSERT_TRUE(WaitUntil([&] { return !shop.Uploads().empty(); }, 15000))
      << "the spooled receipt was not uploaded; log:\n"
      << shop.AgentLog();
  const std::string uploaded = ReadFile(shop.Uploads()[0]);
  for (const char* line : {"演示门店", "小票号S20240501", "合计：36.50", "谢谢惠顾欢迎再次光临"})
    EXPECT_NE(uploaded.find(Gbk(line)), std::string::npos) << "missing " << line << " in the upload";
  // Text, not the spool file's bytes: no metafile record survives.
  EXPECT_EQ(uploaded.find(" EMF"), std::string::npos);
  EXPECT_LT(uploaded.size(), 400u);
}

}  // namespace
}  // namespace tillcast::test
