// The printer itself: settings, the line buffer, page mode and the paper.
// It draws the commands of an EscPosReader onto a Canvas the way a thermal
// receipt printer at 203 dpi lays them out, and keeps a text transcript of
// the printed lines.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "canvas.h"
#include "commands.h"
#include "glyphs.h"

namespace vprinter {

// Paper widths: the printable dots and the whole paper at 8 dots per mm.
struct Paper {
  int printable;
  int paper;
};
inline constexpr Paper kPaper58{384, 464};
inline constexpr Paper kPaper80{576, 640};

// Longest piece of paper one document can print (2.5 m); more is dropped.
inline constexpr int kMaxPaperDots = 20000;

// Dots of the default line spacing (ESC 2).
inline constexpr int kDefaultLineSpacing = 30;

struct PrintStats {
  int text_lines = 0;
  int images = 0;
  int qr_codes = 0;
  bool paper_limit = false;  // something fell beyond kMaxPaperDots
};

// One finished piece of paper.
struct Printout {
  Canvas picture;          // printable width x paper length
  std::string transcript;  // UTF-8, one line per printed text line
  PrintStats stats;
};

// Not thread-safe: used on the reader's thread.
class PrinterModel : public CommandSink {
 public:
  // `glyphs` must outlive the model.
  PrinterModel(GlyphSource* glyphs, int printable_width, int max_height = kMaxPaperDots);
  ~PrinterModel() override;

  void OnCommand(const Command& cmd) override;

  // Called after a cut command has been applied; the paper is then ready
  // to be taken.
  void SetCutHandler(std::function<void()> on_cut) { on_cut_ = std::move(on_cut); }

  // True when the paper moved or took ink since the last TakePrintout, or
  // text waits in the line buffer (TakePrintout prints it).
  bool printed() const { return y_ > 0 || (!page_mode_ && !line_.empty()); }

  // Prints what waits in the line buffer, hands over the paper and starts
  // a new one. Settings stay as they are (only ESC @ resets them).
  Printout TakePrintout();

 private:
  struct Element;
  struct Bitmap;

  void Reset();
  // Standard mode: prints the line buffer and advances by `feed` dots (at
  // least the line's height when it holds anything).
  // A line feed on an empty buffer (`text_line`) is a blank transcript line.
  void PrintLine(int feed, bool text_line = true);
  // Page mode: draws the line buffer at the current vertical position.
  void PlaceLine();
  void DrawLine(Canvas* target, int origin_x, int top, int area_width);
  void Advance(int dots);
  void AddTranscriptLine(std::string line);
  // Counts dots about to be drawn; false once the document's budget is
  // spent.
  bool Spend(int64_t dots);
  void AddChar(uint32_t cp, bool wide);
  void AddElement(Element e);
  // Wraps the line when `width` more dots do not fit.
  void MakeRoom(int width);
  void DrawElement(Canvas* target, const Element& e, int x, int y);
  void RasterBegin(const Command& cmd);
  void RasterData(const uint8_t* data, size_t size);
  void RasterEnd(bool complete);
  void BitImage(const Command& cmd);
  void PrintQr();
  // Places a block image: aligned on the paper in standard mode, at the
  // position in page mode. Returns the top left.
  void BlockPosition(int width, int height, int* x, int* y);
  void BlockDone(int height);
  void EnterPageMode();
  void PrintPage(bool leave);
  void FlushArea();
  Canvas* PageArea();
  int AreaWidth() const;
  int HDots(int units) const;
  int VDots(int units) const;

  GlyphSource* glyphs_;
  const int printable_;
  const int max_height_;
  std::function<void()> on_cut_;

  Canvas paper_;
  int y_ = 0;  // paper length so far
  std::vector<std::string> transcript_;
  PrintStats stats_;
  int64_t drawn_ = 0;  // dots of characters and column images drawn

  // Settings.
  bool font_b_ = false;
  bool bold_ = false;
  int underline_ = 0;
  int chinese_underline_ = 0;
  int ank_w_ = 1, ank_h_ = 1;
  int wide_w_ = 1, wide_h_ = 1;
  bool reverse_ = false;
  int align_ = 0;
  int line_spacing_ = kDefaultLineSpacing;
  int right_spacing_ = 0;               // motion units
  int wide_left_ = 0, wide_right_ = 0;  // motion units
  int left_margin_ = 0;                 // dots
  int area_width_ = 0;                  // dots
  double h_unit_ = 1.0, v_unit_ = 1.0;  // dots per motion unit
  std::vector<int> tabs_;               // dots from the line start

  // The line buffer.
  std::vector<Element> line_;
  std::vector<Bitmap> line_images_;
  int x_ = 0;

  // Raster image streaming in.
  struct Raster {
    bool active = false;
    int x = 0, y = 0, sx = 1, sy = 1;
    uint64_t width_bytes = 0, height = 0, index = 0;
    Canvas* target = nullptr;
  } raster_;

  // QR code settings and data.
  int qr_size_ = 3;
  int qr_level_ = 48;
  std::string qr_data_;
  bool qr_stale_ = true;             // qr_modules_ not yet made from qr_data_
  int qr_width_ = 0;                 // modules per side; 0 when not encodable
  std::vector<uint8_t> qr_modules_;  // 1 = dark

  // Page mode.
  bool page_mode_ = false;
  int direction_ = 0;
  int area_x_ = 0, area_y_ = 0, area_w_ = 0, area_h_ = 0;  // dots
  bool area_explicit_ = false;                             // ESC W given
  int page_y_ = 0;
  int page_used_ = 0;  // lowest position reached on the page
  Canvas page_;        // the whole page, printable width
  Canvas area_;        // the area in its print direction
  bool area_dirty_ = false;
};

}  // namespace vprinter
