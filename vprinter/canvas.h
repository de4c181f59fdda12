// A strip of paper: one byte per dot (0 white, 1 black), a fixed width and a
// height that grows as the paper advances, up to a limit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vprinter {

// Not thread-safe.
class Canvas {
 public:
  Canvas() = default;
  Canvas(int width, int max_height) : width_(width), max_height_(max_height) {}

  int width() const { return width_; }
  int height() const { return height_; }
  int max_height() const { return max_height_; }

  // Makes rows [0, rows) usable (clamped to the limit); new rows are white.
  void Grow(int rows);
  // Sets the height exactly (clamped), dropping or adding white rows.
  void Resize(int rows);

  // Dots outside the canvas are ignored.
  void Set(int x, int y) {
    if (x >= 0 && x < width_ && y >= 0 && y < height_) px_[Index(x, y)] = 1;
  }
  void Clear(int x, int y) {
    if (x >= 0 && x < width_ && y >= 0 && y < height_) px_[Index(x, y)] = 0;
  }
  void FillRect(int x, int y, int w, int h);
  bool At(int x, int y) const { return x >= 0 && x < width_ && y >= 0 && y < height_ && px_[Index(x, y)] != 0; }
  const uint8_t* Row(int y) const { return px_.data() + Index(0, y); }
  // ORs `src` into this canvas with its top left at (x, y).
  void Draw(const Canvas& src, int x, int y);

  // Black dots in all / in a rectangle.
  int64_t Ink() const;
  int64_t InkIn(int x, int y, int w, int h) const;
  // Bounding box of the ink; false when blank.
  bool InkBox(int* x0, int* y0, int* x1, int* y1) const;

 private:
  size_t Index(int x, int y) const {
    return static_cast<size_t>(y) * static_cast<size_t>(width_) + static_cast<size_t>(x);
  }

  int width_ = 0;
  int height_ = 0;
  int max_height_ = 0;
  std::vector<uint8_t> px_;
};

}  // namespace vprinter
