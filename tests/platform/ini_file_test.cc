#include "platform/ini_file.h"

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace tillcast::platform {
namespace {

TEST(IniFile, ReadsWithWindowsProfileRules) {
  IniFile ini;
  ini.Parse(
      "\xEF\xBB\xBF; comment\r\n"
      "orphan=ignored\r\n"
      "[Proxy]\r\n"
      "  HTTP_IP =  10.0.0.1  \r\n"
      "http_port=\"8080\"\r\n"
      "http_ip=second\r\n"
      "noequals\r\n"
      "[ setting ]\n"
      "hookkeyboard=\n");
  struct Case {
    const char *section, *key, *fallback, *want;
  } cases[] = {
      {"proxy", "http_ip", "d", "10.0.0.1"},  // case-insensitive names, blanks trimmed, first wins
      {"PROXY", "Http_Port", "d", "8080"},    // quotes removed
      {"proxy", "redis_ip", "", ""},          // missing key: fallback
      {"proxy", "orphan", "d", "d"},          // keys before any section are not in one
      {"setting", "hookkeyboard", "1", ""},   // present but empty is not missing
      {"nosuch", "x", "fallback", "fallback"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(ini.GetString(c.section, c.key, c.fallback), c.want) << c.section << "/" << c.key;
}

TEST(IniFile, ValuesAreCutTo4095Bytes) {
  IniFile ini;
  ini.Parse("[s]\nk=" + std::string(5000, 'x') + "\n");
  EXPECT_EQ(ini.GetString("s", "k", "").size(), kMaxProfileValueBytes);
}

TEST(IniFile, MissingFileGivesDefaults) {
  test::TempDir dir;
  IniFile ini;
  EXPECT_FALSE(ini.Load(dir.Sub("setting.ini")));
  EXPECT_EQ(ini.GetString("setting", "hookkeyboard", "1"), "1");
  test::WriteFile(dir.Sub("setting.ini"), "[setting]\nhookkeyboard=0\n");
  EXPECT_TRUE(ini.Load(dir.Sub("setting.ini")));
  EXPECT_EQ(ini.GetString("setting", "hookkeyboard", "1"), "0");
}

}  // namespace
}  // namespace tillcast::platform
