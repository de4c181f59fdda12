// Reading the text of an enhanced metafile: the text-output records are
// collected with their positions and widths and laid out again as lines,
// with spaces for horizontal gaps. A file may hold several metafiles back
// to back (one per page, as the spool converter writes them); their texts
// follow each other in file order.
//
// Every size, offset and count in the file is checked against its record
// and the file before use: a damaged file yields less text, never a read
// outside the file.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "capture/font_service.h"

namespace tillcast {

struct TextItem {
  int32_t x = 0;      // reference point, logical units
  int32_t y = 0;      // |reference point y|
  int32_t width = 0;  // sum of the advances
  std::wstring text;
};

class IEMFParser {
 public:
  explicit IEMFParser(std::string path) : path_(std::move(path)) {}
  virtual ~IEMFParser() = default;
  // The text lines joined by "\n"; empty when the file is no metafile or
  // holds no text.
  virtual std::wstring Parse() = 0;

 protected:
  std::string path_;
};

// One object per job; not thread-safe (distinct objects may run in
// parallel).
class EMFParser final : public IEMFParser {
 public:
  explicit EMFParser(std::string path);
  std::wstring Parse() override;
  // The same on bytes in memory.
  std::wstring ParseBytes(const uint8_t* data, size_t size);
  // The items of the last page parsed, in record order.
  const std::vector<TextItem>& items() const { return items_; }
  const std::wstring& face_name() const { return face_name_; }

  // Larger files are not read.
  static constexpr size_t kMaxFileSize = size_t{512} << 20;

 private:
  struct Font {
    int32_t height = 16;
    int32_t weight = 400;
    uint8_t italic = 0, underline = 0, strike_out = 0, pitch_and_family = 0;
    std::wstring face = L"System";
  };
  struct Object {
    bool is_font = false;
    Font font;
  };
  void PlayPage(const uint8_t* data, size_t size);
  void OnRecord(uint32_t type, const uint8_t* rec, size_t size);
  void OnCreateFont(const uint8_t* rec, size_t size);
  void OnSelectObject(const uint8_t* rec, size_t size);
  void OnExtTextOutW(const uint8_t* rec, size_t size);
  void OnSmallTextOut(const uint8_t* rec, size_t size);
  void AddItem(int32_t x, int32_t y, const std::wstring& text, const std::vector<int32_t>& advances);
  std::wstring GlyphsToText(const std::vector<uint16_t>& glyphs);
  std::vector<int32_t> Measure(const std::wstring& text) const;
  void MeasureCharWidths();

  std::wstring face_name_;
  std::map<std::wstring, std::shared_ptr<const capture::GlyphMap>> glyph_maps_;
  std::vector<TextItem> items_;
  // The playback state of the page: handle table, selected font, saved
  // states.
  std::map<uint32_t, Object> handles_;
  Font font_;
  std::vector<Font> saved_;
};

// The process-wide advances of "a" and U+4F60, measured in the font of the
// first text record the process sees; [0] is the width of one space.
std::array<int32_t, 2> CharWidths();
void ResetCharWidthsForTest();
void SetCharWidthsForTest(int32_t a_width, int32_t cjk_width);

// Sorts `items` by y, then x, and lays them out as lines: one line per
// distinct y, (gap / space_width) spaces for a gap wider than one space.
std::wstring LayOutItems(std::vector<TextItem> items, int32_t space_width);

// UTF-16 code units -> wide text (surrogate pairs joined, lone halves
// replaced by U+FFFD).
std::wstring Utf16ToWide(const uint16_t* units, size_t count);

// True when `data` starts with a metafile header record; `*bytes` gets the
// size the header states.
bool IsMetafileHeader(const uint8_t* data, size_t size, uint32_t* bytes);

}  // namespace tillcast
