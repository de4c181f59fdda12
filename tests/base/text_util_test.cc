#include "base/text_util.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <stdexcept>
#include <system_error>
#include <vector>

#include "base/log.h"
#include "support/test_support.h"

namespace tillcast {
namespace {

// Every conversion keeps what it can: one "?" for each character that is
// broken in the input or has no form in the target, never an empty text.
TEST(TextUtil, AnsiUtf8ConversionsKeepEverythingTheyCan) {
  struct Case {
    const char* what;
    std::string in;
    std::string out;
  };
  const Case to_utf8[] = {
      {"empty", "", ""},
      {"one Chinese character: 2 bytes -> 3", "\xD6\xD0", "\xE4\xB8\xAD"},
      {"the input ends at its first zero byte", std::string("ab\0cd", 5), "ab"},
      {"a zero byte right after a Chinese text", std::string("\xD6\xD0\0\xD6\xD0", 5), "\xE4\xB8\xAD"},
      {"a byte that starts no character",
       "a\xFF"
       "b",
       "a?b"},
      {"a lead byte without its second byte at the end", "\xD6\xD0\xD6", "\xE4\xB8\xAD?"},
      {"a lead byte before an ASCII byte",
       "\xD6"
       "\x0A"
       "x",
       "?\x0Ax"},
      {"ESC/POS commands pass through",
       "\x1b@\x1b"
       "a\x01"
       "\x1dV\x01",
       "\x1b@\x1b"
       "a\x01"
       "\x1dV\x01"},
  };
  for (const Case& c : to_utf8) EXPECT_EQ(AnsiToUtf8(c.in), c.out) << c.what;

  const Case to_ansi[] = {
      {"empty", "", ""},
      {"one Chinese character", "\xE4\xB8\xAD", "\xD6\xD0"},
      {"an emoji in a store name", "\xE6\xB5\x8B\xE8\xAF\x95\xF0\x9F\x98\x80\xE9\x97\xA8\xE5\xBA\x97",
       "\xB2\xE2\xCA\xD4?\xC3\xC5\xB5\xEA"},
      {"two characters outside GBK", "\xF0\x9F\x8D\x95\xF0\x9F\x8D\x94 x", "?? x"},
      {"invalid UTF-8 bytes, one mark each", "\xFF\xFE ok", "?? ok"},
      {"a cut-off sequence at the end", "ok\xE4\xB8", "ok?"},
      {"a continuation byte on its own",
       "a\x80"
       "b",
       "a?b"},
      {"the result ends at its first zero byte", std::string("ab\0cd", 5), "ab"},
  };
  for (const Case& c : to_ansi) EXPECT_EQ(Utf8ToAnsi(c.in), c.out) << c.what;

  // The exact form refuses what the code page cannot hold and keeps zeros.
  std::string exact = "x";
  EXPECT_FALSE(Utf8ToAnsiExact("a\xF0\x9F\x98\x80", &exact));
  EXPECT_EQ(exact, "");
  ASSERT_TRUE(Utf8ToAnsiExact(std::string("\xE4\xB8\xAD\0z", 5), &exact));
  EXPECT_EQ(exact, std::string("\xD6\xD0\0z", 4));

  // Wide text from ANSI bytes: a broken byte is U+FFFD, the rest is kept.
  EXPECT_EQ(ToWideLossy("\xD6\xD0\xFF"
                        "a"),
            L"\u4E2D\uFFFDa");
}

TEST(TextUtil, WideConversionsThrowOnFailure) {
  EXPECT_EQ(ToWide("\xD6\xD0"
                   "a"),
            L"\u4E2Da");
  EXPECT_EQ(ToNarrow(L"\u4E2Da"),
            "\xD6\xD0"
            "a");
  EXPECT_THROW(ToWide("\x81"), std::system_error);  // truncated double-byte character
  EXPECT_THROW(ToNarrow(L"\U0001F600"), std::system_error);
  // The lossy form keeps what the code page has and marks each gap once.
  EXPECT_EQ(ToNarrowLossy(L"\u4E2D\U0001F600a"), "\xD6\xD0?a");
  EXPECT_EQ(ToNarrowLossy(L"\u4E2Da"),
            "\xD6\xD0"
            "a");
  EXPECT_EQ(WideToCodePage(L"\u4E2D", 0), "\xD6\xD0");
  EXPECT_EQ(WideToCodePage(L"\u4E2D", 65001), "\xE4\xB8\xAD");
  try {
    WideToCodePage(L"\U0001F600", 0);
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()).rfind("convert error:", 0), 0u) << e.what();
  }
}

