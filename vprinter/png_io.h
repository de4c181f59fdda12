// PNG files of paper pictures, with libpng: black and white, one bit per
// dot.
#pragma once

#include <string>

#include "canvas.h"

namespace vprinter {

// White border around the printed area, in dots.
struct Margins {
  int left = 0, right = 0, top = 0, bottom = 0;
};

// Writes `canvas` inside `margins` of white paper. False with `*error` set
// on failure.
bool WritePng(const std::string& path, const Canvas& canvas, const Margins& margins, std::string* error);

// Reads any PNG into a canvas: dots darker than mid-grey are ink.
bool ReadPng(const std::string& path, Canvas* canvas, std::string* error);

}  // namespace vprinter
