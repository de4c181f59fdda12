// The additional receipt: rules, layout parameters and laid-out rows.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tillcast {

// One extraction rule of a template.
struct ReceiptRule {
  std::string name;                 // the member name
  std::string pattern;              // UTF-8, as the template carries it
  std::vector<std::string> groups;  // whole match, then each capture group; empty: no match
};

struct LayoutParams {
  int32_t leftMargin = 0;   // character cells
  int32_t rightMargin = 0;  // character cells
  int32_t rowWidth = 32;    // character cells, after the margins
  int32_t pixelsPerChar = 12;
};

enum CellKind : int32_t { kCellText = 0, kCellQrCode = 1, kCellPicture = 2 };
enum CellAlign : int32_t { kAlignLeft = 0, kAlignCenter = 1, kAlignRight = 2 };
inline constexpr int32_t kStyleBold = 8;
inline constexpr int32_t kStyleUnderline = 128;
inline constexpr int32_t kStyleDoubleUnderline = 256;

struct ReceiptCell {
  int32_t kind = kCellText;
  std::string content;  // ANSI text; Base64 of the picture for kCellPicture
  int32_t width = 0;    // character cells; the row width unless given
  int32_t align = kAlignLeft;
  int32_t wscale = 1;
  int32_t hscale = 1;
  int32_t scale = 1;  // QR size step 1..6
  int32_t style = 0;
  int32_t fontType = 0;
  std::string imagePath;  // bitmap to print (QR code or picture)
};

struct ReceiptRow {
  int32_t lineSpace = 0;  // dots; 0 leaves the spacing unchanged
  int32_t blankLine = 0;  // extra line feeds after the row
  std::vector<ReceiptCell> cells;
};

}  // namespace tillcast