TEST(TextUtil, WideToCodePageConvertsLongTextInChunks) {
  const std::wstring wide(0x800000 + 10, L'x');
  EXPECT_EQ(WideToCodePage(wide, 0), std::string(wide.size(), 'x'));
}

TEST(TextUtil, StringFormatHasNoLengthLimitAndLogsFiveLines) {
  test::ScopedLog log;
  const std::string big(10000, 'z');
  EXPECT_EQ(string_format("%s-%d", big.c_str(), 42), big + "-42");
  const auto lines = test::SplitLines(log.Text());
  ASSERT_EQ(lines.size(), 5u);
  for (int i = 0; i < 5; ++i)
    EXPECT_NE(lines[i].find("[INFO]: string_format " + std::to_string(i + 1)), std::string::npos);
}

TEST(TextUtil, WriteBufferToFileModes) {
  test::TempDir dir;
  const std::string f = dir.Sub("f.dat");
  EXPECT_TRUE(WriteBufferToFile(f, "one\n", 4, true, false));
  EXPECT_EQ(test::ReadFile(f), "one\n");
  EXPECT_TRUE(WriteBufferToFile(f, "two", 3, true, true));  // append
  EXPECT_EQ(test::ReadFile(f), "one\ntwo");
  EXPECT_TRUE(WriteBufferToFile(f, "x", 1, true, false));  // binary replaces
  EXPECT_EQ(test::ReadFile(f), "x");
  EXPECT_TRUE(WriteBufferToFile(f, "a\nb\n", 4, false, false));  // text mode
  EXPECT_EQ(test::ReadFile(f), "a\r\nb\r\n");
  EXPECT_TRUE(WriteBufferToFile(f, "c\n", 2, false, true));  // append ignores binary: bytes as given
  EXPECT_EQ(test::ReadFile(f), "a\r\nb\r\nc\n");
  EXPECT_FALSE(WriteBufferToFile(dir.Sub("missing/f.dat"), "x", 1, true, false));
}

TEST(TextUtil, WriteBufferToFileReportsAFullDisk) {
  if (!test::FileExists("/dev/full")) GTEST_SKIP() << "/dev/full is not available";
  const std::string data(1 << 16, 'd');
  EXPECT_FALSE(WriteBufferToFile("/dev/full", data.data(), data.size(), true, false));
  EXPECT_FALSE(WriteBufferToFile("/dev/full", "x", 1, true, true));
}

TEST(TextUtil, CreateDirectoryRecursive) {
  test::TempDir dir;
  EXPECT_TRUE(CreateDirectoryRecursive(dir.Sub("one")));
  EXPECT_TRUE(test::FileExists(dir.Sub("one")));
  EXPECT_TRUE(CreateDirectoryRecursive(dir.Sub("a/b/c/")));  // ends in a separator: parents only
  EXPECT_TRUE(test::FileExists(dir.Sub("a/b/c")));
  EXPECT_TRUE(CreateDirectoryRecursive(std::wstring(L"") + ToWide(dir.Sub("w/x"))));
  EXPECT_TRUE(test::FileExists(dir.Sub("w/x")));
  EXPECT_TRUE(CreateDirectoryRecursive("relative-without-separator"));
  EXPECT_FALSE(test::FileExists("relative-without-separator"));
  test::WriteFile(dir.Sub("file"), "");
  EXPECT_FALSE(CreateDirectoryRecursive(dir.Sub("file/below")));
}

