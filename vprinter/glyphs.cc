#include "glyphs.h"

#include <fontconfig/fontconfig.h>
#include <ft2build.h>
#include FT_FREETYPE_H

#include <algorithm>
#include <cmath>

namespace vprinter {
namespace {

struct FaceDeleter {
  void operator()(FT_Face f) const { FT_Done_Face(f); }
};
using FacePtr = std::unique_ptr<std::remove_pointer_t<FT_Face>, FaceDeleter>;

struct LibraryDeleter {
  void operator()(FT_Library l) const { FT_Done_FreeType(l); }
};
using LibraryPtr = std::unique_ptr<std::remove_pointer_t<FT_Library>, LibraryDeleter>;

struct PatternDeleter {
  void operator()(FcPattern* p) const { FcPatternDestroy(p); }
};
using PatternPtr = std::unique_ptr<FcPattern, PatternDeleter>;

struct ConfigDeleter {
  void operator()(FcConfig* c) const { FcConfigDestroy(c); }
};
using ConfigPtr = std::unique_ptr<FcConfig, ConfigDeleter>;

// The file and face index fontconfig picks for `family`; false when the
// match does not cover `probe` (a character the font must have).
bool FindFont(FcConfig* config, const char* family, uint32_t probe, std::string* file, int* index) {
  PatternPtr pattern(FcNameParse(reinterpret_cast<const FcChar8*>(family)));
  if (!pattern) return false;
  FcConfigSubstitute(config, pattern.get(), FcMatchPattern);
  FcDefaultSubstitute(pattern.get());
  FcResult result = FcResultNoMatch;
  PatternPtr match(FcFontMatch(config, pattern.get(), &result));
  if (!match) return false;
  FcCharSet* chars = nullptr;
  if (FcPatternGetCharSet(match.get(), FC_CHARSET, 0, &chars) != FcResultMatch || !FcCharSetHasChar(chars, probe)) {
    return false;
  }
  FcChar8* path = nullptr;
  if (FcPatternGetString(match.get(), FC_FILE, 0, &path) != FcResultMatch) return false;
  int idx = 0;
  FcPatternGetInteger(match.get(), FC_INDEX, 0, &idx);
  *file = reinterpret_cast<const char*>(path);
  *index = idx;
  return true;
}

// Pixel size of the outline for each cell: the Latin face's advance fills
// the cell width, the Chinese face leaves a dot of spacing.
int PixelSize(CellKind kind) {
  switch (kind) {
    case CellKind::kFontA: return 20;
    case CellKind::kFontB: return 15;
    case CellKind::kWide: return 22;
  }
  return 20;
}

constexpr int kInkThreshold = 96;  // of 255 coverage

}  // namespace

CellSize SizeOf(CellKind kind) {
  switch (kind) {
    case CellKind::kFontA: return {12, 24};
    case CellKind::kFontB: return {9, 17};
    case CellKind::kWide: return {24, 24};
  }
  return {12, 24};
}

struct GlyphSource::Impl {
  LibraryPtr library;
  FacePtr latin;
  FacePtr cjk;
  std::string latin_file;
  std::string cjk_file;
  int latin_px = 0, cjk_px = 0;  // pixel size currently set

