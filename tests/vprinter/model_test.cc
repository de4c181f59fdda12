// Pictures of known byte sequences: where the ink lands and how much of it
// there is, for text, images, QR codes, positions, spacing and page mode.
#include <gtest/gtest.h>

#include "support/test_support.h"
#include "vprinter_test_util.h"

namespace vprinter {
namespace {

using test::Box;
using test::InkBox;
using test::kEsc;
using test::kFs;
using test::kGs;
using test::Render;
using test::Word;

const std::string kBits = std::string("\xF0\x0F\xAA\x55\x80\x01", 6);  // 16 x 3 dots

// True when the picture holds exactly the 16x3 pattern of kBits, each dot
// scaled sx by sy, with its top left at (x, y), and nothing else.
::testing::AssertionResult HoldsPattern(const Canvas& c, int x, int y, int sx, int sy) {
  int64_t expected_ink = 0;
  for (int row = 0; row < 3; ++row) {
    for (int col = 0; col < 16; ++col) {
      const bool ink = static_cast<uint8_t>(kBits[static_cast<size_t>(row * 2 + col / 8)]) & (0x80 >> (col % 8));
      for (int dy = 0; dy < sy; ++dy) {
        for (int dx = 0; dx < sx; ++dx) {
          if (c.At(x + col * sx + dx, y + row * sy + dy) != ink) {
            return ::testing::AssertionFailure()
                   << "dot " << col << "," << row << " at " << x + col * sx + dx << "," << y + row * sy + dy;
          }
          expected_ink += ink;
        }
      }
    }
  }
  if (c.Ink() != expected_ink) return ::testing::AssertionFailure() << "stray ink: " << c.Ink() - expected_ink;
  return ::testing::AssertionSuccess();
}

TEST(ModelTest, RasterImageLandsDotExactAtTheAlignedPlace) {
  struct Case {
    std::string prefix;
    int mode, x, sx, sy;
  };
  const std::vector<Case> cases = {
      {"", 0, 0, 1, 1},
      {kEsc + "a" + "\x01", 0, (384 - 16) / 2, 1, 1},
      {kEsc + "a" + "\x32", 0, 384 - 16, 1, 1},
      {kGs + "L" + Word(40), 0, 40, 1, 1},
      {"", 3, 0, 2, 2},
      {kEsc + "a" + "\x01", 1, (384 - 32) / 2, 2, 1},
  };
  for (const Case& c : cases) {
    const Printout p = Render(c.prefix + test::Raster(c.mode, 2, 3, kBits));
    EXPECT_TRUE(HoldsPattern(p.picture, c.x, 0, c.sx, c.sy)) << "mode " << c.mode << " x " << c.x;
    EXPECT_EQ(p.picture.height(), 3 * c.sy);
    EXPECT_EQ(p.stats.images, 1);
  }
  // Below a line of text the image starts where the paper stands.
  const Printout below = Render(kEsc + "3" + "\x28" + "\n\n" + test::Raster(0, 2, 3, kBits));
  EXPECT_TRUE(HoldsPattern(below.picture, 0, 80, 1, 1));
}

TEST(ModelTest, ColumnBitImageIsDotExact) {
  // ESC * 33: 24-dot double density; column 0 has its top and bottom dot,
  // column 1 is full.
  const std::string bytes = kEsc + "3" + "\x18" + kEsc + "*" + std::string("\x21\x02\x00", 3) +
                            std::string("\x80\x00\x01\xFF\xFF\xFF", 6) + "\n";
  const Printout p = Render(bytes);
  ASSERT_EQ(p.picture.height(), 24);
  EXPECT_TRUE(p.picture.At(0, 0));
  EXPECT_TRUE(p.picture.At(0, 23));
  EXPECT_EQ(p.picture.InkIn(0, 0, 1, 24), 2);
  EXPECT_EQ(p.picture.InkIn(1, 0, 1, 24), 24);
  EXPECT_EQ(p.picture.Ink(), 26);
  // ESC * 0: 8-dot single density doubles the width and triples the height.
  const Printout eight = Render(kEsc + "*" + std::string("\x00\x01\x00", 3) + "\x81" + "\n");
  EXPECT_EQ(eight.picture.InkIn(0, 0, 2, 3), 6);
  EXPECT_EQ(eight.picture.InkIn(0, 21, 2, 3), 6);
  EXPECT_EQ(eight.picture.Ink(), 12);
}

TEST(ModelTest, BoldAndBiggerTextTakeMoreInk) {
  const std::string text = "Total 88.50\n";
  const Printout normal = Render(text);
  const Printout bold = Render(kEsc + "E" + "\x01" + text);
  const Printout bold_mode = Render(kEsc + "!" + "\x08" + text);
  const Printout twice = Render(kGs + "!" + "\x11" + text);
  const Printout esc_double = Render(kEsc + "!" + "\x30" + text);
  ASSERT_GT(normal.picture.Ink(), 100);
  EXPECT_GT(bold.picture.Ink(), normal.picture.Ink() * 5 / 4);
  EXPECT_EQ(bold_mode.picture.Ink(), bold.picture.Ink());
  EXPECT_EQ(twice.picture.Ink(), normal.picture.Ink() * 4);
  EXPECT_EQ(esc_double.picture.Ink(), twice.picture.Ink());
  const Box n = InkBox(normal.picture), t = InkBox(twice.picture);
  EXPECT_EQ(t.width(), n.width() * 2);
  EXPECT_EQ(twice.picture.height(), 48);
  EXPECT_EQ(normal.picture.height(), kDefaultLineSpacing);
  // Font B is smaller.
  const Printout font_b = Render(kEsc + "M" + "\x01" + text);
  EXPECT_LT(InkBox(font_b.picture).width(), n.width());
  EXPECT_EQ(normal.transcript, "Total 88.50\n");
  EXPECT_EQ(twice.transcript, "Total 88.50\n");
}

TEST(ModelTest, AlignmentMovesTheInk) {
  const Box left = InkBox(Render("ABC\n").picture);
  const Box centre = InkBox(Render(kEsc + "a" + "\x01" + "ABC\n").picture);
  const Box right = InkBox(Render(kEsc + "a" + "\x02" + "ABC\n").picture);
  ASSERT_FALSE(left.empty());
  EXPECT_LT(left.x0, 4);
  EXPECT_NEAR((centre.x0 + centre.x1) / 2.0, 384 / 2.0, 3);
  EXPECT_GT(right.x1, 384 - 4);
  EXPECT_EQ(left.width(), centre.width());
  EXPECT_EQ(left.width(), right.width());
  // Centred within the print area after a left margin.
  const Box margin = InkBox(Render(kGs + "L" + Word(100) + kEsc + "a" + "\x01" + "ABC\n").picture);
  EXPECT_NEAR((margin.x0 + margin.x1) / 2.0, 100 + (384 - 100) / 2.0, 3);
}

TEST(ModelTest, PositionsAreInMotionUnits) {
  // A full block glyph shows where its cell starts: reverse printing fills
  // the cell.
  const std::string block = kGs + "B" + "\x01" + " ";
  EXPECT_EQ(InkBox(Render(kEsc + "$" + Word(200) + block + "\n").picture).x0, 200);
  EXPECT_EQ(InkBox(Render(kGs + "P" + std::string("\x65\x00", 2) + kEsc + "$" + Word(100) + block + "\n").picture).x0,
            201);
  EXPECT_EQ(InkBox(Render("  " + kEsc + "\\" + Word(10) + block + "\n").picture).x0, 34);
  EXPECT_EQ(InkBox(Render("    " + kEsc + "\\" + Word(0x10000 - 24) + block + "\n").picture).x0, 24);
  // Beyond the line: ignored.
  EXPECT_EQ(InkBox(Render(kEsc + "$" + Word(5000) + block + "\n").picture).x0, 0);
  // Tabs: default every eight characters; ESC D sets them.
  EXPECT_EQ(InkBox(Render("\t" + block + "\n").picture).x0, 96);
  EXPECT_EQ(InkBox(Render(kEsc + "D" + std::string("\x03\x00", 2) + "\t" + block + "\n").picture).x0, 36);
  EXPECT_EQ(Render("AB" + kEsc + "$" + Word(120) + "CD\n").transcript, "AB        CD\n");
}

TEST(ModelTest, LineSpacingAndFeedsSetThePaperLength) {
  EXPECT_EQ(Render("A\nB\n").picture.height(), 2 * kDefaultLineSpacing);
  EXPECT_EQ(Render(kEsc + "3" + "\x40" + "A\nB\n").picture.height(), 2 * 64);
  EXPECT_EQ(Render(kEsc + "3" + "\x40" + kEsc + "2" + "A\nB\n").picture.height(), 2 * kDefaultLineSpacing);
  // Line spacing smaller than the text: the line still takes its height.
  EXPECT_EQ(Render(kEsc + "3" + "\x05" + "A\n").picture.height(), 24);
  EXPECT_EQ(Render(kEsc + "J" + "\x64").picture.height(), 100);
  EXPECT_EQ(Render(kEsc + "d" + "\x03").picture.height(), 3 * kDefaultLineSpacing);
  EXPECT_EQ(Render(kGs + "P" + std::string("\x00\x66", 2) + kEsc + "J" + "\x0A").picture.height(), 20);
  // Cut with feed: the feed is paper too.
  EXPECT_EQ(Render("A\n" + kGs + "V" + "\x42\x0A").picture.height(), kDefaultLineSpacing + 10);
}

TEST(ModelTest, UnderlineDrawsUnderTheWholeText) {
  const Printout plain = Render("ABCD\n");
  const Printout one = Render(kEsc + "-" + "\x01" + "ABCD\n");
  const Printout two = Render(kEsc + "-" + "\x32" + "ABCD\n");
  EXPECT_EQ(one.picture.InkIn(0, 23, 48, 1), 48);
  EXPECT_EQ(two.picture.InkIn(0, 22, 48, 2), 96);
  EXPECT_GT(one.picture.Ink(), plain.picture.Ink());
  EXPECT_GT(two.picture.Ink(), one.picture.Ink());
  // FS - underlines the Chinese characters only.
  const std::string zh = kFs + "&" + tillcast::test::Gbk("中");
  EXPECT_EQ(Render(kFs + "-" + "\x01" + zh + "\n").picture.InkIn(0, 23, 24, 1), 24);
  EXPECT_EQ(Render(kEsc + "-" + "\x01" + zh + "\n").picture.InkIn(0, 23, 24, 1),
            Render(zh + "\n").picture.InkIn(0, 23, 24, 1));
}

TEST(ModelTest, ChineseTextInGbkDrawsGlyphsAndTranscribesToUtf8) {
  const std::string utf8 = "中文测试：合计￥12.50";
  const Printout p = Render(kFs + "&" + tillcast::test::Gbk(utf8) + "\n");
  EXPECT_EQ(p.transcript, utf8 + "\n");
  // Every double-byte character fills its 24x24 cell with some ink.
  for (int i : {0, 1, 2, 3, 5, 6, 7}) EXPECT_GT(p.picture.InkIn(i * 24, 0, 24, 24), 30) << "character " << i;
  EXPECT_GT(p.picture.InkIn(4 * 24, 0, 24, 24), 8) << "the full-width colon";
  // The ASCII after them sits in 12-dot cells.
  EXPECT_GT(p.picture.InkIn(8 * 24, 0, 12, 24), 10);
  // Without the Chinese mode the same bytes are code page characters.
  const Printout single = Render(tillcast::test::Gbk("中文") + "\n");
  EXPECT_EQ(single.transcript, "╓╨╬─\n");
  // FS ! doubles the Chinese characters only.
  const Printout wide = Render(kFs + "&" + kFs + "!" + "\x0C" + tillcast::test::Gbk("中") + "A\n");
  const Printout narrow = Render(kFs + "&" + tillcast::test::Gbk("中") + "A\n");
  EXPECT_EQ(wide.picture.height(), 48);
  EXPECT_EQ(InkBox(wide.picture).x1 - InkBox(narrow.picture).x1, 24);
}

TEST(ModelTest, LongLinesWrapAtThePaperEdge) {
  const Printout p58 = Render(std::string(40, 'W') + "\n");
  EXPECT_EQ(p58.transcript, std::string(32, 'W') + "\n" + std::string(8, 'W') + "\n");
  EXPECT_EQ(p58.picture.height(), 2 * kDefaultLineSpacing);
  const Printout p80 = Render(std::string(40, 'W') + "\n", kPaper80);
  EXPECT_EQ(p80.transcript, std::string(40, 'W') + "\n");
  EXPECT_GT(InkBox(p80.picture).x1, 384);
}

TEST(ModelTest, QrCodeIsDrawnCentredWithItsModuleSize) {
  const Printout p = Render(kEsc + "a" + "\x01" + test::QrCode("https://example.com/r/1", 4));
  EXPECT_EQ(p.stats.qr_codes, 1);
  const Box b = InkBox(p.picture);
  ASSERT_FALSE(b.empty());
  EXPECT_EQ(b.width(), b.height());
  EXPECT_EQ(b.width() % 4, 0);
  EXPECT_EQ(b.width() / 4, 25);  // version 2
  EXPECT_NEAR((b.x0 + b.x1) / 2.0, 192, 2);
  EXPECT_EQ(p.picture.height(), b.height());
  // Finder pattern: the top left 7x7 modules' outer ring is black.
  EXPECT_EQ(p.picture.InkIn(b.x0, b.y0, 28, 4), 28 * 4);
  // Printing without stored data draws nothing.
  EXPECT_EQ(Render(kGs + "(k" + Word(3) + "\x31\x51\x30" + "A\n").stats.qr_codes, 0);
}

TEST(ModelTest, PageModePlacesTextInItsAreaAndPrintsOnFormFeed) {
  const std::string block = kGs + "B" + "\x01" + " ";
  const std::string page = kEsc + "L" + kEsc + "W" + Word(0) + Word(0) + Word(200) + Word(100) + kEsc + "$" + Word(50) +
                           kGs + "$" + Word(40) + block + kEsc + "$" + Word(0) + kGs + "$" + Word(0) + block;
  const Printout p = Render(page + "\x0c" + "B\n");
  EXPECT_EQ(p.picture.height(), 100 + kDefaultLineSpacing);
  EXPECT_EQ(p.picture.InkIn(50, 40, 12, 24), 12 * 24);
  EXPECT_EQ(p.picture.InkIn(0, 0, 12, 24), 12 * 24);
  EXPECT_EQ(p.picture.InkIn(0, 24, 50, 76), 0);
  EXPECT_EQ(p.transcript, "\n\nB\n");  // blank cells: two empty lines
  // The horizontal position may come before the vertical one.
  const Printout xy = Render(kEsc + "L" + kEsc + "$" + Word(10) + kGs + "$" + Word(30) + block + kEsc + "$" +
                             Word(300) + kGs + "$" + Word(60) + block + "\x0c");
  EXPECT_EQ(xy.picture.InkIn(10, 30, 12, 24), 12 * 24);
  EXPECT_EQ(xy.picture.InkIn(300, 60, 12, 24), 12 * 24);
  EXPECT_EQ(xy.picture.Ink(), 2 * 12 * 24);
  EXPECT_EQ(xy.picture.height(), 84);
  // Turned upside down (ESC T 2) the first cell lands at the bottom right.
  const Printout turned = Render(kEsc + "L" + kEsc + "W" + Word(0) + Word(0) + Word(200) + Word(100) + kEsc + "T" +
                                 "\x02" + block + "\x0c");
  EXPECT_EQ(turned.picture.InkIn(200 - 12, 100 - 24, 12, 24), 12 * 24);
  EXPECT_EQ(turned.picture.Ink(), 12 * 24);
  // CAN throws the page away; ESC S leaves without printing.
  EXPECT_EQ(Render(kEsc + "L" + block + "\x18" + "\x0c").picture.Ink(), 0);
  EXPECT_EQ(Render(kEsc + "L" + block + kEsc + "S" + "B\n").transcript, "B\n");
}

TEST(ModelTest, ResetRestoresTheSettings) {
  const Printout p = Render(kGs + "!" + "\x11" + kEsc + "a" + "\x02" + kEsc + "3" + "\x50" + kEsc + "@" + "ABC\n");
  EXPECT_EQ(p.picture.height(), kDefaultLineSpacing);
  EXPECT_LT(InkBox(p.picture).x0, 4);
  EXPECT_EQ(p.picture.Ink(), Render("ABC\n").picture.Ink());
}

TEST(ModelTest, HostileLengthsEndWithBoundedPaper) {
  // A 65535 x 65535-byte image announced, 1 MB of it sent.
  const std::string huge = test::Raster(0, 0xFFFF, 0xFFFF, std::string(1 << 20, '\xFF'));
  const Printout img = Render(huge);
  EXPECT_EQ(img.picture.height(), 17);  // the rows that arrived
  EXPECT_EQ(img.picture.Ink(), 16 * 384 + 16 * 8);
  // Feeds beyond what any receipt prints stop at the paper limit.
  std::string feeds;
  for (int i = 0; i < 2000; ++i) feeds += kEsc + "d" + "\xFF";
  const Printout long_paper = Render(feeds + "END\n");
  EXPECT_EQ(long_paper.picture.height(), kMaxPaperDots);
  EXPECT_TRUE(long_paper.stats.paper_limit);
  // Huge characters or QR codes drawn again and again at one place of a
  // page: drawing stops at the document's budget.
  Session::Options small;
  small.printable = kPaper58.printable;
  small.max_height = 1000;
  small.quiet_ms = 0;
  for (const std::string& unit : {kGs + "$" + Word(0) + "W", kGs + "(k" + Word(3) + "\x31\x51\x30"}) {
    std::vector<Document> docs;
    Session session(test::Glyphs(), small, [&](Document&& d) { docs.push_back(std::move(d)); });
    std::string spam = kEsc + "L" + kGs + "!" + "\x77" + kEsc + "W" + Word(0) + Word(0) + Word(384) + Word(900) +
                       test::QrCode(std::string(300, 'q'), 16).substr(0, 8 + 8 + 308);  // size, level, store
    for (int i = 0; i < 20000; ++i) spam += unit;
    spam += "\x0c";
    session.Feed(reinterpret_cast<const uint8_t*>(spam.data()), spam.size(), 0);
    session.Finish();
    ASSERT_EQ(docs.size(), 1u);
    EXPECT_TRUE(docs[0].printout.stats.paper_limit);
    EXPECT_EQ(docs[0].printout.picture.height(), 900);
  }
  // A QR code too long for any version is skipped.
  EXPECT_EQ(Render(test::QrCode(std::string(8000, 'x'), 3) + "A\n").stats.qr_codes, 0);
}

}  // namespace
}  // namespace vprinter
