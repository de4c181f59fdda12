// QR codes of additional receipts as 1-bit BMP files. Thread-safe.
#pragma once

#include <string>
#include <vector>

namespace tillcast {

// Side of the bitmap in pixels for a size step (1..6 give 120..240).
int QrBitmapSide(int scale);

// The BMP file bytes of `text` as a QR code (automatic version, level H,
// 8-bit mode), scaled nearest-neighbour to QrBitmapSide(scale) pixels, dark
// modules black. False when the text cannot be encoded.
bool EncodeQrBitmap(const std::string& text, int scale, std::vector<unsigned char>* bmp);

// Writes EncodeQrBitmap's file to `path`. False only when encoding fails; a
// file that cannot be created leaves nothing behind and still counts as done.
bool MakeQrBitmap(const std::string& text, const std::string& path, int scale);

}  // namespace tillcast
