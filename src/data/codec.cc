#include "data/codec.h"

#include <openssl/evp.h>

#include <memory>

namespace tillcast {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Value of one Base64 character, or -1 for anything outside the alphabet
// (padding included).
int Base64Value(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

std::vector<unsigned char> Base64Decode(const std::string& text) {
  std::vector<unsigned char> out;
  out.reserve(text.size() / 4 * 3 + 2);
  unsigned group[4];
  size_t filled = 0;
  for (const char ch : text) {
    const int v = Base64Value(static_cast<unsigned char>(ch));
    if (v < 0) break;  // "=", a line break or any stray character ends the data
    group[filled++] = static_cast<unsigned>(v);
    if (filled == 4) {
      out.push_back(static_cast<unsigned char>((group[0] << 2) | (group[1] >> 4)));
      out.push_back(static_cast<unsigned char>(((group[1] & 0x0F) << 4) | (group[2] >> 2)));
      out.push_back(static_cast<unsigned char>(((group[2] & 0x03) << 6) | group[3]));
      filled = 0;
    }
  }
  // A short final group: two characters carry one byte, three carry two.
  if (filled >= 2) out.push_back(static_cast<unsigned char>((group[0] << 2) | (group[1] >> 4)));
  if (filled == 3) out.push_back(static_cast<unsigned char>(((group[1] & 0x0F) << 4) | (group[2] >> 2)));
  return out;
}

std::string Base64Encode(const void* data, size_t length) {
  const auto* in = static_cast<const unsigned char*>(data);
  std::string out;
  out.reserve((length + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= length; i += 3) {
    const unsigned n = (unsigned{in[i]} << 16) | (unsigned{in[i + 1]} << 8) | in[i + 2];
    out += kAlphabet[(n >> 18) & 0x3F];
    out += kAlphabet[(n >> 12) & 0x3F];
    out += kAlphabet[(n >> 6) & 0x3F];
    out += kAlphabet[n & 0x3F];
  }
  const size_t rest = length - i;
  if (rest > 0) {
    unsigned n = unsigned{in[i]} << 16;
    if (rest == 2) n |= unsigned{in[i + 1]} << 8;
    out += kAlphabet[(n >> 18) & 0x3F];
    out += kAlphabet[(n >> 12) & 0x3F];
    out += rest == 2 ? kAlphabet[(n >> 6) & 0x3F] : '=';
    out += '=';
  }
  return out;
}

std::string Md5Hex(const void* data, size_t length) {
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_md5(), nullptr) != 1 || EVP_DigestUpdate(ctx.get(), data, length) != 1 ||
      EVP_DigestFinal_ex(ctx.get(), digest, &size) != 1) {
    return {};
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(size * 2);
  for (unsigned int i = 0; i < size; ++i) {
    out += kHex[digest[i] >> 4];
    out += kHex[digest[i] & 0x0F];
  }
  return out;
}

}  // namespace tillcast
