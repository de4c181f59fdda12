#include "capture/emf_parser.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <fstream>

#include "platform/codepage.h"

namespace tillcast {
namespace {

// Record types.
constexpr uint32_t kEmrHeader = 1;
constexpr uint32_t kEmrEof = 14;
constexpr uint32_t kEmrSaveDc = 33;
constexpr uint32_t kEmrRestoreDc = 34;
constexpr uint32_t kEmrSelectObject = 37;
constexpr uint32_t kEmrCreatePen = 38;
constexpr uint32_t kEmrCreateBrushIndirect = 39;
constexpr uint32_t kEmrDeleteObject = 40;
constexpr uint32_t kEmrCreatePalette = 49;
constexpr uint32_t kEmrExtCreateFontIndirectW = 82;
constexpr uint32_t kEmrExtTextOutW = 84;
constexpr uint32_t kEmrCreateMonoBrush = 93;
constexpr uint32_t kEmrCreateDibPatternBrushPt = 94;
constexpr uint32_t kEmrExtCreatePen = 95;
constexpr uint32_t kEmrCreateColorSpace = 99;
constexpr uint32_t kEmrSmallTextOut = 108;
constexpr uint32_t kEmrCreateColorSpaceW = 122;

constexpr uint32_t kEtoGlyphIndex = 0x10;
constexpr uint32_t kEtoNoRect = 0x100;
constexpr uint32_t kEtoSmallChars = 0x200;
constexpr uint32_t kEtoPdy = 0x2000;

constexpr uint32_t kEmfSignature = 0x464D4520;  // " EMF"
constexpr size_t kHeaderMin = 88;
constexpr size_t kMaxSavedStates = 4096;
constexpr size_t kMaxHandles = 65536;
constexpr int64_t kMaxGapSpaces = 1024;
constexpr int64_t kGapSpacesPerCharacter = 64;

std::atomic<int32_t> g_char_widths[2] = {0, 0};

uint32_t U32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}
int32_t I32(const uint8_t* p) { return static_cast<int32_t>(U32(p)); }
uint16_t U16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

int32_t Clamp32(int64_t v) { return static_cast<int32_t>(std::clamp<int64_t>(v, INT32_MIN, INT32_MAX)); }

int32_t AbsY(int32_t y) { return Clamp32(std::llabs(static_cast<long long>(y))); }

// Stock fonts by stock object number.
bool StockFontFace(uint32_t number, const wchar_t** face) {
  switch (number) {
    case 10: *face = L"Terminal"; return true;       // OEM_FIXED_FONT
    case 11: *face = L"Courier"; return true;        // ANSI_FIXED_FONT
    case 12: *face = L"MS Sans Serif"; return true;  // ANSI_VAR_FONT
    case 13: *face = L"System"; return true;         // SYSTEM_FONT
    case 14: *face = L"System"; return true;         // DEVICE_DEFAULT_FONT
    case 16: *face = L"Fixedsys"; return true;       // SYSTEM_FIXED_FONT
    case 17: *face = L"MS Shell Dlg"; return true;   // DEFAULT_GUI_FONT
    default: return false;
  }
}

// 8-bit text in the ANSI code page; bytes that do not convert become
// U+FFFD, ASCII stays.
std::wstring AnsiToWideLenient(const std::string& bytes) {
  std::wstring out;
  int err = 0;
  if (platform::NarrowToWide(platform::AnsiCodePageName(), bytes, &out, &err)) return out;
  out.clear();
  for (const char c : bytes) out.push_back(static_cast<unsigned char>(c) < 0x80 ? static_cast<wchar_t>(c) : L'\xFFFD');
  return out;
}

}  // namespace

std::array<int32_t, 2> CharWidths() { return {g_char_widths[0].load(), g_char_widths[1].load()}; }

void ResetCharWidthsForTest() { SetCharWidthsForTest(0, 0); }

void SetCharWidthsForTest(int32_t a_width, int32_t cjk_width) {
  g_char_widths[1].store(cjk_width);
  g_char_widths[0].store(a_width);
}

