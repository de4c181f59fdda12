#include "base/log.h"

#include <sys/stat.h>

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
                                               {3, "DEBUG"},          {4, "unknown_level"},   {7, "unknown_level"},
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
  EXPECT_EQ(path.substr(path.rfind('/') + 1), "base_tests.txt");
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

// The numbers of "line <n>" lines in `text`, in order; every line must be
// whole.
std::vector<int> LineNumbers(const std::string& text) {
  std::vector<int> out;
  const std::regex whole(R"(\d{4}-\d{1,2}-\d{1,2} \d{1,2}:\d{1,2}:\d{1,2}\[INFO\]: line (\d+) x+)");
  for (const std::string& line : test::SplitLines(text)) {
    std::smatch m;
    EXPECT_TRUE(std::regex_match(line, m, whole)) << line;
    if (!m.empty()) out.push_back(std::stoi(m[1]));
  }
  return out;
}

TEST(LogRotation, PastTheBoundTheFileMovesToNumberedOnesKeepingAFew) {
  test::ScopedLog log;
  SetLogRotation({400, 2});
  for (int i = 0; i < 60; ++i) Log(LOG_INFO, "line %d %s", i, std::string(40, 'x').c_str());
  const std::string current = LogFilePath();
  const std::string stem = current.substr(0, current.size() - 4);  // without ".txt"
  const std::string one = stem + ".1.txt", two = stem + ".2.txt";
  ASSERT_TRUE(test::FileExists(one));
  ASSERT_TRUE(test::FileExists(two));
  EXPECT_FALSE(test::FileExists(stem + ".3.txt"));
  // The fresh file started after a rotation is as private as the first one.
  struct stat st {};
  ASSERT_EQ(stat(current.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  std::vector<int> all;
  for (const std::string& f : {two, one, current}) {
    const std::string text = test::ReadFile(f);
    EXPECT_LE(text.size(), 400u) << f;
    const std::vector<int> numbers = LineNumbers(text);
    EXPECT_FALSE(numbers.empty()) << f;
    all.insert(all.end(), numbers.begin(), numbers.end());
  }
  // The newest lines, none lost between the files kept, in order.
  ASSERT_FALSE(all.empty());
  EXPECT_EQ(all.back(), 59);
  for (size_t i = 1; i < all.size(); ++i) EXPECT_EQ(all[i], all[i - 1] + 1);
}

TEST(LogRotation, ALineLongerThanTheBoundStillGoesWholeIntoAFile) {
  test::ScopedLog log;
  SetLogRotation({100, 1});
  Log(LOG_INFO, "line 1 %s", std::string(300, 'x').c_str());
  Log(LOG_INFO, "line 2 %s", std::string(300, 'x').c_str());
  const std::string current = LogFilePath();
  EXPECT_EQ(LineNumbers(test::ReadFile(current)), std::vector<int>{2});
  EXPECT_EQ(LineNumbers(test::ReadFile(current.substr(0, current.size() - 4) + ".1.txt")), std::vector<int>{1});
}

TEST(LogRotation, KeepingNoneStartsAfreshAndNoBoundNeverRotates) {
  test::ScopedLog log;
  SetLogRotation({200, 0});
  for (int i = 0; i < 10; ++i) Log(LOG_INFO, "line %d %s", i, std::string(50, 'x').c_str());
  const std::string current = LogFilePath();
  const std::string one = current.substr(0, current.size() - 4) + ".1.txt";
  EXPECT_FALSE(test::FileExists(one));
  EXPECT_EQ(LineNumbers(test::ReadFile(current)).back(), 9);
  EXPECT_LE(test::ReadFile(current).size(), 200u);
  SetLogRotation({0, 5});
  for (int i = 10; i < 40; ++i) Log(LOG_INFO, "line %d %s", i, std::string(50, 'x').c_str());
  EXPECT_FALSE(test::FileExists(one));
  EXPECT_GT(test::ReadFile(current).size(), 1000u);
}

TEST(LogRotation, BoundAndCountComeFromTheEnvironmentWithDefaults) {
  {
    test::ScopedEnv size("TILLCAST_LOG_MAX_BYTES", "");
    test::ScopedEnv keep("TILLCAST_LOG_KEEP", "");
    ResetLogForTest();
    const LogRotation r = CurrentLogRotation();
    EXPECT_EQ(r.max_bytes, 10u * 1024 * 1024);
    EXPECT_EQ(r.keep, 5u);
  }
  test::ScopedEnv size("TILLCAST_LOG_MAX_BYTES", "4096");
  test::ScopedEnv keep("TILLCAST_LOG_KEEP", "3");
  ResetLogForTest();
  const LogRotation r = CurrentLogRotation();
  EXPECT_EQ(r.max_bytes, 4096u);
  EXPECT_EQ(r.keep, 3u);
  ResetLogForTest();
}

}  // namespace
}  // namespace tillcast
