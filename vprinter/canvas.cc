#include "canvas.h"

#include <algorithm>

namespace vprinter {

void Canvas::Grow(int rows) {
  if (rows > height_) Resize(rows);
}

void Canvas::Resize(int rows) {
  rows = std::clamp(rows, 0, max_height_);
  height_ = rows;
  px_.resize(static_cast<size_t>(rows) * static_cast<size_t>(width_), 0);
}

void Canvas::FillRect(int x, int y, int w, int h) {
  const int x0 = std::max(x, 0), x1 = std::min(x + w, width_);
  const int y0 = std::max(y, 0), y1 = std::min(y + h, height_);
  if (x0 >= x1) return;
  for (int yy = y0; yy < y1; ++yy) std::fill_n(px_.begin() + static_cast<std::ptrdiff_t>(Index(x0, yy)), x1 - x0, 1);
}

void Canvas::Draw(const Canvas& src, int x, int y) {
  for (int sy = 0; sy < src.height(); ++sy) {
    const int ty = y + sy;
    if (ty < 0) continue;
    if (ty >= height_) break;
    const uint8_t* row = src.Row(sy);
    for (int sx = 0; sx < src.width(); ++sx) {
      if (row[sx]) Set(x + sx, ty);
    }
  }
}

int64_t Canvas::Ink() const { return std::count(px_.begin(), px_.end(), 1); }

int64_t Canvas::InkIn(int x, int y, int w, int h) const {
  int64_t n = 0;
  for (int yy = std::max(y, 0); yy < std::min(y + h, height_); ++yy) {
    for (int xx = std::max(x, 0); xx < std::min(x + w, width_); ++xx) n += px_[Index(xx, yy)];
  }
  return n;
}

bool Canvas::InkBox(int* x0, int* y0, int* x1, int* y1) const {
  int minx = width_, miny = height_, maxx = -1, maxy = -1;
  for (int y = 0; y < height_; ++y) {
    const uint8_t* row = Row(y);
    for (int x = 0; x < width_; ++x) {
      if (!row[x]) continue;
      minx = std::min(minx, x);
      maxx = std::max(maxx, x);
      miny = std::min(miny, y);
      maxy = y;
    }
  }
  if (maxx < 0) return false;
  *x0 = minx;
  *y0 = miny;
  *x1 = maxx;
  *y1 = maxy;
  return true;
}

}  // namespace vprinter
