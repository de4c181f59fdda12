#include <fontconfig/fontconfig.h>
#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_ADVANCES_H
#include FT_TRUETYPE_TABLES_H

#include <cmath>
#include <cstdlib>
#include <mutex>

#include "capture/font_service.h"
#include "platform/codepage.h"

namespace tillcast::capture {
namespace {

struct FaceDeleter {
  void operator()(FT_Face f) const { FT_Done_Face(f); }
};
using FacePtr = std::unique_ptr<std::remove_pointer_t<FT_Face>, FaceDeleter>;

struct FcPatternDeleter {
  void operator()(FcPattern* p) const { FcPatternDestroy(p); }
};

struct LoadedFace {
  FacePtr face;
  std::string file;
  int index = 0;
  int32_t cell_units = 0;  // ascent + descent in font units
};

constexpr int32_t kDefaultPpem = 16;

}  // namespace

struct FontService::Impl {
  using FileKey = std::pair<std::string, int>;  // font file, face index

  std::mutex mu;
  FT_Library lib = nullptr;
  // Face names seen -> the font they resolve to ("" = none). Hostile files
  // can name any number of faces; the table is dropped when it grows large.
  std::map<std::wstring, FileKey> names;
  // One loaded face and one glyph map per font file, however many names
  // lead to it.
  std::map<FileKey, std::unique_ptr<LoadedFace>> faces;
  std::map<FileKey, std::shared_ptr<const GlyphMap>> glyph_maps;

  static constexpr size_t kMaxNames = 1024;

  ~Impl() {
    faces.clear();
    if (lib) FT_Done_FreeType(lib);
  }

  LoadedFace* Load(const std::wstring& face_name) {
    FileKey key;
    if (!Resolve(face_name, &key)) return nullptr;
    return LoadFile(key);
  }

  bool Resolve(const std::wstring& face_name, FileKey* key) {
    auto it = names.find(face_name);
    if (it == names.end()) {
      if (names.size() >= kMaxNames) names.clear();
      it = names.emplace(face_name, Match(face_name)).first;
    }
    *key = it->second;
    return !key->first.empty();
  }

  LoadedFace* LoadFile(const FileKey& key) {
    auto it = faces.find(key);
    if (it != faces.end()) return it->second.get();
    std::unique_ptr<LoadedFace> loaded;
    FT_Face face = nullptr;
    if (lib && FT_New_Face(lib, key.first.c_str(), key.second, &face) == 0) {
      loaded = std::make_unique<LoadedFace>();
      loaded->face.reset(face);
      loaded->file = key.first;
      loaded->index = key.second;
      FT_Select_Charmap(face, FT_ENCODING_UNICODE);
      const auto* os2 = static_cast<const TT_OS2*>(FT_Get_Sfnt_Table(face, FT_SFNT_OS2));
      loaded->cell_units = os2 != nullptr && os2->usWinAscent + os2->usWinDescent > 0
                               ? os2->usWinAscent + os2->usWinDescent
                               : face->ascender - face->descender;
      if (loaded->cell_units <= 0) loaded->cell_units = face->units_per_EM;
    }
    LoadedFace* raw = loaded.get();
    faces[key] = std::move(loaded);
    return raw;
  }

