#include "render.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "output.h"
#include "session.h"

namespace vprinter {
namespace {

void Error(const std::string& text) { std::fprintf(stderr, "tillcast-vprinter: %s\n", text.c_str()); }

std::string Stem(const std::string& png_path) {
  const size_t slash = png_path.rfind('/');
  const size_t dot = png_path.rfind('.');
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) return png_path.substr(0, dot);
  return png_path;
}

}  // namespace

std::string TranscriptPath(const std::string& png_path) { return Stem(png_path) + ".txt"; }

int RenderFile(const RenderOptions& options) {
  std::ifstream in(options.input, std::ios::binary);
  if (!in) {
    Error(options.input + ": " + std::strerror(errno));
    return 1;
  }
  std::string error;
  auto glyphs = GlyphSource::Open(&error);
  if (!glyphs) {
    Error(error);
    return 1;
  }
  Session::Options so;
  so.printable = options.paper.printable;
  so.chinese_default = options.chinese_default;
  so.quiet_ms = 0;
  so.max_raw = 0;  // no .bin here
  const Margins margins = PaperMargins(options.paper);
  const std::string stem = Stem(options.output_png);
  const std::string ext = options.output_png.substr(stem.size());
  int written = 0;
  bool failed = false;
  // Each document is written as soon as it is cut, so a file of many
  // receipts never holds more than one picture.
  auto write = [&](const Document& doc) {
    if (failed) return;
    const std::string png = written == 0 ? options.output_png : stem + "-" + std::to_string(written + 1) + ext;
    if (!WritePngAtomic(png, doc.printout.picture, margins, &error) ||
        !WriteFileAtomic(TranscriptPath(png), doc.printout.transcript, &error)) {
      Error(error);
      failed = true;
      return;
    }
    ++written;
    std::printf("%s: %s\n", png.c_str(), doc.Summary().c_str());
  };
  Session session(glyphs.get(), so, [&](Document&& doc) { write(doc); });
  std::vector<char> buf(1 << 16);
  while (in && !failed) {
    in.read(buf.data(), static_cast<std::streamsize>(buf.size()));
    const std::streamsize n = in.gcount();
    if (n > 0) session.Feed(reinterpret_cast<const uint8_t*>(buf.data()), static_cast<size_t>(n), 0);
  }
  if (in.bad()) {
    Error(options.input + ": read error");
    return 1;
  }
  session.Finish();
  if (written == 0 && !failed) {
    Document blank;  // nothing printed: blank paper
    blank.printout.picture = Canvas(options.paper.printable, 0);
    write(blank);
  }
  if (failed) return 1;
  return 0;
}

}  // namespace vprinter
