#include "image.h"

#include <cerrno>
#include <cstdio>
#include <memory>

// The decoder is compiled into this library so installations need no extra
// runtime package; only the two formats we print are built.
#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_BMP
#define STBI_ONLY_PNG
#define STBI_NO_STDIO
#define STBI_MAX_DIMENSIONS 16384
// stb's decoder trips GCC's flow analysis at -O2; the warning is about the
// third-party code, not ours.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <stb/stb_image.h>
#pragma GCC diagnostic pop

namespace possdk {
namespace {

struct StbiFree {
  void operator()(unsigned char* p) const { stbi_image_free(p); }
};
struct FileClose {
  void operator()(FILE* f) const { std::fclose(f); }
};

}  // namespace

bool DecodeRaster(const std::string& data, int x, Raster* out) {
  if (data.empty() || data.size() > static_cast<size_t>(kMaxImageFileBytes)) return false;
  const auto* bytes = reinterpret_cast<const stbi_uc*>(data.data());
  const int len = static_cast<int>(data.size());
  int w = 0, h = 0, comp = 0;
  if (!stbi_info_from_memory(bytes, len, &w, &h, &comp)) return false;
  if (w <= 0 || h <= 0 || w > kMaxImageWidth || h > kMaxImageHeight) return false;
  std::unique_ptr<unsigned char, StbiFree> pixels(stbi_load_from_memory(bytes, len, &w, &h, &comp, 4));
  if (!pixels) return false;

  if (x < 0) x = 0;
  if (x > kMaxImageWidth) x = kMaxImageWidth;
  out->widthBytes = (x + w + 7) / 8;
  out->height = h;
  out->bits.assign(static_cast<size_t>(out->widthBytes) * static_cast<size_t>(h), 0);
  const unsigned char* p = pixels.get();
  for (int row = 0; row < h; ++row) {
    uint8_t* line = out->bits.data() + static_cast<size_t>(row) * static_cast<size_t>(out->widthBytes);
    for (int col = 0; col < w; ++col, p += 4) {
      const int luma = (299 * p[0] + 587 * p[1] + 114 * p[2]) / 1000;
      // Transparent parts are the paper, which is white.
      const int onPaper = 255 - (p[3] * (255 - luma)) / 255;
      if (onPaper < 128) {
        const int dot = x + col;
        line[dot / 8] = static_cast<uint8_t>(line[dot / 8] | (0x80 >> (dot % 8)));
      }
    }
  }
  return true;
}

bool LoadRaster(const std::string& path, int x, Raster* out) {
  std::unique_ptr<FILE, FileClose> f(std::fopen(path.c_str(), "rb"));
  if (!f) return false;
  std::string data;
  char buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f.get())) > 0) {
    data.append(buf, n);
    if (data.size() > static_cast<size_t>(kMaxImageFileBytes)) {
      errno = EFBIG;
      return false;
    }
  }
  if (std::ferror(f.get())) return false;
  if (!DecodeRaster(data, x, out)) {
    errno = EINVAL;
    return false;
  }
  return true;
}

}  // namespace possdk
