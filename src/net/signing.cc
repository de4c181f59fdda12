#include "net/signing.h"

#include <cctype>
#include <random>

#include "app/log.h"
#include "data/codec.h"
#include "data/data_mgr.h"

namespace tillcast {

std::string MakeSignedQueryWithKey(const SignParams& params, const std::string& key) {
  std::string signedText;
  std::string query;
  for (const auto& [name, value] : params) {
    signedText += name + "=" + value + "&";
    query += name + "=" + UrlEncode(value) + "&";
  }
  if (signedText.empty()) return query;
  signedText.pop_back();
  query.pop_back();
  signedText += "&key=" + key;
  std::string sign = Md5Hex(signedText.data(), signedText.size());
  if (sign.empty()) {
    // An unsigned request would only be refused, or worse be taken as
    // signed by a careless server: nothing is sent.
    Log(LOG_ERROR, "signature: MD5 cannot be computed here (the crypto library refuses it): the request is not sent");
    return {};
  }
  for (char& c : sign) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return query + "&sign=" + sign;
}

std::string MakeSignedQuery(const SignParams& params) {
  return MakeSignedQueryWithKey(params, DataMgr::GetInstance().GetBindInfo("secret"));
}

std::string MakeCvsSignedQuery(const SignParams& params) { return MakeSignedQueryWithKey(params, kOrderServiceKey); }

std::string UrlEncode(const std::string& text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size() * 3);
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) {
      out += ch;
    } else if (c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r') {
      out += '+';
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0x0F];
    }
  }
  return out;
}

std::string RandomString(size_t n) {
  static constexpr char kAlphabet[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  std::random_device source;
  std::mt19937 gen(static_cast<std::mt19937::result_type>(source()));
  std::uniform_int_distribution<int> pick(0, 61);
  std::string out;
  out.reserve(n);
  for (size_t i = 0; i < n; ++i) out += kAlphabet[pick(gen)];
  return out;
}

std::string HexEscape(const void* data, size_t length) {
  static constexpr char kHex[] = "0123456789abcdef";
  const auto* bytes = static_cast<const unsigned char*>(data);
  std::string out;
  out.reserve(length * 4);
  for (size_t i = 0; i < length; ++i) {
    out += '\\';
    out += 'x';
    out += kHex[bytes[i] >> 4];
    out += kHex[bytes[i] & 0x0F];
  }
  return out;
}

}  // namespace tillcast
