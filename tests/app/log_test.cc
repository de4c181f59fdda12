#include "app/log.h"

#include <gtest/gtest.h>

#include <regex>
#include <thread>

#include "support/test_support.h"

namespace tillcast {
namespace {

TEST(Log, PrefixHasNoLeadingZeros) {
  std::tm t{};
  t.tm_year = 2026 - 1900;
  t.tm_mon = 2;
  t.tm_mday = 5;
  t.tm_hour = 7;
  t.tm_min = 8;
  t.tm_sec = 9;
  EXPECT_EQ(FormatLogPrefix(t, LOG_INFO), "2026-3-5 7:8:9[INFO]: ");
  t.tm_mon = 11;
  t.tm_mday = 31;
  t.tm_hour = 23;
  t.tm_min = 59;
  t.tm_sec = 58;
  EXPECT_EQ(FormatLogPrefix(t, LOG_ERROR), "2026-12-31 23:59:58[ERROR]: ");
}

TEST(Log, LevelNamesIncludingOutOfRange) {
  const std::pair<int, const char*> cases[] = {{0, "ERROR"},          {1, "WARNING"},         {2, "INFO"},
                                               {3, "DEBUG"},          {4, "unknown_level"},  {7, "unknown_level"},
                                               {-1, "unknown_level"}, {-100, "unknown_level"}};
  for (const auto& [level, name] : cases) EXPECT_STREQ(LevelName(level), name) << level;
}

TEST(Log, LinesEndInCrLfAndFollowTheThreshold) {
  test::ScopedLog log;
  Log(LOG_ERROR, "e%d", 1);
  Log(LOG_WARNING, "w");
  Log(LOG_INFO, "two\nlines");
  Log(LOG_DEBUG, "dropped");
  const std::string text = log.Text();
  EXPECT_EQ(text.find("dropped"), std::string::npos);
  EXPECT_EQ(text.find("\n\n"), std::string::npos);
  const auto lines = test::SplitLines(text);
  ASSERT_EQ(lines.size(), 4u) << text;
  const std::regex prefix(R"(\d{4}-\d{1,2}-\d{1,2} \d{1,2}:\d{1,2}:\d{1,2}\[(ERROR|WARNING|INFO)\]: .*)");
  EXPECT_TRUE(std::regex_match(lines[0], prefix)) << lines[0];
  EXPECT_NE(lines[0].find("[ERROR]: e1"), std::string::npos);
  EXPECT_NE(lines[1].find("[WARNING]: w"), std::string::npos);
  EXPECT_NE(lines[2].find("[INFO]: two"), std::string::npos);
  EXPECT_EQ(lines[3], "lines");
  // Every line feed in the file is preceded by a carriage return.
  for (size_t i = text.find('\n'); i != std::string::npos; i = text.find('\n', i + 1)) EXPECT_EQ(text[i - 1], '\r');
}

TEST(Log, UnknownLevelWrittenWhenThresholdAllows) {
  test::ScopedLog log;
  InitLog(9);
  Log(7, "seven");
  EXPECT_TRUE(log.Contains("[unknown_level]: seven"));
}

TEST(Log, FileIsNamedAfterTheExecutable) {
  test::ScopedLog log;
  const std::string path = LogFilePath();
  EXPECT_EQ(path.substr(path.rfind('/') + 1), "app_tests.txt");
}

TEST(Log, BeforeInitOnlyErrorsGoToDotTxt) {
  test::TempDir dir;
  SetLogFolder(dir.path());
  ResetLogForTest();
  Log(LOG_INFO, "not yet");
  Log(LOG_ERROR, "early error");
  EXPECT_EQ(test::ReadFile(dir.Sub(".txt")).find("not yet"), std::string::npos);
  EXPECT_NE(test::ReadFile(dir.Sub(".txt")).find("[ERROR]: early error"), std::string::npos);
  SetLogFolder("");
}

TEST(Log, MissingFolderDropsLinesQuietly) {
  test::TempDir dir;
  SetLogFolder(dir.Sub("logs-missing"));
  InitLog(LOG_INFO);
  Log(LOG_ERROR, "lost");
  LogW(LOG_ERROR, L"lost %ls", L"too");
  EXPECT_FALSE(test::FileExists(dir.Sub("logs-missing")));
  ResetLogForTest();
  SetLogFolder("");
}

TEST(Log, WideLinesAreStoredInTheAnsiCodePage) {
  test::ScopedLog log;
  LogW(LOG_INFO, L"%ls %d", L"\u6253\u5370", 5);  // "打印"
  EXPECT_TRUE(log.Contains("[INFO]: " + test::Gbk("打印") + " 5\r\n"));
}

TEST(Log, TwoThreadsWriteWholeLines) {
  test::ScopedLog log;
  const int kLines = 300;
  auto writer = [](char c) {
    for (int i = 0; i < kLines; ++i) Log(LOG_INFO, "%s", std::string(200, c).c_str());
  };
  std::thread a(writer, 'a'), b(writer, 'b');
  a.join();
  b.join();
  const auto lines = test::SplitLines(log.Text());
  ASSERT_EQ(lines.size(), 2u * kLines);
  int as = 0;
  for (const std::string& line : lines) {
    const std::string body = line.substr(line.find("]: ") + 3);
    ASSERT_TRUE(body == std::string(200, 'a') || body == std::string(200, 'b')) << line;
    as += body[0] == 'a';
  }
  EXPECT_EQ(as, kLines);
}

}  // namespace
}  // namespace tillcast
