// Figures for metafile text extraction: a 60-line receipt page, a 100-page
// spool file, and glyph-map construction for the CJK font.
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "capture/emf_parser.h"
#include "capture/font_service.h"
#include "capture/spool_converter.h"
#include "emf_writer.h"

using Clock = std::chrono::steady_clock;
using tillcast::EMFParser;

namespace {

double Seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

// A receipt as a printer driver records it: item lines with a name, a
// quantity and a price at fixed columns, every piece with its advances.
std::string ReceiptPage(int page) {
  tillcast::test::EmfWriter w;
  w.CreateFont(1, -24, u"SimSun").Select(1);
  for (int line = 0; line < 60; ++line) {
    const int y = 40 + line * 30;
    std::u16string name = u"\u5546\u54c1 " + std::u16string(1, static_cast<char16_t>(u'A' + line % 26)) + u"-";
    for (char c : std::to_string(page * 100 + line)) name.push_back(static_cast<char16_t>(c));
    w.TextW(10, y, name, std::vector<int32_t>(name.size(), 12));
    w.TextW(300, y, u"x1", {12, 12});
    const std::u16string price = u"12.50";
    w.TextW(420, y, price);  // no advance array: measured
  }
  return w.Finish();
}

}  // namespace

int main() {
  const std::string page = ReceiptPage(0);
  {
    EMFParser warm("");
    warm.ParseBytes(reinterpret_cast<const uint8_t*>(page.data()), page.size());
  }
  const int kPages = 500;
  auto t0 = Clock::now();
  size_t chars = 0;
  for (int i = 0; i < kPages; ++i) {
    EMFParser p("");
    chars += p.ParseBytes(reinterpret_cast<const uint8_t*>(page.data()), page.size()).size();
  }
  auto t1 = Clock::now();
  const double s = Seconds(t0, t1);
  std::printf("receipt page (60 lines, %zu bytes): %.1f us/page, %.1f MB/s, %zu chars/page\n", page.size(),
              s / kPages * 1e6, page.size() * kPages / s / 1e6, chars / kPages);

  std::vector<std::string> pages;
  for (int i = 0; i < 100; ++i) pages.push_back(ReceiptPage(i));
  const std::string spool = tillcast::test::MakeSpool(pages);
  // The agent's flow: the spool copy is converted to a metafile file, which
  // is then parsed.
  char dir_template[] = "/tmp/capture_emf_bench.XXXXXX";
  const std::string dir = mkdtemp(dir_template);
  const std::string spl = dir + "/job.SPL", emf = dir + "/job.emf";
  std::FILE* f = std::fopen(spl.c_str(), "wb");
  std::fwrite(spool.data(), 1, spool.size(), f);
  std::fclose(f);
  const int kRuns = 20;
  double convert_s = 0, parse_s = 0;
  size_t text = 0;
  for (int r = 0; r < kRuns; ++r) {
    const auto a = Clock::now();
    tillcast::SpoolFileConverter(spl, emf).Convert();
    const auto b = Clock::now();
    text += EMFParser(emf).Parse().size();
    const auto c = Clock::now();
    convert_s += Seconds(a, b);
    parse_s += Seconds(b, c);
  }
  std::remove(spl.c_str());
  std::remove(emf.c_str());
  std::remove(dir.c_str());
  const double ss = (convert_s + parse_s) / kRuns;
  std::printf("spool file (100 pages, %.2f MB): %.1f ms/file (convert %.1f, parse %.1f), %.1f MB/s, %zu chars\n",
              spool.size() / 1e6, ss * 1e3, convert_s / kRuns * 1e3, parse_s / kRuns * 1e3, spool.size() / ss / 1e6,
              text / kRuns);

  tillcast::capture::GlyphMap map;
  const int kMaps = 5;
  t0 = Clock::now();
  for (int i = 0; i < kMaps; ++i) tillcast::capture::FontService::Get()->BuildGlyphMap(L"WenQuanYi Micro Hei", &map);
  t1 = Clock::now();
  const double ms = Seconds(t0, t1) / kMaps;
  int index = 0;
  const std::string file = tillcast::capture::FontService::Get()->ResolvedFile(L"WenQuanYi Micro Hei", &index);
  std::printf("glyph map (%s #%d): %.1f ms, %zu glyphs, %.2f M code points/s\n", file.c_str(), index, ms * 1e3,
              map.size(), map.size() / ms / 1e6);
  return 0;
}
