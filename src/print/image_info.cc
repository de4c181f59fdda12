#include "print/image_info.h"

#include <cstdio>
#include <memory>

// Header parsing only; the static copy keeps stb's symbols out of other
// modules.
#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_BMP
#define STBI_ONLY_PNG
// stb's decoder trips GCC's flow analysis at -O2; the warning is about the
// third-party code, not ours.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <stb/stb_image.h>
#pragma GCC diagnostic pop

namespace tillcast {
namespace {
struct FileClose {
  void operator()(FILE* f) const { std::fclose(f); }
};
}  // namespace

bool ImageFileSize(const std::string& path, int* width, int* height) {
  std::unique_ptr<FILE, FileClose> f(std::fopen(path.c_str(), "rb"));
  if (!f) return false;
  int comp = 0;
  return stbi_info_from_file(f.get(), width, height, &comp) != 0;
}

}  // namespace tillcast
