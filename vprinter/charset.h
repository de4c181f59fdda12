// Character decoding of the printer: the single-byte code pages chosen with
// ESC t and the double-byte GBK of the Chinese mode, to Unicode code points.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <unordered_map>

namespace vprinter {

// Not thread-safe: one per reader.
class Charset {
 public:
  Charset();
  ~Charset();
  Charset(const Charset&) = delete;
  Charset& operator=(const Charset&) = delete;

  // Byte 0x20..0xFF in the code page of ESC t `page` (unknown pages read as
  // PC437). Never 0.
  uint32_t SingleByte(uint8_t b, int page);
  // A GBK pair; 0 when the pair is not a GBK character.
  uint32_t DoubleByte(uint8_t lead, uint8_t trail);

 private:
  using Table = std::array<uint32_t, 128>;
  const Table& TableFor(int page);

  std::map<int, Table> tables_;
  std::unordered_map<uint16_t, uint32_t> gbk_cache_;
  struct Iconv;
  std::unique_ptr<Iconv> gbk_;
};

}  // namespace vprinter
