// Payloads in log lines: short texts whole, long ones as their start and
// their length, never a character cut in two.
#include <gtest/gtest.h>

#include <string>

#include "base/log_excerpt.h"
#include "support/test_support.h"

namespace tillcast {
namespace {

TEST(LogExcerpt, ShortTextsStayWholeLongOnesShowTheirStartAndLength) {
  const std::string utf8 = "\xe4\xb8\xad";  // 中 in UTF-8
  const std::string gbk = test::Gbk("中");  // two bytes
  const struct {
    const char* name;
    std::string text;
    size_t head;
    std::string want;
  } cases[] = {
      {"empty", "", 4, ""},
      {"at the limit", "abcd", 4, "abcd"},
      {"one past", "abcde", 4, "abcd...(5 bytes)"},
      {"UTF-8 cut in a character", "ab" + utf8 + "z", 4, "ab...(6 bytes)"},
      {"UTF-8 cut after a character", "a" + utf8 + "z", 4, "a" + utf8 + "...(5 bytes)"},
      {"GBK cut in a character", "abc" + gbk + "z", 4, "abc...(6 bytes)"},
      {"GBK cut after a character", "ab" + gbk + "z", 4, "ab" + gbk + "...(5 bytes)"},
      {"a job of many megabytes", std::string(20 << 20, 'j'), kLogExcerptBytes,
       std::string(kLogExcerptBytes, 'j') + "...(20971520 bytes)"},
  };
  for (const auto& c : cases) EXPECT_EQ(LogExcerpt(c.text, c.head), c.want) << c.name;
}

}  // namespace
}  // namespace tillcast
