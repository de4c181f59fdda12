#include "png_io.h"

#include <png.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

namespace vprinter {
namespace {

struct FileCloser {
  void operator()(FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// libpng reports errors by longjmp; these handlers keep the text.
void OnError(png_structp png, png_const_charp message) {
  auto* error = static_cast<std::string*>(png_get_error_ptr(png));
  if (error) *error = message;
  png_longjmp(png, 1);
}
void OnWarning(png_structp, png_const_charp) {}

}  // namespace

bool WritePng(const std::string& path, const Canvas& canvas, const Margins& margins, std::string* error) {
  const int width = canvas.width() + margins.left + margins.right;
  const int height = canvas.height() + margins.top + margins.bottom;
  if (width <= 0 || height <= 0) {
    *error = "empty picture";
    return false;
  }
  FilePtr file(std::fopen(path.c_str(), "wb"));
  if (!file) {
    *error = path + ": " + std::strerror(errno);
    return false;
  }
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, error, OnError, OnWarning);
  if (!png) {
    *error = "libpng: out of memory";
    return false;
  }
  png_infop info = png_create_info_struct(png);
  // Rows outside the setjmp scope so a longjmp leaves nothing to destroy.
  std::vector<png_byte> row(static_cast<size_t>((width + 7) / 8));
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return false;
  }
  png_init_io(png, file.get());
  png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 1, PNG_COLOR_TYPE_GRAY,
               PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  // 203 dpi = 7992 dots per metre.
  png_set_pHYs(png, info, 7992, 7992, PNG_RESOLUTION_METER);
  png_set_compression_level(png, 3);
  png_write_info(png, info);
  for (int y = 0; y < height; ++y) {
    // 1 = white in a grey PNG: start white, clear the ink.
    std::fill(row.begin(), row.end(), static_cast<png_byte>(0xFF));
    const int cy = y - margins.top;
    if (cy >= 0 && cy < canvas.height()) {
      const uint8_t* dots = canvas.Row(cy);
      for (int x = 0; x < canvas.width(); ++x) {
        if (!dots[x]) continue;
        const int px = x + margins.left;
        row[static_cast<size_t>(px / 8)] &= static_cast<png_byte>(~(0x80 >> (px % 8)));
      }
    }
    png_write_row(png, row.data());
  }
  png_write_end(png, info);
  png_destroy_write_struct(&png, &info);
  if (std::fflush(file.get()) != 0) {
    *error = path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

bool ReadPng(const std::string& path, Canvas* canvas, std::string* error) {
  FilePtr file(std::fopen(path.c_str(), "rb"));
  if (!file) {
    *error = path + ": " + std::strerror(errno);
    return false;
  }
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, error, OnError, OnWarning);
  if (!png) {
    *error = "libpng: out of memory";
    return false;
  }
  png_infop info = png_create_info_struct(png);
  std::vector<png_byte> row;
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_read_struct(&png, &info, nullptr);
    return false;
  }
  png_init_io(png, file.get());
  png_read_info(png, info);
  // Everything to 8-bit grey.
  png_set_expand(png);
  png_set_strip_16(png);
  png_set_strip_alpha(png);
  png_set_rgb_to_gray_fixed(png, 1, -1, -1);
  png_read_update_info(png, info);
  const int width = static_cast<int>(png_get_image_width(png, info));
  const int height = static_cast<int>(png_get_image_height(png, info));
  row.resize(png_get_rowbytes(png, info));
  *canvas = Canvas(width, height);
  canvas->Resize(height);
  for (int y = 0; y < height; ++y) {
    png_read_row(png, row.data(), nullptr);
    for (int x = 0; x < width; ++x) {
      if (row[static_cast<size_t>(x)] < 128) canvas->Set(x, y);
    }
  }
  png_read_end(png, nullptr);
  png_destroy_read_struct(&png, &info, nullptr);
  return true;
}

}  // namespace vprinter
