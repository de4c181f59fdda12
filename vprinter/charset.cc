#include "charset.h"

#include <iconv.h>

#include <cstring>

namespace vprinter {
namespace {

// ESC t numbers of the code pages we know, as iconv names.
const char* CodePageName(int page) {
  switch (page) {
    case 2: return "CP850";
    case 3: return "CP860";
    case 4: return "CP863";
    case 5: return "CP865";
    case 16: return "CP1252";
    case 17: return "CP866";
    case 18: return "CP852";
    case 19: return "CP858";
    default: return "CP437";
  }
}

// Converts `in` to one UTF-32 code point; 0 on failure.
uint32_t ConvertOne(iconv_t cd, const char* in, size_t in_len) {
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  char src[4];
  std::memcpy(src, in, in_len);
  char* src_p = src;
  uint32_t out[2] = {0, 0};
  char* out_p = reinterpret_cast<char*>(out);
  size_t out_left = sizeof(out);
  if (iconv(cd, &src_p, &in_len, &out_p, &out_left) == static_cast<size_t>(-1)) return 0;
  if (in_len != 0 || out_left != sizeof(out) - 4) return 0;
  return out[0];
}

}  // namespace

struct Charset::Iconv {
  iconv_t cd = reinterpret_cast<iconv_t>(-1);
  explicit Iconv(const char* from) : cd(iconv_open("UTF-32LE", from)) {}
  ~Iconv() {
    if (ok()) iconv_close(cd);
  }
  bool ok() const { return cd != reinterpret_cast<iconv_t>(-1); }
};

Charset::Charset() = default;
Charset::~Charset() = default;

const Charset::Table& Charset::TableFor(int page) {
  auto it = tables_.find(page);
  if (it != tables_.end()) return it->second;
  Table table{};
  Iconv conv(CodePageName(page));
  if (!conv.ok()) {
    Iconv fallback("CP437");
    for (int i = 0; i < 128; ++i) {
      const char c = static_cast<char>(0x80 + i);
      table[i] = fallback.ok() ? ConvertOne(fallback.cd, &c, 1) : 0;
    }
  } else {
    for (int i = 0; i < 128; ++i) {
      const char c = static_cast<char>(0x80 + i);
      table[i] = ConvertOne(conv.cd, &c, 1);
    }
  }
  for (auto& cp : table) {
    if (cp == 0) cp = '?';
  }
  return tables_.emplace(page, table).first->second;
}

uint32_t Charset::SingleByte(uint8_t b, int page) {
  if (b < 0x80) return b;
  return TableFor(page)[b - 0x80];
}

uint32_t Charset::DoubleByte(uint8_t lead, uint8_t trail) {
  const uint16_t key = static_cast<uint16_t>(lead << 8 | trail);
  auto it = gbk_cache_.find(key);
  if (it != gbk_cache_.end()) return it->second;
  if (!gbk_) gbk_ = std::make_unique<Iconv>("GBK");
  uint32_t cp = 0;
  if (gbk_->ok()) {
    const char pair[2] = {static_cast<char>(lead), static_cast<char>(trail)};
    cp = ConvertOne(gbk_->cd, pair, 2);
  }
  gbk_cache_.emplace(key, cp);
  return cp;
}

}  // namespace vprinter
