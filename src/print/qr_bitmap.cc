#include "print/qr_bitmap.h"

#include <qrencode.h>

#include <algorithm>
#include <cstdio>
#include <memory>

#include "base/text_util.h"

namespace tillcast {
namespace {

struct QrFree {
  void operator()(QRcode* q) const { QRcode_free(q); }
};

void PutLe(std::vector<unsigned char>* out, size_t at, uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) (*out)[at + static_cast<size_t>(i)] = static_cast<unsigned char>(v >> (8 * i));
}

constexpr uint32_t kHeaderBytes = 14 + 40 + 8;  // file header, info header, two palette entries

}  // namespace

int QrBitmapSide(int scale) { return std::min(250, (scale - 1) * 24 + 120); }

bool EncodeQrBitmap(const std::string& text, int scale, std::vector<unsigned char>* bmp) {
  std::unique_ptr<QRcode, QrFree> qr(QRcode_encodeString(text.c_str(), 0, QR_ECLEVEL_H, QR_MODE_8, 1));
  if (!qr || qr->width <= 0) return false;
  const uint32_t side = static_cast<uint32_t>(QrBitmapSide(std::clamp(scale, 1, 6)));
  const uint32_t stride = ((side + 31) / 32) * 4;
  const uint32_t imageSize = stride * side;
  const uint32_t modules = static_cast<uint32_t>(qr->width);

  bmp->assign(kHeaderBytes + imageSize, 0);
  (*bmp)[0] = 'B';
  (*bmp)[1] = 'M';
  PutLe(bmp, 2, kHeaderBytes + imageSize, 4);
  PutLe(bmp, 10, kHeaderBytes, 4);
  PutLe(bmp, 14, 40, 4);
  PutLe(bmp, 18, side, 4);
  PutLe(bmp, 22, side, 4);
  PutLe(bmp, 26, 1, 2);  // planes
  PutLe(bmp, 28, 1, 2);  // bits per pixel
  PutLe(bmp, 34, imageSize, 4);
  PutLe(bmp, 46, 2, 4);  // colours used
  // Palette: index 0 black, index 1 white.
  PutLe(bmp, 58, 0x00FFFFFF, 4);

  unsigned char* pixels = bmp->data() + kHeaderBytes;
  std::fill(pixels, pixels + imageSize, 0xFF);
  for (uint32_t y = 0; y < side; ++y) {
    // Rows are stored bottom-up.
    unsigned char* line = pixels + static_cast<size_t>(side - 1 - y) * stride;
    const uint32_t my = y * modules / side;
    for (uint32_t x = 0; x < side; ++x) {
      const uint32_t mx = x * modules / side;
      if (qr->data[my * modules + mx] & 1) line[x / 8] = static_cast<unsigned char>(line[x / 8] & ~(0x80 >> (x % 8)));
    }
  }
  return true;
}

bool MakeQrBitmap(const std::string& text, const std::string& path, int scale) {
  std::vector<unsigned char> bmp;
  if (!EncodeQrBitmap(text, scale, &bmp)) return false;
  if (!WriteBufferToFile(path, bmp.data(), bmp.size(), true, false)) std::remove(path.c_str());
  return true;
}

}  // namespace tillcast
