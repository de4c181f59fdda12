// The pixel size of an image file. Thread-safe.
#pragma once

#include <string>

namespace tillcast {

// Width and height of the BMP or PNG file at `path`; false when it is not one.
bool ImageFileSize(const std::string& path, int* width, int* height);

}  // namespace tillcast