std::wstring Utf16ToWide(const uint16_t* units, size_t count) {
  std::wstring out;
  out.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    const uint16_t u = units[i];
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < count && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
      out.push_back(static_cast<wchar_t>(0x10000 + ((u - 0xD800) << 10) + (units[i + 1] - 0xDC00)));
      ++i;
    } else if (u >= 0xD800 && u <= 0xDFFF) {
      out.push_back(L'\xFFFD');
    } else {
      out.push_back(static_cast<wchar_t>(u));
    }
  }
  return out;
}

bool IsMetafileHeader(const uint8_t* data, size_t size, uint32_t* bytes) {
  if (size < kHeaderMin || U32(data) != kEmrHeader) return false;
  const uint32_t rec_size = U32(data + 4);
  if (rec_size < kHeaderMin || rec_size > size || U32(data + 40) != kEmfSignature) return false;
  *bytes = U32(data + 48);
  return true;
}

std::wstring LayOutItems(std::vector<TextItem> items, int32_t space_width) {
  std::stable_sort(items.begin(), items.end(),
                   [](const TextItem& a, const TextItem& b) { return a.y != b.y ? a.y < b.y : a.x < b.x; });
  // A hostile gap must not become a gigabyte of blanks: each gap is capped,
  // and all gaps together may not outgrow the text by much (many tiny
  // records with wide gaps would otherwise multiply the input many times).
  int64_t budget = kMaxGapSpaces;
  for (const TextItem& item : items) budget += kGapSpacesPerCharacter * static_cast<int64_t>(item.text.size());
  std::wstring out;
  const TextItem* prev = nullptr;
  for (const TextItem& item : items) {
    if (prev != nullptr && item.y == prev->y) {
      const int64_t end = static_cast<int64_t>(prev->x) + prev->width;
      if (space_width > 0 && end + space_width < item.x) {
        const int64_t spaces = std::min({(item.x - end) / space_width, kMaxGapSpaces, budget});
        out.append(static_cast<size_t>(spaces), L' ');
        budget -= spaces;
      }
    } else if (prev != nullptr) {
      out.push_back(L'\n');
    }
    out += item.text;
    prev = &item;
  }
  return out;
}

EMFParser::EMFParser(std::string path) : IEMFParser(std::move(path)) {}

std::wstring EMFParser::Parse() {
  std::ifstream in(path_, std::ios::binary);
  if (!in) return {};
  in.seekg(0, std::ios::end);
  const std::streamoff size = in.tellg();
  if (size <= 0 || static_cast<uint64_t>(size) > kMaxFileSize) return {};
  in.seekg(0);
  std::string data(static_cast<size_t>(size), '\0');
  if (!in.read(data.data(), size)) return {};
  return ParseBytes(reinterpret_cast<const uint8_t*>(data.data()), data.size());
}

std::wstring EMFParser::ParseBytes(const uint8_t* data, size_t size) {
  std::wstring result;
  size_t off = 0;
  uint32_t bytes = 0;
  while (off < size && IsMetafileHeader(data + off, size - off, &bytes)) {
    const bool whole = bytes >= kHeaderMin && bytes <= size - off;
    const size_t span = whole ? bytes : size - off;
    PlayPage(data + off, span);
    const std::wstring text = LayOutItems(items_, CharWidths()[0]);
    if (!text.empty()) {
      if (!result.empty()) result.push_back(L'\n');
      result += text;
    }
    if (!whole) break;  // no trustworthy end: nothing after it can be found
    off += span;
  }
  return result;
}

void EMFParser::PlayPage(const uint8_t* data, size_t size) {
  items_.clear();
  handles_.clear();
  saved_.clear();
  font_ = Font{};
  for (size_t pos = 0; size - pos >= 8;) {
    const uint32_t type = U32(data + pos);
    const uint32_t rec_size = U32(data + pos + 4);
    if (rec_size < 8 || rec_size > size - pos) break;  // damaged: the rest cannot be framed
    OnRecord(type, data + pos, rec_size);
    if (type == kEmrEof) break;
    pos += rec_size;
  }
}

