// ESC/POS command encoding: pure functions that append command bytes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace possdk {

using Bytes = std::vector<uint8_t>;

struct TextAttributes {
  int widthTimes = 1;   // 1..8
  int heightTimes = 1;  // 1..8
  int font = 0;         // 0..2
  int style = 0;        // POS_STYLE_* flags
};

void AppendReset(Bytes* out);
void AppendStandardMode(Bytes* out);
void AppendPageMode(Bytes* out);
void AppendMotionUnit(Bytes* out, int horizontal, int vertical);
void AppendCharSetAndCodePage(Bytes* out, int charSet, int codePage);
void AppendLineFeed(Bytes* out);
void AppendLineSpacing(Bytes* out, int spacing);
void AppendRightSpacing(Bytes* out, int spacing);
void AppendDrawerKick(Bytes* out, int pin, int onTime, int offTime);
void AppendCut(Bytes* out, int mode, int feed);
void AppendAreaWidth(Bytes* out, int width);
void AppendChineseMode(Bytes* out);
// ESC $: absolute horizontal position.
void AppendHorizontalPosition(Bytes* out, int x);
// GS $: absolute vertical position in page mode.
void AppendVerticalPosition(Bytes* out, int y);
// Size, font, bold and both underlines, each set explicitly.
void AppendTextAttributes(Bytes* out, const TextAttributes& attributes);
void AppendPageArea(Bytes* out, int x, int y, int width, int height, int direction);
void AppendPagePrint(Bytes* out);
void AppendPageClear(Bytes* out);
// Barcode types as the SDK numbers them (GS k function B, m = 65 + type).
inline constexpr int kBarcodeCode128 = 8;
// GS h, GS w, GS f, GS H then GS k (function B). CODE128 data without a code
// set prefix gets "{B". False when the type is unknown or the data is empty
// or (with its prefix) longer than 255 bytes.
bool AppendBarcode(Bytes* out, const std::string& data, int type, int width, int height, int hriFont, int hriPosition);
void AppendStatusRequest(Bytes* out, int n);  // DLE EOT n
void AppendPaperStatusRequest(Bytes* out);    // GS r 1

// A 1-bit image: `widthBytes` × `height` bytes, rows top down, most
// significant bit first, 1 = black dot.
struct Raster {
  int widthBytes = 0;
  int height = 0;
  Bytes bits;
};

// GS v 0 in bands of at most kRasterBandRows rows; `mode` 0..3.
inline constexpr int kRasterBandRows = 256;
void AppendRaster(Bytes* out, const Raster& raster, int mode);

}  // namespace possdk