TEST(TextUtil, IsHasChinese) {
  struct Case {
    std::string bytes;
    bool want;
  } cases[] = {
      {"plain ascii", false},
      {"\xD6\xD0", true},
      {"abc\xD6\xD0xyz", true},
      {"abc\xD6", false},  // the only high byte is the last one
      {"\xD6"
       "a\xD0",
       false},  // lone high bytes
      {"", false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsHasChinese(c.bytes.data(), c.bytes.size()), c.want) << c.bytes;
  // Must not look past the given length.
  const char run[] = {'a', '\xD6', '\xD0'};
  EXPECT_FALSE(IsHasChinese(run, 2));
}

TEST(TextUtil, DataFolderIsCreatedOnFirstUseAndKept) {
  test::TempDir dir;
  test::ScopedEnv env("XDG_DATA_HOME", dir.Sub("deep/share"));
  ResetDataFolderForTest();
  EXPECT_EQ(GetDataFolder(), dir.Sub("deep/share/Tillcast"));
  EXPECT_TRUE(test::FileExists(dir.Sub("deep/share/Tillcast")));
  rmdir(dir.Sub("deep/share/Tillcast").c_str());
  EXPECT_EQ(GetDataFolder(), dir.Sub("deep/share/Tillcast"));
  EXPECT_FALSE(test::FileExists(dir.Sub("deep/share/Tillcast")));  // not recreated
  ResetDataFolderForTest();
}

TEST(TextUtil, MaskSecretKeepsOnlyAHint) {
  EXPECT_EQ(MaskSecret(""), "");
  EXPECT_EQ(MaskSecret("abcd"), "***");
  EXPECT_EQ(MaskSecret("s3cr3t-value"), "s3***");
}

// The masked member as the parser reads it: however the reply spells the
// name or the value, the clear value never survives.
TEST(TextUtil, MaskJsonMembersFindsSecretsAsParsedMembers) {
  struct Case {
    const char* why;
    std::string text;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"plain", R"({"code":0,"result":{"appId":"a1","secret":"s3cr3tvalue"}})",
       R"({"code":0,"result":{"appId":"a1","secret":"s3***"}})"},
      {"escaped name", R"({"result":{"\u0073ecret":"s3cr3tvalue"}})", R"({"result":{"secret":"s3***"}})"},
      {"escaped value", R"({"secret":"\u0073\u0033cr\/et\"x"})", R"({"secret":"s3***"})"},
      {"written twice", R"({"secret":"first-value","secret":"second-value"})", R"({"secret":"se***"})"},
      {"a number", R"({"secret":12345678,"x":"secret"})", R"({"secret":"***","x":"secret"})"},
      {"inside an array", R"([{"secret":"abcdefgh"},{"secret":"ijklmnop"}])",
       R"([{"secret":"ab***"},{"secret":"ij***"}])"},
      {"comments allowed", "{/* reply */ \"secret\" : \"abcdefgh\"}", R"({"secret":"ab***"})"},
  };
  for (const Case& c : cases) EXPECT_EQ(MaskJsonMembers(c.text, "secret"), c.expected) << c.why;
}

TEST(TextUtil, MaskJsonMembersScansTextThatDoesNotParse) {
  struct Case {
    const char* why;
    std::string text;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"cut inside the value", R"({"secret":"abcdefgh)", R"({"secret":"ab***)"},
      {"cut after the value", R"({"secret" : "abcdefgh", "x":)", R"({"secret" : "ab***", "x":)"},
      {"escaped name", R"({"\u0073ecret":"abcdefgh",)", R"({"\u0073ecret":"ab***",)"},
      {"escaped quote in the value", R"({"secret":"ab\"cdefgh",)", R"({"secret":"ab***",)"},
      {"a number", R"({"secret":12345678,)", R"({"secret":***,)"},
      {"the name as a value", R"({"x":"secret", "secret":"abcdefgh")", R"({"x":"secret", "secret":"ab***")"},
  };
  for (const Case& c : cases) EXPECT_EQ(MaskJsonMembers(c.text, "secret"), c.expected) << c.why;
}

}  // namespace
}  // namespace tillcast