  // fontconfig's choice for a face name, asked with the language zh-cn.
  FileKey Match(const std::wstring& face_name) {
    std::wstring family = face_name;
    if (!family.empty() && family[0] == L'@') family.erase(0, 1);  // vertical variant
    std::string utf8;
    int err = 0;
    if (!platform::WideToNarrow("UTF-8", family, &utf8, &err)) utf8.clear();
    std::unique_ptr<FcPattern, FcPatternDeleter> pat(FcPatternCreate());
    if (!pat) return {};
    if (!utf8.empty()) FcPatternAddString(pat.get(), FC_FAMILY, reinterpret_cast<const FcChar8*>(utf8.c_str()));
    FcPatternAddString(pat.get(), FC_LANG, reinterpret_cast<const FcChar8*>("zh-cn"));
    FcPatternAddBool(pat.get(), FC_SCALABLE, FcTrue);
    FcConfigSubstitute(nullptr, pat.get(), FcMatchPattern);
    FcDefaultSubstitute(pat.get());
    FcResult result = FcResultNoMatch;
    std::unique_ptr<FcPattern, FcPatternDeleter> match(FcFontMatch(nullptr, pat.get(), &result));
    if (!match) return {};
    FcChar8* file = nullptr;
    int index = 0;
    if (FcPatternGetString(match.get(), FC_FILE, 0, &file) != FcResultMatch || file == nullptr) return {};
    FcPatternGetInteger(match.get(), FC_INDEX, 0, &index);
    return {reinterpret_cast<const char*>(file), index};
  }
};

FontService* FontService::Get() {
  static FontService* service = new FontService();  // lives with the process
  return service;
}

FontService::FontService() : impl_(std::make_unique<Impl>()) {
  FcInit();
  if (FT_Init_FreeType(&impl_->lib) != 0) impl_->lib = nullptr;
  // fontconfig keeps what it parsed of its configuration until FcFini; the
  // service itself lives on (threads may still measure text at exit), and a
  // later fontconfig call would simply load the configuration again.
  std::atexit([] {
    std::lock_guard<std::mutex> l(Get()->impl_->mu);
    FcFini();
  });
}

FontService::~FontService() = default;

void FontService::Advances(const std::wstring& face_name, int32_t height, const std::wstring& text,
                           std::vector<int32_t>* out) {
  out->assign(text.size(), 0);
  std::lock_guard<std::mutex> l(impl_->mu);
  LoadedFace* face = impl_->Load(face_name);
  LoadedFace* fallback = impl_->Load(L"sans-serif");
  if (face == nullptr) face = fallback;
  if (face == nullptr) return;
  const FT_Face f = face->face.get();
  const double upem = f->units_per_EM > 0 ? f->units_per_EM : 1000;
  // Height to pixels per em, the way a metafile font height is meant.
  double ppem = kDefaultPpem;
  if (height < 0)
    ppem = -static_cast<double>(height);
  else if (height > 0)
    ppem = static_cast<double>(height) * upem / face->cell_units;
  // Cumulative extents, rounded, then differences: the advances add up to
  // the rounded extent of the whole text.
  double total = 0;
  int64_t previous = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const FT_ULong ch = static_cast<FT_ULong>(text[i]);
    FT_Face use = f;
    FT_UInt glyph = FT_Get_Char_Index(f, ch);
    if (glyph == 0 && fallback != nullptr && fallback != face) {
      const FT_UInt g2 = FT_Get_Char_Index(fallback->face.get(), ch);
      if (g2 != 0) {
        use = fallback->face.get();
        glyph = g2;
      }
    }
    FT_Fixed units = 0;
    if (FT_Get_Advance(use, glyph, FT_LOAD_NO_SCALE, &units) != 0) units = 0;
    const double use_upem = use->units_per_EM > 0 ? use->units_per_EM : 1000;
    total += static_cast<double>(units) * ppem / use_upem;
    const int64_t cumulative = std::llround(total);
    (*out)[i] = static_cast<int32_t>(cumulative - previous);
    previous = cumulative;
  }
}

std::shared_ptr<const GlyphMap> FontService::SharedGlyphMap(const std::wstring& face_name) {
  Impl::FileKey key;
  {
    std::lock_guard<std::mutex> l(impl_->mu);
    if (!impl_->Resolve(face_name, &key)) return nullptr;
    auto it = impl_->glyph_maps.find(key);
    if (it != impl_->glyph_maps.end()) return it->second;
  }
  auto map = std::make_shared<GlyphMap>();
  if (!BuildGlyphMap(face_name, map.get())) return nullptr;
  std::lock_guard<std::mutex> l(impl_->mu);
  return impl_->glyph_maps.emplace(key, std::move(map)).first->second;
}

bool FontService::BuildGlyphMap(const std::wstring& face_name, GlyphMap* out) {
  out->clear();
  std::lock_guard<std::mutex> l(impl_->mu);
  LoadedFace* face = impl_->Load(face_name);
  if (face == nullptr) return false;
  const FT_Face f = face->face.get();
  if (f->charmap == nullptr || f->charmap->encoding != FT_ENCODING_UNICODE) return true;  // no ranges: empty map
  FT_UInt glyph = 0;
  for (FT_ULong code = FT_Get_First_Char(f, &glyph); glyph != 0; code = FT_Get_Next_Char(f, code, &glyph)) {
    if (code > 0xFFFF) break;  // code points come in ascending order
    if (glyph > 0xFFFF || (code >= 0xD800 && code <= 0xDFFF)) continue;
    out->emplace(static_cast<uint16_t>(glyph), static_cast<wchar_t>(code));
  }
  return true;
}

std::string FontService::ResolvedFile(const std::wstring& face_name, int* index) {
  std::lock_guard<std::mutex> l(impl_->mu);
  LoadedFace* face = impl_->Load(face_name);
  if (face == nullptr) return {};
  *index = face->index;
  return face->file;
}

}  // namespace tillcast::capture
