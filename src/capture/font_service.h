// Fonts for reading metafile text back: text advances and the map from
// glyph indices back to characters, from the installed fonts (FreeType,
// matched by fontconfig with the language zh-cn so that Chinese face names
// find a Chinese substitute).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace tillcast::capture {

// Glyph index -> the first (lowest) code point that maps to it.
using GlyphMap = std::map<uint16_t, wchar_t>;

// Process-wide and thread-safe; faces are loaded once per face name.
class FontService {
 public:
  static FontService* Get();

  // Advances of each character of `text` in `face` at the font height
  // `height` (a metafile font height: negative = character height, positive
  // = cell height, 0 = default), in the same units. A character the face
  // lacks is measured in the Chinese fallback face.
  void Advances(const std::wstring& face, int32_t height, const std::wstring& text, std::vector<int32_t>* out);

  // Builds the glyph map of the face matched for `face`. False when no font
  // could be loaded. Glyph 0 (missing) is never in the map.
  bool BuildGlyphMap(const std::wstring& face, GlyphMap* out);
  // The same, built once per face for the life of the process (fonts do
  // not change under a running agent); null when no font could be loaded.
  std::shared_ptr<const GlyphMap> SharedGlyphMap(const std::wstring& face);

  // The font file and face index that `face` resolves to ("" when none).
  std::string ResolvedFile(const std::wstring& face, int* index);

  FontService(const FontService&) = delete;
  FontService& operator=(const FontService&) = delete;

 private:
  FontService();
  ~FontService();
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace tillcast::capture
