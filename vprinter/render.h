// One file of ESC/POS bytes to a picture and a transcript.
#pragma once

#include <string>

#include "printer_model.h"

namespace vprinter {

struct RenderOptions {
  std::string input;
  std::string output_png;
  Paper paper = kPaper80;
  bool chinese_default = false;
};

// The transcript's path: OUT.png -> OUT.txt (OUT -> OUT.txt).
std::string TranscriptPath(const std::string& png_path);

// Writes OUT.png and OUT.txt for the first document; further documents
// (after cuts) go to OUT-2.png, OUT-3.png... A file that prints nothing
// gives blank paper. Returns the exit code: 0, or 1 with a message on
// stderr.
int RenderFile(const RenderOptions& options);

}  // namespace vprinter
