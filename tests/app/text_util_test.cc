#include "app/text_util.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <stdexcept>
#include <system_error>

#include "app/log.h"
#include "support/test_support.h"

namespace tillcast {
namespace {

TEST(TextUtil, AnsiUtf8Conversions) {
  EXPECT_EQ(AnsiToUtf8(""), "");
  EXPECT_EQ(AnsiToUtf8("\xD6\xD0"), "\xE4\xB8\xAD");  // one Chinese character: 2 bytes -> 3
  EXPECT_EQ(AnsiToUtf8(std::string("ab\0cd", 5)), "ab");  // input ends at its first zero
  EXPECT_EQ(Utf8ToAnsi("\xE4\xB8\xAD"), "\xD6\xD0");
  EXPECT_EQ(Utf8ToAnsi(""), "");
  EXPECT_EQ(Utf8ToAnsi("\xFF\xFE bad"), "");            // invalid UTF-8
  EXPECT_EQ(Utf8ToAnsi("\xF0\x9F\x98\x80"), "");        // not representable in GBK
  EXPECT_EQ(Utf8ToAnsi(std::string("ab\0cd", 5)), "ab");  // result ends at its first zero
}

TEST(TextUtil, WideConversionsThrowOnFailure) {
  EXPECT_EQ(ToWide("\xD6\xD0" "a"), L"\u4E2Da");
  EXPECT_EQ(ToNarrow(L"\u4E2Da"), "\xD6\xD0" "a");
  EXPECT_THROW(ToWide("\x81"), std::system_error);  // truncated double-byte character
  EXPECT_THROW(ToNarrow(L"\U0001F600"), std::system_error);
  // The lossy form keeps what the code page has and marks each gap once.
  EXPECT_EQ(ToNarrowLossy(L"\u4E2D\U0001F600a"), "\xD6\xD0?a");
  EXPECT_EQ(ToNarrowLossy(L"\u4E2Da"), "\xD6\xD0" "a");
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
  for (int i = 0; i < 5; ++i) EXPECT_NE(lines[i].find("[INFO]: string_format " + std::to_string(i + 1)), std::string::npos);
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
      {"abc\xD6", false},     // the only high byte is the last one
      {"\xD6" "a\xD0", false},  // lone high bytes
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

TEST(TextUtil, MaskJsonMembersCoversEscapedAndBrokenDocuments) {
  // A value with escapes is masked as written; the clear text never survives.
  const std::string reply = R"({"code":0,"result":{"appId":"a1","secret":"s3cr\/et\"x"}})";
  const std::string masked = MaskJsonMembers(reply, "secret");
  EXPECT_EQ(masked, R"({"code":0,"result":{"appId":"a1","secret":"s3***"}})");
  EXPECT_EQ(MaskJsonMembers(R"({"password" : "hunter22", "password":5, "x":"password"})", "password"),
            R"({"password" : "hu***", "password":5, "x":"password"})");
  // A document cut off inside the value.
  EXPECT_EQ(MaskJsonMembers(R"({"secret":"abcdefgh)", "secret"), R"({"secret":"ab***)");
}

}  // namespace
}  // namespace tillcast
