#include "sim_util.h"

#include <hiredis/hiredis.h>
#include <iconv.h>
#include <openssl/evp.h>
#include <sys/time.h>

#include <cctype>
#include <fstream>
#include <sstream>
#include <memory>
#include <vector>

namespace cloudsim {

std::string Compact(const Json::Value& v) {
  Json::StreamWriterBuilder w;
  w["indentation"] = "";
  w["emitUTF8"] = true;
  return Json::writeString(w, v);
}

bool ReadFile(const std::string& path, std::string* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::stringstream ss;
  ss << in.rdbuf();
  if (in.bad()) return false;
  *out = ss.str();
  return true;
}
namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string Decode(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '+') {
      out += ' ';
    } else if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 && HexValue(text[i + 2]) >= 0) {
      out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::string Md5UpperHex(const std::string& text) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  EVP_Digest(text.data(), text.size(), digest, &len, EVP_md5(), nullptr);
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned int i = 0; i < len; ++i) {
    out += kHex[digest[i] >> 4];
    out += kHex[digest[i] & 15];
  }
  return out;
}

struct ContextFree {
  void operator()(redisContext* c) const { redisFree(c); }
};
struct ReplyFree {
  void operator()(redisReply* r) const { freeReplyObject(r); }
};
using ReplyPtr = std::unique_ptr<redisReply, ReplyFree>;

// Runs one command; false with `*error` on no reply or an error reply.
bool Run(redisContext* c, const std::vector<std::string>& args, std::string* error) {
  std::vector<const char*> argv;
  std::vector<size_t> argl;
  for (const auto& a : args) {
    argv.push_back(a.data());
    argl.push_back(a.size());
  }
  ReplyPtr reply(
      static_cast<redisReply*>(redisCommandArgv(c, static_cast<int>(argv.size()), argv.data(), argl.data())));
  if (!reply) {
    *error = c->errstr;
    return false;
  }
  if (reply->type == REDIS_REPLY_ERROR) {
    *error = std::string(reply->str, reply->len);
    return false;
  }
  return true;
}

}  // namespace

std::map<std::string, std::string> ParseForm(const std::string& text) {
  std::map<std::string, std::string> out;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('&', start);
    if (end == std::string::npos) end = text.size();
    const std::string pair = text.substr(start, end - start);
    if (!pair.empty()) {
      const size_t eq = pair.find('=');
      if (eq == std::string::npos)
        out[Decode(pair)] = "";
      else
        out[Decode(pair.substr(0, eq))] = Decode(pair.substr(eq + 1));
    }
    start = end + 1;
  }
  return out;
}

std::string ExpectedSign(const std::map<std::string, std::string>& params, const std::string& key) {
  std::string text;
  for (const auto& [name, value] : params) {
    if (name == "sign") continue;
    if (!text.empty()) text += '&';
    text += name + "=" + value;
  }
  return Md5UpperHex(text + "&key=" + key);
}

bool SignatureValid(const std::map<std::string, std::string>& params, const std::string& key) {
  const auto it = params.find("sign");
  return it != params.end() && it->second == ExpectedSign(params, key);
}

std::string Base64Encode(const std::string& bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
  out.resize(static_cast<size_t>(n));
  return out;
}

std::string Base64Decode(const std::string& text) {
  static const std::string kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  unsigned int acc = 0;
  int bits = 0;
  for (const char c : text) {
    const size_t v = kAlphabet.find(c);
    if (c == '=' || v == std::string::npos) break;
    acc = (acc << 6) | static_cast<unsigned int>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>((acc >> bits) & 0xFF);
    }
  }
  return out;
}

std::string Utf8ToGbk(const std::string& utf8) {
  iconv_t cd = iconv_open("GBK", "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1)) return utf8;
  std::string in = utf8;
  std::string out(utf8.size() * 2 + 16, '\0');
  char* src = in.data();
  size_t srcLeft = in.size();
  char* dst = out.data();
  size_t dstLeft = out.size();
  const size_t rc = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
  iconv_close(cd);
  if (rc == static_cast<size_t>(-1)) return utf8;
  out.resize(out.size() - dstLeft);
  return out;
}

bool RedisPush(const RedisTarget& target, const std::string& key, const std::string& value, std::string* error) {
  timeval tv{2, 0};
  std::unique_ptr<redisContext, ContextFree> c(redisConnectWithTimeout(target.host.c_str(), target.port, tv));
  if (!c || c->err != 0) {
    *error = c ? c->errstr : "cannot allocate a redis context";
    return false;
  }
  redisSetTimeout(c.get(), tv);
  if (!target.password.empty() && !Run(c.get(), {"AUTH", target.password}, error)) return false;
  if (!Run(c.get(), {"SELECT", std::to_string(target.db)}, error)) return false;
  return Run(c.get(), {"RPUSH", key, value}, error);
}

}  // namespace cloudsim
