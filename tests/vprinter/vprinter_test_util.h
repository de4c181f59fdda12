// Byte builders and rendering helpers for the virtual printer tests.
#pragma once

#include <string>
#include <vector>

#include "glyphs.h"
#include "printer_model.h"
#include "session.h"

namespace vprinter::test {

inline const std::string kEsc = "\x1b", kGs = "\x1d", kFs = "\x1c";

// Little-endian 16-bit parameter.
std::string Word(int v);
// GS v 0 with `bits` (width_bytes * height bytes).
std::string Raster(int mode, int width_bytes, int height, const std::string& bits);
// GS ( k: module size, error level 'L', store `data`, print.
std::string QrCode(const std::string& data, int module);

// The fonts, loaded once per test process.
GlyphSource* Glyphs();

// Every document of `bytes` (fed in pieces of `chunk` bytes, 0 = whole),
// the open one closed at the end.
std::vector<Document> RenderAll(const std::string& bytes, const Paper& paper = kPaper58, size_t chunk = 0,
                                bool chinese = false);
// The single document of `bytes`; an empty picture when none.
Printout Render(const std::string& bytes, const Paper& paper = kPaper58, bool chinese = false);

// The box of a picture's ink.
struct Box {
  int x0 = 0, y0 = 0, x1 = -1, y1 = -1;
  bool empty() const { return x1 < 0; }
  int width() const { return x1 - x0 + 1; }
  int height() const { return y1 - y0 + 1; }
};
Box InkBox(const Canvas& c);

// build/bin/tillcast-vprinter
std::string ProgramPath();

}  // namespace vprinter::test
