#include "support/pdf_writer.h"

#include <algorithm>
#include <cstdio>
#include <set>

namespace tillcast::test {
namespace {

std::u32string Decode(const std::string& s) {
  std::u32string out;
  for (size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    const int n = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    char32_t cp = n == 1 ? c : n == 2 ? (c & 0x1F) : n == 3 ? (c & 0x0F) : (c & 0x07);
    for (int k = 1; k < n && i + k < s.size(); ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    out.push_back(cp);
    i += n;
  }
  return out;
}

std::string Hex4(char32_t c) {
  char buf[8];
  std::snprintf(buf, sizeof(buf), "%04X", static_cast<unsigned>(c) & 0xFFFF);
  return buf;
}

std::string Num(double v) {
  char buf[32];
  std::snprintf(buf, sizeof(buf), "%.2f", v);
  return buf;
}

}  // namespace

std::string MakePdf(const std::vector<std::vector<PdfPiece>>& pages, double width, double height) {
  // Codes are the characters themselves; the map back to text lists each.
  std::set<char32_t> used;
  std::vector<std::string> contents;
  for (const auto& page : pages) {
    std::string c;
    for (const auto& piece : page) {
      std::string hex;
      for (const char32_t ch : Decode(piece.utf8)) {
        used.insert(ch);
        hex += Hex4(ch);
      }
      c += "BT /F1 10 Tf 1 0 0 1 " + Num(piece.x) + " " + Num(piece.y) + " Tm <" + hex + "> Tj ET\n";
    }
    contents.push_back(c);
  }
  std::string cmap =
      "/CIDInit /ProcSet findresource begin\n12 dict begin\nbegincmap\n"
      "/CIDSystemInfo << /Registry (Adobe) /Ordering (UCS) /Supplement 0 >> def\n"
      "/CMapName /Adobe-Identity-UCS def\n/CMapType 2 def\n1 begincodespacerange\n<0000> <FFFF>\nendcodespacerange\n";
  std::vector<char32_t> chars(used.begin(), used.end());
  for (size_t i = 0; i < chars.size(); i += 100) {
    const size_t n = std::min<size_t>(100, chars.size() - i);
    cmap += std::to_string(n) + " beginbfchar\n";
    for (size_t k = 0; k < n; ++k) cmap += "<" + Hex4(chars[i + k]) + "> <" + Hex4(chars[i + k]) + ">\n";
    cmap += "endbfchar\n";
  }
  cmap += "endcmap\nCMapName currentdict /CMap defineresource pop\nend\nend\n";

  // Objects: 1 catalog, 2 pages, 3 font, 4 CID font, 5 descriptor,
  // 6 ToUnicode, then a page and its contents per page.
  std::vector<std::string> objects;
  std::string kids;
  for (size_t i = 0; i < pages.size(); ++i) kids += std::to_string(7 + 2 * i) + " 0 R ";
  objects.push_back("<< /Type /Catalog /Pages 2 0 R >>");
  objects.push_back("<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(pages.size()) + " >>");
  objects.push_back(
      "<< /Type /Font /Subtype /Type0 /BaseFont /WenQuanYiMicroHei /Encoding /Identity-H "
      "/DescendantFonts [4 0 R] /ToUnicode 6 0 R >>");
  objects.push_back(
      "<< /Type /Font /Subtype /CIDFontType2 /BaseFont /WenQuanYiMicroHei "
      "/CIDSystemInfo << /Registry (Adobe) /Ordering (Identity) /Supplement 0 >> /FontDescriptor 5 0 R "
      "/DW 1000 /W [32 126 500] /CIDToGIDMap /Identity >>");
  objects.push_back(
      "<< /Type /FontDescriptor /FontName /WenQuanYiMicroHei /Flags 4 /FontBBox [0 -120 1000 880] "
      "/ItalicAngle 0 /Ascent 880 /Descent -120 /CapHeight 700 /StemV 80 >>");
  objects.push_back("<< /Length " + std::to_string(cmap.size()) + " >>\nstream\n" + cmap + "endstream");
  for (size_t i = 0; i < pages.size(); ++i) {
    objects.push_back("<< /Type /Page /Parent 2 0 R /MediaBox [0 0 " + Num(width) + " " + Num(height) +
                      "] /Resources << /Font << /F1 3 0 R >> >> /Contents " + std::to_string(8 + 2 * i) + " 0 R >>");
    objects.push_back("<< /Length " + std::to_string(contents[i].size()) + " >>\nstream\n" + contents[i] + "endstream");
  }
  std::string pdf = "%PDF-1.4\n%\xE2\xE3\xCF\xD3\n";
  std::vector<size_t> offsets;
  for (size_t i = 0; i < objects.size(); ++i) {
    offsets.push_back(pdf.size());
    pdf += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
  }
  const size_t xref = pdf.size();
  pdf += "xref\n0 " + std::to_string(objects.size() + 1) + "\n0000000000 65535 f \n";
  for (const size_t off : offsets) {
    char line[32];
    std::snprintf(line, sizeof(line), "%010zu 00000 n \n", off);
    pdf += line;
  }
  pdf += "trailer\n<< /Size " + std::to_string(objects.size() + 1) + " /Root 1 0 R >>\nstartxref\n" +
         std::to_string(xref) + "\n%%EOF\n";
  return pdf;
}

std::string MakePdfLines(const std::vector<std::string>& utf8_lines) {
  std::vector<PdfPiece> page;
  double y = 380;
  for (const auto& line : utf8_lines) {
    page.push_back({10, y, line});
    y -= 14;
  }
  return MakePdf({page});
}

}  // namespace tillcast::test
