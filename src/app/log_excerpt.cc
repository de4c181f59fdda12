#include "app/log_excerpt.h"

namespace tillcast {

std::string LogExcerpt(const std::string& text, size_t head) {
  if (text.size() <= head) return text;
  // Payloads are UTF-8 (JSON) or GBK (receipt text): step back over
  // UTF-8 continuation bytes, and over a GBK lead byte left without its
  // second half, so the line stays readable text.
  size_t cut = head;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80 &&
         (static_cast<unsigned char>(text[cut - 1]) & 0x80) != 0)
    --cut;
  if (cut == head) {
    size_t highRun = 0;
    while (highRun < cut && static_cast<unsigned char>(text[cut - 1 - highRun]) >= 0x81) ++highRun;
    if (highRun % 2 == 1) --cut;
  }
  return text.substr(0, cut) + "...(" + std::to_string(text.size()) + " bytes)";
}

}  // namespace tillcast
