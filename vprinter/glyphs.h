// Character cells like a thermal printer's built-in fonts, drawn once per
// character with FreeType from the fonts fontconfig finds: font A 12x24 and
// font B 9x17 for single-byte characters, 24x24 for Chinese ones.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace vprinter {

enum class CellKind { kFontA = 0, kFontB = 1, kWide = 2 };

struct CellSize {
  int w, h;
};
CellSize SizeOf(CellKind kind);

// One character cell: w*h bytes, 1 = black dot.
struct GlyphCell {
  int w = 0, h = 0;
  std::vector<uint8_t> dots;
  bool At(int x, int y) const { return dots[static_cast<size_t>(y * w + x)] != 0; }
};

// Not thread-safe: one per rendering thread.
class GlyphSource {
 public:
  // Finds and loads the fonts; nullptr with `*error` set when none is
  // usable.
  static std::unique_ptr<GlyphSource> Open(std::string* error);
  ~GlyphSource();
  GlyphSource(const GlyphSource&) = delete;
  GlyphSource& operator=(const GlyphSource&) = delete;

  // The cell of `cp`; a box outline when no font has the character.
  const GlyphCell& Get(uint32_t cp, CellKind kind);

  // Font files in use (for --help and diagnostics).
  const std::string& latin_file() const;
  const std::string& cjk_file() const;

 private:
  struct Impl;
  explicit GlyphSource(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
  std::unordered_map<uint64_t, GlyphCell> cache_;
};

}  // namespace vprinter
