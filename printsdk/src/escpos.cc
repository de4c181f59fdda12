#include "escpos.h"

#include <algorithm>

namespace possdk {
namespace {

uint8_t Byte(int v, int lo, int hi) { return static_cast<uint8_t>(std::clamp(v, lo, hi)); }

void Put(Bytes* out, std::initializer_list<uint8_t> bytes) { out->insert(out->end(), bytes); }

void PutWord(Bytes* out, int v) {
  const int c = std::clamp(v, 0, 0xFFFF);
  out->push_back(static_cast<uint8_t>(c & 0xFF));
  out->push_back(static_cast<uint8_t>(c >> 8));
}

constexpr uint8_t ESC = 0x1B, GS = 0x1D, FS = 0x1C, DLE = 0x10, EOT = 0x04;

}  // namespace

void AppendReset(Bytes* out) { Put(out, {ESC, '@'}); }
void AppendStandardMode(Bytes* out) { Put(out, {ESC, 'S'}); }
void AppendPageMode(Bytes* out) { Put(out, {ESC, 'L'}); }

void AppendMotionUnit(Bytes* out, int horizontal, int vertical) {
  Put(out, {GS, 'P', Byte(horizontal, 0, 255), Byte(vertical, 0, 255)});
}

void AppendCharSetAndCodePage(Bytes* out, int charSet, int codePage) {
  Put(out, {ESC, 'R', Byte(charSet, 0, 255), ESC, 't', Byte(codePage, 0, 255)});
}

void AppendLineFeed(Bytes* out) { out->push_back(0x0A); }
void AppendLineSpacing(Bytes* out, int spacing) { Put(out, {ESC, '3', Byte(spacing, 0, 255)}); }
void AppendRightSpacing(Bytes* out, int spacing) { Put(out, {ESC, ' ', Byte(spacing, 0, 255)}); }

void AppendDrawerKick(Bytes* out, int pin, int onTime, int offTime) {
  Put(out, {ESC, 'p', static_cast<uint8_t>(pin == 1 ? 1 : 0), Byte(onTime, 0, 255), Byte(offTime, 0, 255)});
}

void AppendCut(Bytes* out, int mode, int feed) {
  const uint8_t partial = mode == 1 ? 1 : 0;
  if (feed > 0) {
    Put(out, {GS, 'V', static_cast<uint8_t>(65 + partial), Byte(feed, 0, 255)});
  } else {
    Put(out, {GS, 'V', partial});
  }
}

void AppendAreaWidth(Bytes* out, int width) {
  Put(out, {GS, 'W'});
  PutWord(out, width);
}

void AppendChineseMode(Bytes* out) { Put(out, {FS, '&'}); }

void AppendHorizontalPosition(Bytes* out, int x) {
  Put(out, {ESC, '$'});
  PutWord(out, x);
}

void AppendVerticalPosition(Bytes* out, int y) {
  Put(out, {GS, '$'});
  PutWord(out, y);
}

void AppendTextAttributes(Bytes* out, const TextAttributes& a) {
  const int w = std::clamp(a.widthTimes, 1, 8) - 1;
  const int h = std::clamp(a.heightTimes, 1, 8) - 1;
  const uint8_t underline = (a.style & 256) ? 2 : (a.style & 128) ? 1 : 0;
  Put(out, {GS, '!', static_cast<uint8_t>((w << 4) | h)});
  Put(out, {ESC, 'M', static_cast<uint8_t>(a.font >= 0 && a.font <= 2 ? a.font : 0)});
  Put(out, {ESC, 'E', static_cast<uint8_t>((a.style & 8) ? 1 : 0)});
  // ESC - covers single-byte characters, FS - the Chinese ones.
  Put(out, {ESC, '-', underline, FS, '-', underline});
}

void AppendPageArea(Bytes* out, int x, int y, int width, int height, int direction) {
  Put(out, {ESC, 'W'});
  PutWord(out, x);
  PutWord(out, y);
  PutWord(out, width);
  PutWord(out, height);
  Put(out, {ESC, 'T', Byte(direction, 0, 3)});
}

// FF prints the page and returns to standard mode; ESC FF would print and
// leave the printer in page mode.
void AppendPagePrint(Bytes* out) { out->push_back(0x0C); }
void AppendPageClear(Bytes* out) { out->push_back(0x18); }

bool AppendBarcode(Bytes* out, const std::string& data, int type, int width, int height, int hriFont, int hriPosition) {
  if (type < 0 || type > 8 || data.empty()) return false;
  // CODE128 data starts with its code set ("{A", "{B" or "{C"); without one
  // the printer prints nothing. Data that names none is sent as set B.
  std::string body = data;
  if (type == kBarcodeCode128 && !(body.size() >= 2 && body[0] == '{' && body[1] >= 'A' && body[1] <= 'C'))
    body.insert(0, "{B");
  if (body.size() > 255) return false;
  Put(out, {GS, 'h', Byte(height, 1, 255)});
  Put(out, {GS, 'w', Byte(width, 2, 6)});
  Put(out, {GS, 'f', Byte(hriFont, 0, 1)});
  Put(out, {GS, 'H', Byte(hriPosition, 0, 3)});
  Put(out, {GS, 'k', static_cast<uint8_t>(65 + type), static_cast<uint8_t>(body.size())});
  out->insert(out->end(), body.begin(), body.end());
  return true;
}

void AppendStatusRequest(Bytes* out, int n) { Put(out, {DLE, EOT, Byte(n, 1, 4)}); }
void AppendPaperStatusRequest(Bytes* out) { Put(out, {GS, 'r', 1}); }

void AppendRaster(Bytes* out, const Raster& raster, int mode) {
  const uint8_t m = static_cast<uint8_t>(mode >= 0 && mode <= 3 ? mode : 0);
  const size_t stride = static_cast<size_t>(raster.widthBytes);
  for (int top = 0; top < raster.height; top += kRasterBandRows) {
    const int rows = std::min(kRasterBandRows, raster.height - top);
    Put(out, {GS, 'v', '0', m});
    PutWord(out, raster.widthBytes);
    PutWord(out, rows);
    const auto first = raster.bits.begin() + static_cast<std::ptrdiff_t>(stride * static_cast<size_t>(top));
    out->insert(out->end(), first, first + static_cast<std::ptrdiff_t>(stride * static_cast<size_t>(rows)));
  }
}

}  // namespace possdk
