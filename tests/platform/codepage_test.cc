#include "platform/codepage.h"

#include <gtest/gtest.h>

namespace tillcast::platform {
namespace {

TEST(CodePage, DefaultAnsiCodePageIsGbk) { EXPECT_EQ(AnsiCodePageName(), "GBK"); }

TEST(CodePage, GbkUtf8AndWideRoundTrip) {
  const std::string gbk = "\xD6\xD0\xCE\xC4 abc";  // "中文 abc"
  std::string utf8;
  int err = 0;
  ASSERT_TRUE(ConvertEncoding("GBK", "UTF-8", gbk, &utf8, &err));
  EXPECT_EQ(utf8, "\xE4\xB8\xAD\xE6\x96\x87 abc");
  std::wstring wide;
  ASSERT_TRUE(NarrowToWide("GBK", gbk, &wide, &err));
  EXPECT_EQ(wide, L"\u4E2D\u6587 abc");
  std::string back;
  ASSERT_TRUE(WideToNarrow("GBK", wide, &back, &err));
  EXPECT_EQ(back, gbk);
}

TEST(CodePage, InvalidInputFailsWithErrno) {
  std::string out;
  int err = 0;
  EXPECT_FALSE(ConvertEncoding("UTF-8", "GBK", "\xFF\xFE", &out, &err));
  EXPECT_NE(err, 0);
  // A character GBK cannot hold.
  EXPECT_FALSE(WideToNarrow("GBK", L"\U0001F600", &out, &err));
  EXPECT_FALSE(ConvertEncoding("NO-SUCH-CODESET", "UTF-8", "x", &out, &err));
}

TEST(CodePage, LargeInputGrowsTheBuffer) {
  std::string gbk;
  for (int i = 0; i < 100000; ++i) gbk += "\xD6\xD0";
  std::string utf8;
  int err = 0;
  ASSERT_TRUE(ConvertEncoding("GBK", "UTF-8", gbk, &utf8, &err));
  EXPECT_EQ(utf8.size(), 300000u);
}

}  // namespace
}  // namespace tillcast::platform