void EMFParser::OnRecord(uint32_t type, const uint8_t* rec, size_t size) {
  switch (type) {
    case kEmrExtCreateFontIndirectW: OnCreateFont(rec, size); break;
    case kEmrCreatePen:
    case kEmrCreateBrushIndirect:
    case kEmrCreatePalette:
    case kEmrCreateMonoBrush:
    case kEmrCreateDibPatternBrushPt:
    case kEmrExtCreatePen:
    case kEmrCreateColorSpace:
    case kEmrCreateColorSpaceW:
      if (size >= 12 && U32(rec + 8) < kMaxHandles) handles_[U32(rec + 8)] = Object{};
      break;
    case kEmrDeleteObject:
      if (size >= 12) handles_.erase(U32(rec + 8));
      break;
    case kEmrSelectObject: OnSelectObject(rec, size); break;
    case kEmrSaveDc:
      if (saved_.size() < kMaxSavedStates) saved_.push_back(font_);
      break;
    case kEmrRestoreDc:
      if (size >= 12) {
        const int32_t rel = I32(rec + 8);
        if (rel < 0 && static_cast<int64_t>(-static_cast<int64_t>(rel)) <= static_cast<int64_t>(saved_.size())) {
          const size_t keep = saved_.size() - static_cast<size_t>(-static_cast<int64_t>(rel));
          font_ = saved_[keep];
          saved_.resize(keep);
        }
      }
      break;
    case kEmrExtTextOutW: OnExtTextOutW(rec, size); break;
    case kEmrSmallTextOut: OnSmallTextOut(rec, size); break;
    default: break;
  }
}

void EMFParser::OnCreateFont(const uint8_t* rec, size_t size) {
  // ihFont, then the 92-byte font description.
  if (size < 12 + 92) return;
  const uint32_t index = U32(rec + 8);
  if (index >= kMaxHandles) return;
  const uint8_t* lf = rec + 12;
  Object obj;
  obj.is_font = true;
  obj.font.height = I32(lf);
  obj.font.weight = I32(lf + 16);
  obj.font.italic = lf[20];
  obj.font.underline = lf[21];
  obj.font.strike_out = lf[22];
  obj.font.pitch_and_family = lf[27];
  uint16_t name[32];
  size_t n = 0;
  while (n < 32 && (name[n] = U16(lf + 28 + 2 * n)) != 0) ++n;
  obj.font.face = Utf16ToWide(name, n);
  handles_[index] = obj;
}

void EMFParser::OnSelectObject(const uint8_t* rec, size_t size) {
  if (size < 12) return;
  const uint32_t index = U32(rec + 8);
  if (index & 0x80000000u) {
    const wchar_t* face = nullptr;
    if (StockFontFace(index & 0x7FFFFFFFu, &face)) {
      font_ = Font{};
      font_.face = face;
      face_name_ = face;
    }
    return;
  }
  auto it = handles_.find(index);
  if (it == handles_.end() || !it->second.is_font) return;
  font_ = it->second.font;
  face_name_ = font_.face;
}

std::vector<int32_t> EMFParser::Measure(const std::wstring& text) const {
  std::vector<int32_t> advances;
  capture::FontService::Get()->Advances(font_.face, font_.height, text, &advances);
  return advances;
}

void EMFParser::MeasureCharWidths() {
  if (g_char_widths[0].load() != 0) return;
  const std::vector<int32_t> a = Measure(std::wstring(L"a\x4F60"));
  g_char_widths[1].store(a[1]);
  int32_t expected = 0;
  g_char_widths[0].compare_exchange_strong(expected, a[0]);
}