  // Renders `cp` from `face` into `cell`; false when the face lacks it.
  bool Render(FT_Face face, int* current_px, uint32_t cp, CellKind kind, GlyphCell* cell) {
    const FT_UInt index = FT_Get_Char_Index(face, cp);
    if (index == 0) return false;
    const int px = PixelSize(kind);
    if (*current_px != px) {
      if (FT_Set_Pixel_Sizes(face, 0, static_cast<FT_UInt>(px)) != 0) return false;
      *current_px = px;
    }
    if (FT_Load_Glyph(face, index, FT_LOAD_DEFAULT) != 0) return false;
    if (FT_Render_Glyph(face->glyph, FT_RENDER_MODE_NORMAL) != 0) return false;
    const FT_GlyphSlot g = face->glyph;
    const double ascent = static_cast<double>(face->size->metrics.ascender) / 64.0;
    const double descent = -static_cast<double>(face->size->metrics.descender) / 64.0;
    const int baseline = static_cast<int>(std::lround(cell->h * ascent / std::max(1.0, ascent + descent)));
    const int advance = static_cast<int>(g->advance.x >> 6);
    const int left = (cell->w - advance) / 2 + g->bitmap_left;
    const int top = baseline - g->bitmap_top;
    const FT_Bitmap& bm = g->bitmap;
    for (unsigned int r = 0; r < bm.rows; ++r) {
      const unsigned char* row = bm.buffer + static_cast<std::ptrdiff_t>(r) * bm.pitch;
      const int y = top + static_cast<int>(r);
      if (y < 0 || y >= cell->h) continue;
      for (unsigned int c = 0; c < bm.width; ++c) {
        const int x = left + static_cast<int>(c);
        if (x < 0 || x >= cell->w || row[c] < kInkThreshold) continue;
        cell->dots[static_cast<size_t>(y * cell->w + x)] = 1;
      }
    }
    return true;
  }
};

std::unique_ptr<GlyphSource> GlyphSource::Open(std::string* error) {
  auto impl = std::make_unique<Impl>();
  FT_Library lib = nullptr;
  if (FT_Init_FreeType(&lib) != 0) {
    *error = "FreeType could not be initialised";
    return nullptr;
  }
  impl->library.reset(lib);
  ConfigPtr config(FcInitLoadConfigAndFonts());
  if (!config) {
    *error = "fontconfig could not be initialised";
    return nullptr;
  }
  int latin_index = 0, cjk_index = 0;
  const bool have_latin = FindFont(config.get(), "DejaVu Sans Mono", 'A', &impl->latin_file, &latin_index) ||
                          FindFont(config.get(), "monospace", 'A', &impl->latin_file, &latin_index);
  const bool have_cjk = FindFont(config.get(), "WenQuanYi Micro Hei", 0x4E2D, &impl->cjk_file, &cjk_index) ||
                        FindFont(config.get(), "sans-serif:lang=zh-cn", 0x4E2D, &impl->cjk_file, &cjk_index);
  if (!have_latin && !have_cjk) {
    *error = "no usable font (install fonts-dejavu-core and fonts-wqy-microhei)";
    return nullptr;
  }
  FT_Face face = nullptr;
  if (have_latin && FT_New_Face(lib, impl->latin_file.c_str(), latin_index, &face) == 0) impl->latin.reset(face);
  face = nullptr;
  if (have_cjk && FT_New_Face(lib, impl->cjk_file.c_str(), cjk_index, &face) == 0) impl->cjk.reset(face);
  if (!impl->latin && !impl->cjk) {
    *error = "the fonts found could not be loaded: " + impl->latin_file + " " + impl->cjk_file;
    return nullptr;
  }
  return std::unique_ptr<GlyphSource>(new GlyphSource(std::move(impl)));
}

GlyphSource::GlyphSource(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
GlyphSource::~GlyphSource() = default;

const std::string& GlyphSource::latin_file() const { return impl_->latin_file; }
const std::string& GlyphSource::cjk_file() const { return impl_->cjk_file; }

const GlyphCell& GlyphSource::Get(uint32_t cp, CellKind kind) {
  const uint64_t key = static_cast<uint64_t>(cp) << 2 | static_cast<uint64_t>(kind);
  auto it = cache_.find(key);
  if (it != cache_.end()) return it->second;
  GlyphCell cell;
  const CellSize size = SizeOf(kind);
  cell.w = size.w;
  cell.h = size.h;
  cell.dots.assign(static_cast<size_t>(cell.w * cell.h), 0);
  const bool blank = cp == ' ' || cp == 0x3000 || cp == 0xA0;
  if (!blank) {
    Impl& im = *impl_;
    FT_Face first = kind == CellKind::kWide ? im.cjk.get() : im.latin.get();
    int* first_px = kind == CellKind::kWide ? &im.cjk_px : &im.latin_px;
    FT_Face second = kind == CellKind::kWide ? im.latin.get() : im.cjk.get();
    int* second_px = kind == CellKind::kWide ? &im.latin_px : &im.cjk_px;
    const bool drawn = (first && im.Render(first, first_px, cp, kind, &cell)) ||
                       (second && im.Render(second, second_px, cp, kind, &cell));
    if (!drawn) {
      // A box, as printers show characters their font lacks.
      for (int x = 2; x < cell.w - 2; ++x) {
        cell.dots[static_cast<size_t>(3 * cell.w + x)] = 1;
        cell.dots[static_cast<size_t>((cell.h - 4) * cell.w + x)] = 1;
      }
      for (int y = 3; y < cell.h - 3; ++y) {
        cell.dots[static_cast<size_t>(y * cell.w + 2)] = 1;
        cell.dots[static_cast<size_t>(y * cell.w + cell.w - 3)] = 1;
      }
    }
  }
  return cache_.emplace(key, std::move(cell)).first->second;
}

}  // namespace vprinter
