#include "base/log_excerpt.h"

namespace tillcast {
namespace {

// Length of the UTF-8 sequence a lead byte starts; 0 for a byte no
// sequence starts with.
size_t Utf8Length(unsigned char c) {
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF) return 2;
  if (c >= 0xE0 && c <= 0xEF) return 3;
  if (c >= 0xF0 && c <= 0xF4) return 4;
  return 0;
}

// Where to cut `text` at most `head` bytes in without splitting a
// character: UTF-8 when its start reads as UTF-8 (JSON, replies), else GBK
// (receipts, converted texts).
size_t CutPoint(const std::string& text, size_t head) {
  size_t utf8 = 0;
  bool isUtf8 = true;
  while (utf8 < head) {
    const size_t len = Utf8Length(static_cast<unsigned char>(text[utf8]));
    bool whole = len > 0 && utf8 + len <= text.size();
    for (size_t k = 1; whole && k < len; ++k) whole = (static_cast<unsigned char>(text[utf8 + k]) & 0xC0) == 0x80;
    if (!whole) {
      isUtf8 = false;
      break;
    }
    if (utf8 + len > head) break;
    utf8 += len;
  }
  if (isUtf8) return utf8;
  size_t gbk = 0;
  while (gbk < head) {
    const unsigned char c = static_cast<unsigned char>(text[gbk]);
    const size_t len = c >= 0x81 && c <= 0xFE && gbk + 1 < text.size() ? 2 : 1;
    if (gbk + len > head) break;
    gbk += len;
  }
  return gbk;
}

}  // namespace

std::string LogExcerpt(const std::string& text, size_t head) {
  if (text.size() <= head) return text;
  return text.substr(0, CutPoint(text, head)) + "...(" + std::to_string(text.size()) + " bytes)";
}

}  // namespace tillcast
