#include "vprinter_test_util.h"

#include <gtest/gtest.h>

#include <memory>

#include "support/test_support.h"

namespace vprinter::test {

std::string Word(int v) {
  std::string s;
  s += static_cast<char>(v & 0xFF);
  s += static_cast<char>((v >> 8) & 0xFF);
  return s;
}

std::string Raster(int mode, int width_bytes, int height, const std::string& bits) {
  return kGs + "v0" + std::string(1, static_cast<char>(mode)) + Word(width_bytes) + Word(height) + bits;
}

std::string QrCode(const std::string& data, int module) {
  const std::string k = kGs + "(k";
  std::string s;
  s += k + Word(3) + "\x31\x43" + std::string(1, static_cast<char>(module));
  s += k + Word(3) + "\x31\x45\x30";
  s += k + Word(static_cast<int>(data.size()) + 3) + "\x31\x50\x30" + data;
  s += k + Word(3) + "\x31\x51\x30";
  return s;
}

GlyphSource* Glyphs() {
  static std::unique_ptr<GlyphSource> glyphs = [] {
    std::string error;
    auto g = GlyphSource::Open(&error);
    EXPECT_TRUE(g) << error;
    return g;
  }();
  return glyphs.get();
}

std::vector<Document> RenderAll(const std::string& bytes, const Paper& paper, size_t chunk, bool chinese) {
  std::vector<Document> docs;
  Session::Options options;
  options.printable = paper.printable;
  options.chinese_default = chinese;
  options.quiet_ms = 0;
  Session session(Glyphs(), options, [&docs](Document&& d) { docs.push_back(std::move(d)); });
  const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
  const size_t step = chunk == 0 ? std::max<size_t>(bytes.size(), 1) : chunk;
  for (size_t pos = 0; pos < bytes.size(); pos += step) session.Feed(data + pos, std::min(step, bytes.size() - pos), 0);
  session.Finish();
  return docs;
}

Printout Render(const std::string& bytes, const Paper& paper, bool chinese) {
  auto docs = RenderAll(bytes, paper, 0, chinese);
  EXPECT_LE(docs.size(), 1u);
  if (docs.empty()) return Printout{Canvas(paper.printable, 0), "", {}};
  return std::move(docs.front().printout);
}

Box InkBox(const Canvas& c) {
  Box b;
  if (!c.InkBox(&b.x0, &b.y0, &b.x1, &b.y1)) return Box{};
  return b;
}

std::string ProgramPath() { return tillcast::test::BinDir() + "/tillcast-vprinter"; }

}  // namespace vprinter::test
