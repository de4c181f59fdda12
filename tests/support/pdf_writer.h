// Makes PDF documents with text for tests, as PDF printers of Chinese
// receipts write them: a CID-keyed font (Identity-H encoding) not
// embedded, with a ToUnicode map from codes to characters, pieces of text
// placed at points on the page.
#pragma once

#include <string>
#include <vector>

namespace tillcast::test {

struct PdfPiece {
  double x;          // points from the left edge
  double y;          // points from the bottom edge
  std::string utf8;  // characters of the Basic Multilingual Plane
};

// One page per entry, each `width` x `height` points, text 10 points high.
std::string MakePdf(const std::vector<std::vector<PdfPiece>>& pages, double width = 226, double height = 400);

// One page: each line at the left margin, 14 points below the one before.
std::string MakePdfLines(const std::vector<std::string>& utf8_lines);

}  // namespace tillcast::test
