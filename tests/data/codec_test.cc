#include "data/codec.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tillcast {
namespace {

std::vector<unsigned char> Bytes(const std::string& s) { return {s.begin(), s.end()}; }

TEST(Base64, Rfc4648VectorsRoundTrip) {
  const std::pair<std::string, const char*> cases[] = {{"", ""},
                                                       {"f", "Zg=="},
                                                       {"fo", "Zm8="},
                                                       {"foo", "Zm9v"},
                                                       {"foob", "Zm9vYg=="},
                                                       {"fooba", "Zm9vYmE="},
                                                       {"foobar", "Zm9vYmFy"},
                                                       {"\xfb\xff\xbf", "+/+/"}};
  for (const auto& [plain, encoded] : cases) {
    EXPECT_EQ(Base64Encode(plain.data(), plain.size()), encoded);
    EXPECT_EQ(Base64Decode(encoded), Bytes(plain)) << encoded;
  }
}

TEST(Base64, DecodingStopsAtPaddingOrAForeignCharacter) {
  const std::pair<const char*, const char*> cases[] = {{"Zm9v=Zm9v", "foo"}, {"Zm9vYmFy\r\nZm9v", "foobar"},
                                                       {"Zm9v YmFy", "foo"}, {"Zm9vY-_x", "foo"},
                                                       {"Zg", "f"},          {"Zm8", "fo"},
                                                       {"Zm9vY", "foo"},     {"====", ""}};
  for (const auto& [encoded, plain] : cases) EXPECT_EQ(Base64Decode(encoded), Bytes(plain)) << encoded;
}

TEST(Md5, Rfc1321Vectors) {
  const std::pair<std::string, const char*> cases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"}};
  for (const auto& [input, digest] : cases) EXPECT_EQ(Md5Hex(input.data(), input.size()), digest) << input;
}

}  // namespace
}  // namespace tillcast
