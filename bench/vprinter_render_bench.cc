// How long the virtual printer takes for a typical receipt: 40 lines of
// Chinese and Latin text, a logo, a QR code; layout alone and with the PNG.
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include <iconv.h>

#include "output.h"
#include "session.h"

namespace {

std::string Gbk(const std::string& utf8) {
  iconv_t cd = iconv_open("GBK", "UTF-8");
  std::string in = utf8, out(utf8.size() * 2 + 4, '\0');
  char* ip = in.data();
  char* op = out.data();
  size_t il = in.size(), ol = out.size();
  iconv(cd, &ip, &il, &op, &ol);
  iconv_close(cd);
  out.resize(out.size() - ol);
  return out;
}

std::string Receipt() {
  const std::string esc = "\x1b", gs = "\x1d", fs = "\x1c";
  std::string r = esc + "@" + fs + "&" + esc + "a" + "\x01";
  // A 256 x 96 logo.
  r += gs + "v0" + std::string(1, '\0') + std::string("\x20\x00\x60\x00", 4);
  for (int i = 0; i < 32 * 96; ++i) r += static_cast<char>((i * 37) & 0xFF);
  r +=
      gs + "!" + "\x11" + Gbk("天天便利店") + "\n" + gs + "!" + std::string(1, '\0') + esc + "a" + std::string(1, '\0');
  for (int i = 0; i < 34; ++i) {
    r += Gbk("商品名称" + std::to_string(i)) + esc + "$" + std::string("\xE0\x00", 2) + "x2" + esc + "$" +
         std::string("\x90\x01", 2) + "12.50\n";
  }
  r += esc + "E" + "\x01" + Gbk("合计：425.00") + esc + "E" + std::string(1, '\0') + "\n";
  r += Gbk("支付方式：微信支付") + "\n" + Gbk("谢谢惠顾，欢迎再次光临") + "\n";
  const std::string qr = "https://receipts.example.com/r/20250131-000123";
  const std::string k = gs + "(k";
  r += esc + "a" + "\x01" + k + std::string("\x03\x00\x31\x43\x05", 5) + k + std::string("\x03\x00\x31\x45\x31", 5);
  r += k + std::string(1, static_cast<char>(qr.size() + 3)) + std::string("\x00\x31\x50\x30", 4) + qr;
  r += k + std::string("\x03\x00\x31\x51\x30", 5) + "\n" + esc + "d" + "\x04" + gs + "V" + "\x42\x00";
  return r;
}

double Ms(std::chrono::steady_clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

}  // namespace

int main() {
  using Clock = std::chrono::steady_clock;
  const std::string bytes = Receipt();
  std::string error;
  const auto t0 = Clock::now();
  auto glyphs = vprinter::GlyphSource::Open(&error);
  if (!glyphs) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  const double open_ms = Ms(Clock::now() - t0);

  vprinter::Session::Options options;
  options.printable = vprinter::kPaper80.printable;
  options.quiet_ms = 0;
  std::vector<vprinter::Document> docs;
  vprinter::Session session(glyphs.get(), options, [&](vprinter::Document&& d) { docs.push_back(std::move(d)); });

  auto render = [&] {
    docs.clear();
    session.Feed(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), 0);
  };
  const auto c0 = Clock::now();
  render();
  const double first_ms = Ms(Clock::now() - c0);

  const int rounds = 200;
  const auto w0 = Clock::now();
  for (int i = 0; i < rounds; ++i) render();
  const double layout_ms = Ms(Clock::now() - w0) / rounds;

  const std::string png = "/tmp/vprinter_render_bench.png";
  const auto p0 = Clock::now();
  for (int i = 0; i < 50; ++i) {
    if (!vprinter::WritePngAtomic(png, docs.front().printout.picture, vprinter::PaperMargins(vprinter::kPaper80),
                                  &error)) {
      std::fprintf(stderr, "%s\n", error.c_str());
      return 1;
    }
  }
  const double png_ms = Ms(Clock::now() - p0) / 50;
  std::remove(png.c_str());

  std::printf("receipt: %zu bytes, %d text lines, %d dots long (80 mm)\n", bytes.size(),
              docs.front().printout.stats.text_lines, docs.front().printout.picture.height());
  std::printf("%-40s %8.2f ms\n", "font lookup and load (once)", open_ms);
  std::printf("%-40s %8.2f ms\n", "first receipt (glyphs drawn)", first_ms);
  std::printf("%-40s %8.2f ms\n", "receipt layout, warm", layout_ms);
  std::printf("%-40s %8.2f ms\n", "PNG write", png_ms);
  std::printf("%-40s %8.2f ms\n", "receipt to PNG, warm", layout_ms + png_ms);
  return 0;
}
