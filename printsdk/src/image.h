// Image files to 1-bit rasters.
#pragma once

#include <string>

#include "escpos.h"

namespace possdk {

// Largest image accepted, in pixels; larger files are refused before decoding.
inline constexpr int kMaxImageWidth = 4096;
inline constexpr int kMaxImageHeight = 16384;
inline constexpr long kMaxImageFileBytes = 64L * 1024 * 1024;

// Decodes the BMP or PNG `data` and thresholds it to black and white
// (luminance under 128 after blending any alpha onto white paper), shifted
// right by `x` white dots. False when the data is not a supported image or is
// too large.
bool DecodeRaster(const std::string& data, int x, Raster* out);

// Reads the file, then DecodeRaster. False (errno set) when it cannot be read.
bool LoadRaster(const std::string& path, int x, Raster* out);

}  // namespace possdk
