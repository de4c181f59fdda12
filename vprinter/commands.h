// The commands the ESC/POS reader hands to a printer model: one operation
// with its numeric arguments and, for some, a block of data.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vprinter {

enum class Op {
  kChar,              // a: code point, b: 1 when a double-byte (24x24) character
  kLineFeed,          // LF
  kTab,               // HT
  kFormFeed,          // FF: print the page and return to standard mode
  kPagePrint,         // ESC FF: print the page, stay in page mode
  kPageCancel,        // CAN
  kReset,             // ESC @
  kRightSpacing,      // ESC SP n
  kPrintMode,         // ESC ! n
  kAbsolutePos,       // ESC $: a in motion units
  kRelativePos,       // ESC \: a signed, motion units
  kUnderline,         // ESC - n
  kDefaultSpacing,    // ESC 2
  kLineSpacing,       // ESC 3 n
  kTabStops,          // ESC D: data = positions in characters
  kBold,              // ESC E n / ESC G n
  kFeedUnits,         // ESC J n
  kFeedLines,         // ESC d n
  kPageMode,          // ESC L
  kStandardMode,      // ESC S
  kFont,              // ESC M n
  kPrintDirection,    // ESC T n
  kPageArea,          // ESC W: a x, b y, c width, d height (motion units)
  kAlign,             // ESC a n
  kUpsideDown,        // ESC { n
  kBitImage,          // ESC *: a mode, b width in columns, data column bytes
  kChineseOn,         // FS &
  kChineseOff,        // FS .
  kChinesePrintMode,  // FS ! n
  kChineseUnderline,  // FS - n
  kChineseSpacing,    // FS S: a left, b right
  kChineseQuadruple,  // FS W n
  kCharSize,          // GS ! n
  kAbsoluteVertical,  // GS $ n (page mode)
  kRelativeVertical,  // GS \ n signed (page mode)
  kReverse,           // GS B n
  kLeftMargin,        // GS L n
  kMotionUnits,       // GS P x y
  kAreaWidth,         // GS W n
  kRasterBegin,       // GS v 0: a mode, b width in bytes, c height in rows
  kRasterData,        // data: the next bytes of the raster, row major
  kRasterEnd,         // a: 1 when every byte arrived
  kQrModel,           // GS ( k 49 65: a model
  kQrSize,            // GS ( k 49 67: a module size
  kQrLevel,           // GS ( k 49 69: a 48..51
  kQrStore,           // GS ( k 49 80: data
  kQrPrint,           // GS ( k 49 81
  kCut,               // GS V / ESC i / ESC m: a feed in vertical units (0 none)
};

struct Command {
  Op op = Op::kLineFeed;
  int a = 0, b = 0, c = 0, d = 0;
  const uint8_t* data = nullptr;  // valid only during the call
  size_t size = 0;
};

// Receives the commands of one stream in order. Called on the reader's
// thread only.
class CommandSink {
 public:
  virtual ~CommandSink() = default;
  virtual void OnCommand(const Command& cmd) = 0;
};

}  // namespace vprinter
