#include <gtest/gtest.h>

#include <set>
#include <string>

#include "base/text_util.h"
#include "data/data_mgr.h"
#include "net/signing.h"
#include "support/test_support.h"

namespace tillcast {
namespace {

// Signatures computed independently (Python hashlib) over the signed texts.
TEST(SigningTest, ParametersGoInNameOrderAndAreSigned) {
  SignParams p;
  p["nonceStr"] = "n1";
  p["appId"] = "a";
  p["content"] = "c";
  EXPECT_EQ(MakeSignedQueryWithKey(p, "k"), "appId=a&content=c&nonceStr=n1&sign=D3C0C49B7DA17469B335E03F6CB5622E");
}

TEST(SigningTest, ValuesAreEncodedOnTheWireButSignedUnchanged) {
  EXPECT_EQ(MakeSignedQueryWithKey({{"v", "a b&c"}}, "k"), "v=a+b%26c&sign=86332FEE4DE92E923197953ABDDB767D");
  const std::string model = HexEscape("COM1", 4);
  EXPECT_EQ(model, "\\x43\\x4f\\x4d\\x31");
  EXPECT_EQ(MakeSignedQueryWithKey({{"deviceModel", model}}, "k"),
            "deviceModel=%5Cx43%5Cx4f%5Cx4d%5Cx31&sign=EC8ECD3C74B7E445294C38B033410D41");
}

TEST(SigningTest, EmptySetHasNoSignatureAndEmptyValuesStay) {
  EXPECT_EQ(MakeSignedQueryWithKey({}, "k"), "");
  const std::string q = MakeSignedQueryWithKey({{"a", ""}, {"b", "x"}}, "k");
  EXPECT_EQ(q.rfind("a=&b=x&sign=", 0), 0u) << q;
}

TEST(SigningTest, UrlEncodeTable) {
  struct Case {
    std::string in, out;
  } cases[] = {
      {"AZaz09", "AZaz09"},
      {"-_.~", "%2D%5F%2E%7E"},
      {" \t\n\v\f\r", "++++++"},
      {"=&%+/", "%3D%26%25%2B%2F"},
      {test::Gbk("中"), "%D6%D0"},
      {"\xE4\xB8\xAD", "%E4%B8%AD"},
      {std::string("\0\x7F\xFF", 3), "%00%7F%FF"},
  };
  for (const Case& c : cases) EXPECT_EQ(UrlEncode(c.in), c.out) << c.out;
}

TEST(SigningTest, SignatureIsThirtyTwoUpperHexDigits) {
  for (const char* key : {"", "k", "another key"}) {
    const std::string q = MakeSignedQueryWithKey({{"x", "1"}}, key);
    const std::string sign = q.substr(q.find("&sign=") + 6);
    ASSERT_EQ(sign.size(), 32u);
    EXPECT_EQ(sign.find_first_not_of("0123456789ABCDEF"), std::string::npos) << sign;
  }
}

TEST(SigningTest, DeviceQueryUsesTheBoundSecretAndOrderQueryTheFixedKey) {
  DataMgr& data = DataMgr::GetInstance();
  data.ResetForTest();
  // An empty secret still signs, over a text ending in "&key=".
  EXPECT_EQ(MakeSignedQuery({{"a", "1"}}), "a=1&sign=1C1054232842CCEA62607D9FA8E15F2D");
  data.SetBindInfo("secret", "store-secret");
  EXPECT_EQ(MakeSignedQuery({{"a", "1"}}), MakeSignedQueryWithKey({{"a", "1"}}, "store-secret"));
  EXPECT_EQ(MakeCvsSignedQuery({{"a", "1"}}), MakeSignedQueryWithKey({{"a", "1"}}, "Rk7QmWzTpLx2VbNc9HfJdYs4GuEaXo3L"));
  data.ResetForTest();
}

TEST(SigningTest, RandomStringsAreIndependentAndFromTheAlphabet) {
  std::set<std::string> seen;
  for (int i = 0; i < 50; ++i) {
    const std::string s = RandomString(8);
    ASSERT_EQ(s.size(), 8u);
    EXPECT_EQ(s.find_first_not_of("0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"), std::string::npos);
    seen.insert(s);
  }
  EXPECT_EQ(seen.size(), 50u);
  EXPECT_EQ(RandomString(0), "");
}

TEST(SigningTest, HexEscapeIsLowerCaseFourCharactersPerByte) {
  EXPECT_EQ(HexEscape("\x00\xAB\xff", 3), "\\x00\\xab\\xff");
  EXPECT_EQ(HexEscape("", 0), "");
}

}  // namespace
}  // namespace tillcast
