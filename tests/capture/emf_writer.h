// Builds small metafiles and spool files for tests, record by record.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tillcast::test {

class EmfWriter {
 public:
  EmfWriter();
  // Font object `index` with height, weight and face.
  EmfWriter& CreateFont(uint32_t index, int32_t height, const std::u16string& face, int32_t weight = 400);
  EmfWriter& Select(uint32_t index);
  EmfWriter& SaveDc();
  EmfWriter& RestoreDc(int32_t relative);
  // Wide text; `dx` empty = no advance array. `options` as the record has
  // them (0x10 = the units are glyph indices).
  EmfWriter& TextW(int32_t x, int32_t y, const std::u16string& text, const std::vector<int32_t>& dx = {},
                   uint32_t options = 0);
  EmfWriter& GlyphsW(int32_t x, int32_t y, const std::vector<uint16_t>& glyphs, const std::vector<int32_t>& dx = {});
  // Small text: 8-bit bytes with option 0x200 set, else UTF-16.
  EmfWriter& SmallText(int32_t x, int32_t y, const std::string& bytes, uint32_t options);
  EmfWriter& SmallTextW(int32_t x, int32_t y, const std::u16string& text, uint32_t options);
  EmfWriter& Raw(uint32_t type, const std::string& body);
  // The metafile with its end record and the header's byte count set.
  std::string Finish();

 private:
  std::string records_;
  uint32_t count_ = 1;
};

// A spool file: header record (its size counting its own prefix), then per
// page a type-12 record and an end-of-page record. `counted` writes the
// later records' sizes with the 8-byte prefix included.
std::string MakeSpool(const std::vector<std::string>& pages, bool counted = false);

void PutU32(std::string* out, uint32_t v);
void PutU16(std::string* out, uint16_t v);

}  // namespace tillcast::test
