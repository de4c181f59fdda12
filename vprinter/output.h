// Writing documents to disk: the picture (PNG), the transcript (UTF-8 text)
// and the raw bytes, each written to a temporary name and renamed so that a
// watcher never sees half a file. The PNG comes last.
#pragma once

#include <cstdint>
#include <string>

#include "png_io.h"
#include "printer_model.h"
#include "session.h"

namespace vprinter {

// The white paper around the printable width, and a little above and
// below the print.
Margins PaperMargins(const Paper& paper);

// Writes `data` to `path` through `path`.tmp and a rename.
bool WriteFileAtomic(const std::string& path, const std::string& data, std::string* error);
bool WritePngAtomic(const std::string& path, const Canvas& canvas, const Margins& margins, std::string* error);

// A folder receiving numbered documents "0001-20250131-142500.png" (.txt,
// .bin). Numbers continue after the highest already there. Not
// thread-safe.
class OutputFolder {
 public:
  bool Open(const std::string& dir, const Paper& paper, std::string* error);
  // Writes the three files; `*base` receives their path without extension.
  bool Write(const Document& doc, std::string* base, std::string* error);
  int last_sequence() const { return sequence_; }

 private:
  std::string dir_;
  Paper paper_ = kPaper80;
  int sequence_ = 0;
};

}  // namespace vprinter
