// Small helpers of the cloud simulator: form parsing, signatures, Base64,
// GBK text and pushing onto Redis lists.
#pragma once

#include <json/json.h>

#include <map>
#include <string>

namespace cloudsim {

// JSON on one line, UTF-8 unescaped.
std::string Compact(const Json::Value& v);

// The whole file; false when it cannot be opened or read.
bool ReadFile(const std::string& path, std::string* out);

// "a=1&b=x+y%26z" -> {a:"1", b:"x y&z"}; a later duplicate wins.
std::map<std::string, std::string> ParseForm(const std::string& text);

// Upper-case MD5 of "k1=v1&k2=v2...&key=KEY" over every parameter but
// "sign", in name order.
std::string ExpectedSign(const std::map<std::string, std::string>& params, const std::string& key);

// True when params hold a "sign" equal to ExpectedSign.
bool SignatureValid(const std::map<std::string, std::string>& params, const std::string& key);

std::string Base64Encode(const std::string& bytes);
// Stops at "=" or at the first character outside the alphabet.
std::string Base64Decode(const std::string& text);

// UTF-8 -> GBK; the input unchanged when it cannot be converted.
std::string Utf8ToGbk(const std::string& utf8);

// Where the device lists live.
struct RedisTarget {
  std::string host = "127.0.0.1";
  int port = 6379;
  std::string password;
  int db = 0;
};

// RPUSH `value` onto `key`; false with `*error` set on failure.
bool RedisPush(const RedisTarget& target, const std::string& key, const std::string& value, std::string* error);

}  // namespace cloudsim
