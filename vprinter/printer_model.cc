#include "printer_model.h"

#include <qrencode.h>

#include <algorithm>
#include <cmath>
#include <memory>

namespace vprinter {
namespace {

// Dots of the default horizontal tab stops: every 8 font-A characters.
constexpr int kDefaultTab = 8 * 12;
// A line buffer this long is printed even without a line feed (a stream
// of positioning commands could otherwise grow it without end).
constexpr size_t kMaxLineElements = 4096;
// Page mode: area height without ESC W, and the largest area we keep.
constexpr int kDefaultPageHeight = 2000;
constexpr int kMaxPageHeight = 8000;
// Hostile input can ask for huge characters over and over at one place
// (page mode, absolute positions): each document may draw at most this many
// times its paper's dots.
constexpr int64_t kDrawBudgetPapers = 16;
// Transcript lines kept per document (line feeds without paper movement
// could add them without end).
constexpr size_t kMaxTranscriptLines = 20000;

std::string Utf8(uint32_t cp) {
  std::string s;
  if (cp < 0x80) {
    s += static_cast<char>(cp);
  } else if (cp < 0x800) {
    s += static_cast<char>(0xC0 | (cp >> 6));
    s += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    s += static_cast<char>(0xE0 | (cp >> 12));
    s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    s += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    s += static_cast<char>(0xF0 | (cp >> 18));
    s += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    s += static_cast<char>(0x80 | (cp & 0x3F));
  }
  return s;
}

// Parameters written either as 0..n or as the digits '0'..'n'.
int Digit(int n) { return n >= '0' ? n - '0' : n; }

struct QrDeleter {
  void operator()(QRcode* q) const { QRcode_free(q); }
};

}  // namespace

struct PrinterModel::Element {
  int x = 0, w = 0, h = 0;
  bool image = false;
  int image_index = 0;
  uint32_t cp = 0;
  CellKind kind = CellKind::kFontA;
  int left = 0;  // space before the glyph (Chinese left spacing)
  int sx = 1, sy = 1;
  bool bold = false;
  int underline = 0;
  bool reverse = false;
};

struct PrinterModel::Bitmap {
  Canvas dots;
};

PrinterModel::PrinterModel(GlyphSource* glyphs, int printable_width, int max_height)
    : glyphs_(glyphs), printable_(printable_width), max_height_(max_height), paper_(printable_width, max_height) {
  Reset();
}

PrinterModel::~PrinterModel() = default;

void PrinterModel::Reset() {
  font_b_ = false;
  bold_ = false;
  underline_ = 0;
  chinese_underline_ = 0;
  ank_w_ = ank_h_ = wide_w_ = wide_h_ = 1;
  reverse_ = false;
  align_ = 0;
  line_spacing_ = kDefaultLineSpacing;
  right_spacing_ = 0;
  wide_left_ = wide_right_ = 0;
  left_margin_ = 0;
  area_width_ = printable_;
  h_unit_ = v_unit_ = 1.0;
  tabs_.clear();
  for (int t = kDefaultTab; t < printable_; t += kDefaultTab) tabs_.push_back(t);
  line_.clear();
  line_images_.clear();
  x_ = 0;
  qr_size_ = 3;
  qr_level_ = 48;
  qr_data_.clear();
  qr_stale_ = true;
  page_mode_ = false;
  page_ = Canvas();
  area_ = Canvas();
  area_dirty_ = false;
  direction_ = 0;
}

int PrinterModel::HDots(int units) const {
  return static_cast<int>(std::lround(std::clamp(units * h_unit_, -1e6, 1e6)));
}
int PrinterModel::VDots(int units) const {
  return static_cast<int>(std::lround(std::clamp(units * v_unit_, -1e6, 1e6)));
}

int PrinterModel::AreaWidth() const {
  if (page_mode_) return (direction_ == 1 || direction_ == 3) ? area_h_ : area_w_;
  return std::max(1, std::min(area_width_, printable_ - left_margin_));
}

void PrinterModel::Advance(int dots) {
  if (dots <= 0) return;
  if (y_ + dots > max_height_) {
    y_ = max_height_;
    stats_.paper_limit = true;
  } else {
    y_ += dots;
  }
  paper_.Grow(y_);
}

void PrinterModel::OnCommand(const Command& cmd) {
  switch (cmd.op) {
    case Op::kChar: AddChar(static_cast<uint32_t>(cmd.a), cmd.b != 0); break;
    case Op::kLineFeed: PrintLine(line_spacing_); break;
    case Op::kTab: {
      const int area = AreaWidth();
      for (int t : tabs_) {
        if (t > x_ && t <= area) {
          x_ = t;
          break;
        }
      }
      break;
    }
    case Op::kFormFeed:
      if (page_mode_) PrintPage(true);
      break;
    case Op::kPagePrint:
      if (page_mode_) PrintPage(false);
      break;
    case Op::kPageCancel:
      if (page_mode_) {
        line_.clear();
        line_images_.clear();
        x_ = 0;
        page_ = Canvas();
        area_ = Canvas();
        area_dirty_ = false;
      }
      break;
    case Op::kReset: Reset(); break;
    case Op::kRightSpacing: right_spacing_ = cmd.a; break;
    case Op::kPrintMode:
      font_b_ = cmd.a & 1;
      bold_ = cmd.a & 8;
      ank_h_ = (cmd.a & 16) ? 2 : 1;
      ank_w_ = (cmd.a & 32) ? 2 : 1;
      underline_ = (cmd.a & 128) ? 1 : 0;
      break;
    case Op::kAbsolutePos: {
      const int pos = HDots(cmd.a);
      if (pos <= AreaWidth()) x_ = pos;
      break;
    }
    case Op::kRelativePos: {
      const int pos = x_ + HDots(cmd.a);
      if (pos >= 0 && pos <= AreaWidth()) x_ = pos;
      break;
    }
    case Op::kUnderline:
      if (Digit(cmd.a) >= 0 && Digit(cmd.a) <= 2) underline_ = Digit(cmd.a);
      break;
    case Op::kChineseUnderline:
      if (Digit(cmd.a) >= 0 && Digit(cmd.a) <= 2) chinese_underline_ = Digit(cmd.a);
      break;
    case Op::kDefaultSpacing: line_spacing_ = kDefaultLineSpacing; break;
    case Op::kLineSpacing: line_spacing_ = VDots(cmd.a); break;
    case Op::kTabStops: {
      tabs_.clear();
      const int cell = (font_b_ ? 9 : 12) + HDots(right_spacing_);
      int last = 0;
      for (size_t i = 0; i < cmd.size; ++i) {
        if (cmd.data[i] <= last) break;  // positions must increase
        last = cmd.data[i];
        tabs_.push_back(last * cell * ank_w_);
      }
      break;
    }
    case Op::kBold: bold_ = cmd.a & 1; break;
    case Op::kFeedUnits: PrintLine(VDots(cmd.a), false); break;
    case Op::kFeedLines: PrintLine(cmd.a * line_spacing_, false); break;
    case Op::kPageMode: EnterPageMode(); break;
    case Op::kStandardMode:
      if (page_mode_) {
        line_.clear();
        line_images_.clear();
        x_ = 0;
        page_mode_ = false;
        page_ = Canvas();
        area_ = Canvas();
        area_dirty_ = false;
      }
      break;
    case Op::kFont: font_b_ = Digit(cmd.a) == 1 || Digit(cmd.a) == 2; break;
    case Op::kPrintDirection:
      if (page_mode_) {
        PlaceLine();
        FlushArea();
        direction_ = Digit(cmd.a) & 3;
      }
      break;
    case Op::kPageArea:
      if (page_mode_) {
        PlaceLine();
        FlushArea();
        area_x_ = std::clamp(HDots(cmd.a), 0, printable_ - 1);
        area_w_ = std::clamp(HDots(cmd.c), 1, printable_ - area_x_);
        area_y_ = std::clamp(VDots(cmd.b), 0, kMaxPageHeight - 1);
        area_h_ = std::clamp(VDots(cmd.d), 1, kMaxPageHeight - area_y_);
        area_explicit_ = true;
        page_y_ = 0;
        x_ = 0;
      }
      break;
    case Op::kAlign:
      if (Digit(cmd.a) >= 0 && Digit(cmd.a) <= 2) align_ = Digit(cmd.a);
      break;
    case Op::kUpsideDown: break;  // the transcript does not change; the picture stays upright
    case Op::kBitImage: BitImage(cmd); break;
    case Op::kChineseOn:
    case Op::kChineseOff: break;  // decoding is the reader's
    case Op::kChinesePrintMode:
      wide_w_ = (cmd.a & 4) ? 2 : 1;
      wide_h_ = (cmd.a & 8) ? 2 : 1;
      chinese_underline_ = (cmd.a & 128) ? 1 : 0;
      break;
    case Op::kChineseSpacing:
      wide_left_ = cmd.a;
      wide_right_ = cmd.b;
      break;
    case Op::kChineseQuadruple: wide_w_ = wide_h_ = (cmd.a & 1) ? 2 : 1; break;
    case Op::kCharSize:
      ank_w_ = wide_w_ = ((cmd.a >> 4) & 7) + 1;
      ank_h_ = wide_h_ = (cmd.a & 7) + 1;
      break;
    case Op::kAbsoluteVertical:
      if (page_mode_) {
        PlaceLine();
        page_y_ = std::max(0, VDots(cmd.a));
      }
      break;
    case Op::kRelativeVertical:
      if (page_mode_) {
        PlaceLine();
        page_y_ = std::max(0, page_y_ + VDots(cmd.a));
      }
      break;
    case Op::kReverse: reverse_ = cmd.a & 1; break;
    case Op::kLeftMargin: left_margin_ = std::clamp(HDots(cmd.a), 0, printable_ - 1); break;
    case Op::kMotionUnits:
      h_unit_ = cmd.a > 0 ? 203.0 / cmd.a : 1.0;
      v_unit_ = cmd.b > 0 ? 203.0 / cmd.b : 1.0;
      break;
    case Op::kAreaWidth: area_width_ = std::max(1, HDots(cmd.a)); break;
    case Op::kRasterBegin: RasterBegin(cmd); break;
    case Op::kRasterData: RasterData(cmd.data, cmd.size); break;
    case Op::kRasterEnd: RasterEnd(cmd.a != 0); break;
    case Op::kQrModel: break;  // model 2 is drawn for every model
    case Op::kQrSize:
      if (cmd.a >= 1 && cmd.a <= 16) qr_size_ = cmd.a;
      break;
    case Op::kQrLevel:
      if (cmd.a >= 48 && cmd.a <= 51 && cmd.a != qr_level_) {
        qr_level_ = cmd.a;
        qr_stale_ = true;
      }
      break;
    case Op::kQrStore:
      qr_data_.assign(reinterpret_cast<const char*>(cmd.data), cmd.size);
      qr_stale_ = true;
      break;
    case Op::kQrPrint: PrintQr(); break;
    case Op::kCut:
      if (page_mode_) break;  // no cut while a page is being composed
      if (!line_.empty()) PrintLine(line_spacing_, false);
      Advance(VDots(cmd.a));
      if (on_cut_) on_cut_();
      break;
  }
}

void PrinterModel::AddChar(uint32_t cp, bool wide) {
  Element e;
  e.cp = cp;
  e.kind = wide ? CellKind::kWide : (font_b_ ? CellKind::kFontB : CellKind::kFontA);
  const CellSize cell = SizeOf(e.kind);
  e.sx = wide ? wide_w_ : ank_w_;
  e.sy = wide ? wide_h_ : ank_h_;
  e.left = wide ? HDots(wide_left_) * e.sx : 0;
  const int right = HDots(wide ? wide_right_ : right_spacing_) * e.sx;
  e.w = e.left + cell.w * e.sx + std::max(0, right);
  e.h = cell.h * e.sy;
  e.bold = bold_;
  e.underline = wide ? chinese_underline_ : underline_;
  e.reverse = reverse_;
  AddElement(e);
}

void PrinterModel::MakeRoom(int width) {
  if ((x_ + width > AreaWidth() && (x_ > 0 || !line_.empty())) || line_.size() >= kMaxLineElements) {
    PrintLine(line_spacing_, false);  // the line is full: wrap
  }
}

void PrinterModel::AddElement(Element e) {
  MakeRoom(e.w);
  e.x = x_;
  x_ += e.w;
  line_.push_back(e);
}

void PrinterModel::DrawElement(Canvas* target, const Element& e, int x, int y) {
  if (!Spend(static_cast<int64_t>(std::min(e.w, printable_)) * e.h)) return;
  if (e.image) {
    target->Draw(line_images_[static_cast<size_t>(e.image_index)].dots, x, y);
    return;
  }
  if (e.reverse) target->FillRect(x, y, e.w, e.h);
  const GlyphCell& cell = glyphs_->Get(e.cp, e.kind);
  const int gx = x + e.left;
  for (int cy = 0; cy < cell.h; ++cy) {
    for (int cx = 0; cx < cell.w; ++cx) {
      if (!cell.At(cx, cy)) continue;
      const int px = gx + cx * e.sx, py = y + cy * e.sy;
      const int w = e.sx + (e.bold ? 1 : 0);
      for (int yy = py; yy < py + e.sy; ++yy) {
        for (int xx = px; xx < px + w; ++xx) {
          if (e.reverse)
            target->Clear(xx, yy);
          else
            target->Set(xx, yy);
        }
      }
    }
  }
  if (e.underline > 0 && !e.reverse) target->FillRect(x, y + e.h - e.underline, e.w, e.underline);
}

void PrinterModel::DrawLine(Canvas* target, int origin_x, int top, int area_width) {
  int height = 0, extent = 0;
  for (const Element& e : line_) {
    height = std::max(height, e.h);
    extent = std::max(extent, e.x + e.w);
  }
  int offset = 0;
  if (extent < area_width) {
    if (align_ == 1)
      offset = (area_width - extent) / 2;
    else if (align_ == 2)
      offset = area_width - extent;
  }
  for (const Element& e : line_) DrawElement(target, e, origin_x + offset + e.x, top + height - e.h);

  // The transcript: characters in order, gaps left by positioning as
  // spaces of font A width.
  std::string text;
  bool has_text = false;
  int end = 0;
  for (const Element& e : line_) {
    if (e.image) {
      end = std::max(end, e.x + e.w);
      continue;
    }
    const int gap = e.x - end;
    if (gap >= 6) text.append(static_cast<size_t>(std::max(1, (gap + 6) / 12)), ' ');
    text += Utf8(e.cp);
    has_text = true;
    end = std::max(end, e.x + e.w);
  }
  if (has_text) {
    while (!text.empty() && text.back() == ' ') text.pop_back();
    if (!text.empty()) ++stats_.text_lines;
    AddTranscriptLine(std::move(text));
  }
}

bool PrinterModel::Spend(int64_t dots) {
  drawn_ += dots;
  if (drawn_ <= kDrawBudgetPapers * printable_ * max_height_) return true;
  stats_.paper_limit = true;
  return false;
}

void PrinterModel::AddTranscriptLine(std::string line) {
  if (transcript_.size() < kMaxTranscriptLines) transcript_.push_back(std::move(line));
}

void PrinterModel::PrintLine(int feed, bool text_line) {
  int height = 0;
  for (const Element& e : line_) height = std::max(height, e.h);
  if (!page_mode_ && y_ >= max_height_) {
    // The paper is full: nothing more lands on it.
    stats_.paper_limit = true;
    line_.clear();
    line_images_.clear();
    x_ = 0;
    return;
  }
  if (line_.empty() && text_line) AddTranscriptLine("");
  if (page_mode_) {
    if (!line_.empty()) {
      DrawLine(PageArea(), 0, page_y_, AreaWidth());
      area_dirty_ = true;
    }
    page_y_ += std::max(feed, height);
    page_used_ = std::max(page_used_, page_y_);
  } else {
    if (!line_.empty()) {
      paper_.Grow(y_ + height);
      if (y_ + height > max_height_) stats_.paper_limit = true;
      DrawLine(&paper_, left_margin_, y_, AreaWidth());
    }
    Advance(std::max(feed, height));
  }
  line_.clear();
  line_images_.clear();
  x_ = 0;
}

void PrinterModel::PlaceLine() {
  if (!page_mode_ || line_.empty()) return;
  int height = 0;
  for (const Element& e : line_) height = std::max(height, e.h);
  DrawLine(PageArea(), 0, page_y_, AreaWidth());
  area_dirty_ = true;
  page_used_ = std::max(page_used_, page_y_ + height);
  // The horizontal position stays: ESC $ may have come before GS $.
  line_.clear();
  line_images_.clear();
}

Canvas* PrinterModel::PageArea() {
  const bool turned = direction_ == 1 || direction_ == 3;
  const int w = turned ? area_h_ : area_w_, h = turned ? area_w_ : area_h_;
  if (area_.width() != w || area_.height() != h) {
    area_ = Canvas(w, h);
    area_.Resize(h);
  }
  return &area_;
}

void PrinterModel::FlushArea() {
  if (!area_dirty_) return;
  area_dirty_ = false;
  if (page_.width() != printable_) page_ = Canvas(printable_, kMaxPageHeight);
  page_.Grow(area_y_ + area_h_);
  const int W = area_w_, H = area_h_;
  for (int ly = 0; ly < area_.height(); ++ly) {
    const uint8_t* row = area_.Row(ly);
    for (int lx = 0; lx < area_.width(); ++lx) {
      if (!row[lx]) continue;
      int dx = lx, dy = ly;
      switch (direction_) {
        case 1:
          dx = ly;
          dy = H - 1 - lx;
          break;
        case 2:
          dx = W - 1 - lx;
          dy = H - 1 - ly;
          break;
        case 3:
          dx = W - 1 - ly;
          dy = lx;
          break;
        default: break;
      }
      page_.Set(area_x_ + dx, area_y_ + dy);
    }
  }
  area_ = Canvas();
}

void PrinterModel::EnterPageMode() {
  if (page_mode_) return;
  if (!line_.empty()) PrintLine(line_spacing_, false);
  page_mode_ = true;
  direction_ = 0;
  area_x_ = 0;
  area_y_ = 0;
  area_w_ = printable_;
  area_h_ = kDefaultPageHeight;
  area_explicit_ = false;
  page_y_ = 0;
  page_used_ = 0;
  page_ = Canvas();
  area_ = Canvas();
  area_dirty_ = false;
  x_ = 0;
}

void PrinterModel::PrintPage(bool leave) {
  PlaceLine();
  FlushArea();
  int height = 0;
  if (area_explicit_) {
    height = area_y_ + area_h_;
  } else {
    // Without an area the page is as long as what was put on it.
    int x0, y0, x1, y1;
    height = page_used_;
    if (page_.width() > 0 && page_.InkBox(&x0, &y0, &x1, &y1)) height = std::max(height, y1 + 1);
  }
  if (height > 0) {
    const int top = y_;
    paper_.Grow(top + height);
    if (page_.width() > 0) paper_.Draw(page_, 0, top);
    Advance(height);
  }
  x_ = 0;
  if (leave) {
    page_mode_ = false;
    page_ = Canvas();
    area_ = Canvas();
    area_dirty_ = false;
  }
}

void PrinterModel::BlockPosition(int width, int height, int* x, int* y) {
  if (page_mode_) {
    *x = x_;
    *y = page_y_;
    return;
  }
  if (!line_.empty()) PrintLine(line_spacing_, false);
  const int area = AreaWidth();
  int offset = 0;
  if (width < area) {
    if (align_ == 1)
      offset = (area - width) / 2;
    else if (align_ == 2)
      offset = area - width;
  }
  *x = left_margin_ + offset;
  *y = y_;
  paper_.Grow(y_ + height);
}

void PrinterModel::BlockDone(int height) {
  if (page_mode_) {
    area_dirty_ = true;
    page_y_ += height;
    page_used_ = std::max(page_used_, page_y_);
  } else {
    Advance(height);
  }
}

void PrinterModel::RasterBegin(const Command& cmd) {
  const int mode = cmd.a & 3;
  raster_ = Raster{};
  raster_.active = true;
  raster_.sx = (mode & 1) ? 2 : 1;
  raster_.sy = (mode & 2) ? 2 : 1;
  raster_.width_bytes = static_cast<uint64_t>(cmd.b);
  raster_.height = static_cast<uint64_t>(cmd.c);
  const int width = static_cast<int>(std::min<uint64_t>(raster_.width_bytes * 8 * raster_.sx, 1 << 20));
  const int height = static_cast<int>(raster_.height) * raster_.sy;
  BlockPosition(width, height, &raster_.x, &raster_.y);
  raster_.target = page_mode_ ? PageArea() : &paper_;
}

void PrinterModel::RasterData(const uint8_t* data, size_t size) {
  if (!raster_.active || raster_.width_bytes == 0) return;
  Canvas* t = raster_.target;
  const uint64_t wb = raster_.width_bytes;
  for (size_t i = 0; i < size; ++i) {
    const uint64_t index = raster_.index++;
    const uint8_t b = data[i];
    if (b == 0) continue;
    const uint64_t row = index / wb, col = index % wb;
    const int64_t px = raster_.x + static_cast<int64_t>(col) * 8 * raster_.sx;
    const int64_t py = raster_.y + static_cast<int64_t>(row) * raster_.sy;
    if (px >= t->width() || py >= t->height()) continue;
    for (int bit = 0; bit < 8; ++bit) {
      if (b & (0x80 >> bit)) {
        t->FillRect(static_cast<int>(px) + bit * raster_.sx, static_cast<int>(py), raster_.sx, raster_.sy);
      }
    }
  }
}

void PrinterModel::RasterEnd(bool complete) {
  if (!raster_.active) return;
  raster_.active = false;
  if (raster_.height == 0 || raster_.width_bytes == 0) return;
  // A cut-off image takes only the rows that arrived.
  const uint64_t rows = complete ? raster_.height : (raster_.index + raster_.width_bytes - 1) / raster_.width_bytes;
  if (rows == 0) return;
  ++stats_.images;
  BlockDone(static_cast<int>(rows) * raster_.sy);
}

void PrinterModel::BitImage(const Command& cmd) {
  const int m = cmd.a;
  const bool eight = m == 0 || m == 1;
  const int sx = (m == 0 || m == 32) ? 2 : 1;
  const int vy = eight ? 3 : 1;  // 8-dot modes print each dot three rows tall
  const int per_col = eight ? 1 : 3;
  constexpr int kHeight = 24;
  const int cols = cmd.b;
  const int width = cols * sx;
  if (width == 0) return;
  MakeRoom(width);
  Bitmap bm;
  const int kept = std::min(width, printable_);  // the rest falls off the paper
  bm.dots = Canvas(kept, kHeight);
  bm.dots.Resize(kHeight);
  for (int c = 0; c < cols && c * sx < kept; ++c) {
    for (int k = 0; k < per_col; ++k) {
      const uint8_t b = cmd.data[static_cast<size_t>(c * per_col + k)];
      for (int bit = 0; bit < 8; ++bit) {
        if (b & (0x80 >> bit)) bm.dots.FillRect(c * sx, (k * 8 + bit) * vy, sx, vy);
      }
    }
  }
  line_images_.push_back(std::move(bm));
  Element e;
  e.image = true;
  e.w = width;
  e.h = kHeight;
  e.image_index = static_cast<int>(line_images_.size() - 1);
  e.x = x_;
  x_ += e.w;
  line_.push_back(e);
  ++stats_.images;
}

void PrinterModel::PrintQr() {
  if (qr_data_.empty()) return;
  if (qr_stale_) {
    // Encoded once per stored data: printing the same symbol again is cheap.
    static constexpr QRecLevel kLevels[] = {QR_ECLEVEL_L, QR_ECLEVEL_M, QR_ECLEVEL_Q, QR_ECLEVEL_H};
    std::unique_ptr<QRcode, QrDeleter> qr(QRcode_encodeData(static_cast<int>(qr_data_.size()),
                                                            reinterpret_cast<const unsigned char*>(qr_data_.data()), 0,
                                                            kLevels[qr_level_ - 48]));
    qr_stale_ = false;
    qr_width_ = qr ? qr->width : 0;
    qr_modules_.assign(static_cast<size_t>(qr_width_ * qr_width_), 0);
    for (size_t i = 0; i < qr_modules_.size(); ++i) qr_modules_[i] = qr->data[i] & 1;
  }
  if (qr_width_ == 0) return;  // too long for any version
  const int module = qr_size_;
  const int size = qr_width_ * module;
  if (!page_mode_ && y_ >= max_height_) {
    stats_.paper_limit = true;
    return;
  }
  if (!Spend(static_cast<int64_t>(size) * size)) return;
  int x = 0, y = 0;
  BlockPosition(size, size, &x, &y);
  Canvas* target = page_mode_ ? PageArea() : &paper_;
  for (int my = 0; my < qr_width_; ++my) {
    for (int mx = 0; mx < qr_width_; ++mx) {
      if (qr_modules_[static_cast<size_t>(my * qr_width_ + mx)]) {
        target->FillRect(x + mx * module, y + my * module, module, module);
      }
    }
  }
  ++stats_.qr_codes;
  BlockDone(size);
}

Printout PrinterModel::TakePrintout() {
  if (!page_mode_ && !line_.empty()) PrintLine(line_spacing_, false);
  Printout out;
  paper_.Resize(y_);
  out.picture = std::move(paper_);
  while (!transcript_.empty() && transcript_.back().empty()) transcript_.pop_back();
  for (const std::string& line : transcript_) out.transcript += line + "\n";
  out.stats = stats_;
  paper_ = Canvas(printable_, max_height_);
  y_ = 0;
  drawn_ = 0;
  transcript_.clear();
  stats_ = PrintStats{};
  return out;
}

}  // namespace vprinter