std::wstring EMFParser::GlyphsToText(const std::vector<uint16_t>& glyphs) {
  if (face_name_.empty()) face_name_ = L"System";
  // The font is looked up by its face alone: height, weight, style and
  // pitch are all zero in the description used for glyph lookups.
  const std::wstring key = face_name_.substr(0, 32) + L"|0|0|0|0";
  auto it = glyph_maps_.find(key);
  if (it == glyph_maps_.end()) {
    std::shared_ptr<const capture::GlyphMap> map =
        capture::FontService::Get()->SharedGlyphMap(face_name_.substr(0, 32));
    if (!map) return {};  // nothing cached: the next record tries again
    it = glyph_maps_.emplace(key, std::move(map)).first;
  }
  std::wstring text;
  for (const uint16_t g : glyphs) {
    auto c = it->second->find(g);
    if (c != it->second->end()) text.push_back(c->second);
  }
  return text;
}

void EMFParser::AddItem(int32_t x, int32_t y, const std::wstring& text, const std::vector<int32_t>& advances) {
  int64_t width = 0;
  for (const int32_t a : advances) width += a;
  items_.push_back({x, AbsY(y), Clamp32(width), text});
  MeasureCharWidths();
}

void EMFParser::OnExtTextOutW(const uint8_t* rec, size_t size) {
  // Bounds (16), graphics mode, x and y scale, then the text block at 36:
  // reference x, y, count, string offset, options, rectangle (16), offset
  // of the advances.
  if (size < 76) return;
  const int32_t x = I32(rec + 36);
  const int32_t y = I32(rec + 40);
  const uint32_t count = U32(rec + 44);
  const uint32_t off_string = U32(rec + 48);
  const uint32_t options = U32(rec + 52);
  const uint32_t off_dx = U32(rec + 72);
  if (count == 0 || off_string > size || count > (size - off_string) / 2) return;
  std::vector<uint16_t> units(count);
  for (uint32_t i = 0; i < count; ++i) units[i] = U16(rec + off_string + 2 * i);
  const bool glyphs = (options & kEtoGlyphIndex) != 0;
  const std::wstring text = glyphs ? GlyphsToText(units) : Utf16ToWide(units.data(), units.size());

  const uint64_t stride = (options & kEtoPdy) ? 8 : 4;
  std::vector<int32_t> advances;
  if (off_dx != 0 && off_dx <= size && static_cast<uint64_t>(count) * stride <= size - off_dx) {
    advances.resize(count);
    for (uint32_t i = 0; i < count; ++i) advances[i] = I32(rec + off_dx + stride * i);
    if (advances.back() == 0 && !text.empty()) {
      advances.back() = Measure(text.substr(text.size() - 1)).front();
    }
  } else {
    advances = Measure(text);
  }
  AddItem(x, y, text, advances);
}

void EMFParser::OnSmallTextOut(const uint8_t* rec, size_t size) {
  // x, y, count, options, graphics mode, x and y scale; the clipping
  // rectangle (16 bytes) only without the no-rectangle option; then the
  // characters, 8-bit with the small-characters option, else UTF-16.
  if (size < 36) return;
  const int32_t x = I32(rec + 8);
  const int32_t y = I32(rec + 12);
  const uint32_t count = U32(rec + 16);
  const uint32_t options = U32(rec + 20);
  const size_t off = (options & kEtoNoRect) ? 36 : 52;
  const bool small = (options & kEtoSmallChars) != 0;
  const size_t unit = small ? 1 : 2;
  if (count == 0 || off > size || count > (size - off) / unit) return;
  std::wstring text;
  std::vector<uint16_t> units(count);
  for (uint32_t i = 0; i < count; ++i) units[i] = small ? rec[off + i] : U16(rec + off + 2 * i);
  if (options & kEtoGlyphIndex) {
    text = GlyphsToText(units);
  } else if (small) {
    text = AnsiToWideLenient(std::string(reinterpret_cast<const char*>(rec + off), count));
  } else {
    text = Utf16ToWide(units.data(), units.size());
  }
  AddItem(x, y, text, Measure(text));
}

}  // namespace tillcast
