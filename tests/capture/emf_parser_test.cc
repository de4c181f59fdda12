#include "capture/emf_parser.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <filesystem>
#include <random>
#include <set>

#include "capture/font_service.h"
#include "emf_writer.h"
#include "support/test_support.h"

namespace tillcast {
namespace {

using test::EmfWriter;

std::wstring ParseString(const std::string& bytes) {
  EMFParser p("");
  return p.ParseBytes(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

// Space width 10 for every test that lays out with it.
class EmfText : public ::testing::Test {
 protected:
  void SetUp() override { SetCharWidthsForTest(10, 20); }
  void TearDown() override { ResetCharWidthsForTest(); }
};

TEST(EmfLayout, GapsRowsAndOrder) {
  struct Case {
    const char* name;
    std::vector<TextItem> items;
    std::wstring want;
  };
  const std::vector<Case> cases = {
      {"gap of exactly one space width", {{0, 5, 30, L"ab"}, {40, 5, 10, L"cd"}}, L"abcd"},
      {"gap of 2.9 space widths", {{0, 5, 30, L"ab"}, {59, 5, 10, L"cd"}}, L"ab  cd"},
      {"gap just over one width", {{0, 5, 30, L"ab"}, {41, 5, 10, L"cd"}}, L"ab cd"},
      {"right to left arrival", {{100, 5, 10, L"R"}, {50, 5, 10, L"M"}, {0, 5, 10, L"L"}}, L"L    M    R"},
      {"rows by exact y", {{0, 11, 10, L"b"}, {0, 10, 10, L"a"}, {0, 12, 10, L"c"}}, L"a\nb\nc"},
      {"overlap gets no space", {{0, 5, 50, L"wide"}, {20, 5, 10, L"x"}}, L"widex"},
      {"hostile gap is capped", {{0, 5, 0, L"a"}, {INT32_MAX, 5, 0, L"b"}}, L"a" + std::wstring(1024, L' ') + L"b"},
      {"nothing", {}, L""},
  };
  for (const Case& c : cases) EXPECT_EQ(LayOutItems(c.items, 10), c.want) << c.name;
  // Many one-character records with wide gaps: the blanks stay within a
  // budget of the text's size, not 1024 per gap.
  std::vector<TextItem> sparse;
  for (int i = 0; i < 2000; ++i) sparse.push_back({i * 1000000, 5, 0, L"x"});
  const std::wstring laid = LayOutItems(sparse, 10);
  EXPECT_EQ(std::count(laid.begin(), laid.end(), L'x'), 2000);
  EXPECT_EQ(laid.size(), 2000u + 1024u + 64u * 2000u);
  // Without a measured space width no spaces are added.
  EXPECT_EQ(LayOutItems({{0, 5, 10, L"a"}, {500, 5, 10, L"b"}}, 0), L"ab");
}

TEST_F(EmfText, BothTextRecordFormsAndBothSignsOfY) {
  const std::string gbk = test::Gbk("合计");
  const std::string emf = EmfWriter()
                              .CreateFont(1, -20, u"Arial")
                              .Select(1)
                              .TextW(0, 100, u"Total", {10, 10, 10, 10, 10})
                              .TextW(80, -100, u"12.50", {10, 10, 10, 10, 10})
                              .SmallText(0, 200, gbk, 0x300)               // 8-bit, no rectangle
                              .SmallText(0, 300, "cash", 0x204)            // 8-bit after a rectangle
                              .SmallTextW(0, 400, u"\u4f60\u597d", 0x100)  // UTF-16, no rectangle
                              .SmallTextW(0, 500, u"rect", 0x0)            // UTF-16 after a rectangle
                              .Finish();
  EXPECT_EQ(ParseString(emf), L"Total   12.50\n\x5408\x8ba1\ncash\n\x4f60\x597d\nrect");
}

TEST_F(EmfText, PiecesArrivingRightToLeftWithGapsOfOneAndOfTwoPointNineSpaces) {
  // Space width 10: "tot" ends at 30; "al" starts one width later (no
  // space), "9.99" 29 units after "al" ends (two spaces).
  const std::string emf = EmfWriter()
                              .TextW(89, 50, u"9.99", {10, 10, 10, 10})
                              .TextW(40, -50, u"al", {10, 10})
                              .TextW(0, 50, u"tot", {10, 10, 10})
                              .TextW(5, 20, u"head", {1, 1, 1, 1})
                              .Finish();
  EXPECT_EQ(ParseString(emf), L"head\ntotal  9.99");
}

TEST_F(EmfText, AdvanceArraysAndMeasuredWidths) {
  // A trailing zero advance is measured; the rest of the array is used as is.
  std::vector<int32_t> measured;
  capture::FontService::Get()->Advances(L"DejaVu Sans", -40, L"abc", &measured);
  ASSERT_GT(measured[2], 0);
  EMFParser p("");
  const std::string emf = EmfWriter()
                              .CreateFont(3, -40, u"DejaVu Sans")
                              .Select(3)
                              .TextW(0, 10, u"abc", {7, 7, 0})
                              .TextW(0, 20, u"abc")
                              .Finish();
  p.ParseBytes(reinterpret_cast<const uint8_t*>(emf.data()), emf.size());
  ASSERT_EQ(p.items().size(), 2u);
  EXPECT_EQ(p.items()[0].width, 14 + measured[2]);
  EXPECT_EQ(p.items()[1].width, measured[0] + measured[1] + measured[2]);
  EXPECT_EQ(p.face_name(), L"DejaVu Sans");
}

TEST_F(EmfText, SelectingAPenOrAStockObjectKeepsTrackOfTheFont) {
  EMFParser p("");
  std::string pen;
  test::PutU32(&pen, 2);
  pen += std::string(16, '\0');
  const std::string emf = EmfWriter()
                              .CreateFont(1, -12, u"Courier New")
                              .Raw(38, pen)  // pen at index 2
                              .Select(1)
                              .Select(2)
                              .Select(7)  // nothing there
                              .SaveDc()
                              .Select(0x8000000D)  // stock system font
                              .RestoreDc(-1)
                              .RestoreDc(-5)  // more than was saved: ignored
                              .TextW(0, 0, u"x", {5})
                              .Finish();
  EXPECT_EQ(ParseString(emf), L"x");
  p.ParseBytes(reinterpret_cast<const uint8_t*>(emf.data()), emf.size());
  // The face name follows selections, not restores.
  EXPECT_EQ(p.face_name(), L"System");
}

TEST_F(EmfText, GlyphIndexTextMapsBackThroughTheFont) {
  capture::GlyphMap map;
  ASSERT_TRUE(capture::FontService::Get()->BuildGlyphMap(L"WenQuanYi Micro Hei", &map));
  ASSERT_FALSE(map.empty());
  EXPECT_EQ(map.count(0), 0u);
  std::map<wchar_t, uint16_t> by_char;
  for (const auto& [g, c] : map) by_char.emplace(c, g);
  const std::wstring want = L"A1\x4f60\x597d";
  std::vector<uint16_t> glyphs;
  for (wchar_t c : want) {
    ASSERT_TRUE(by_char.count(c)) << static_cast<int>(c);
    glyphs.push_back(by_char[c]);
  }
  glyphs.insert(glyphs.begin() + 1, 0);  // a missing glyph is dropped
  const std::string emf = EmfWriter()
                              .CreateFont(1, -24, u"WenQuanYi Micro Hei")
                              .Select(1)
                              .GlyphsW(0, 50, glyphs, std::vector<int32_t>(glyphs.size(), 24))
                              .GlyphsW(0, 80, {by_char[L'Z']})  // measured from the mapped text
                              .Finish();
  EMFParser p("");
  EXPECT_EQ(p.ParseBytes(reinterpret_cast<const uint8_t*>(emf.data()), emf.size()), want + L"\nZ");
  ASSERT_EQ(p.items().size(), 2u);
  EXPECT_EQ(p.items()[0].width, 24 * 5);
  EXPECT_GT(p.items()[1].width, 0);
}

TEST_F(EmfText, GlyphTextWithoutASelectedFontUsesTheSystemFace) {
  EMFParser p("");
  const std::string emf = EmfWriter().GlyphsW(0, 0, {1, 2, 3}, {5, 5, 5}).Finish();
  p.ParseBytes(reinterpret_cast<const uint8_t*>(emf.data()), emf.size());
  EXPECT_EQ(p.face_name(), L"System");
  ASSERT_EQ(p.items().size(), 1u);
  EXPECT_EQ(p.items()[0].width, 15);
}

TEST_F(EmfText, NoTextNoMetafileAndPages) {
  EXPECT_EQ(ParseString(EmfWriter().CreateFont(1, -20, u"Arial").Select(1).Finish()), L"");
  EXPECT_EQ(ParseString("not a metafile at all, just some bytes that are long enough to be read......"), L"");
  EXPECT_EQ(EMFParser("/nonexistent/file.emf").Parse(), L"");
  const std::string page1 = EmfWriter().TextW(0, 10, u"first", {10, 10, 10, 10, 10}).Finish();
  const std::string page2 = EmfWriter().TextW(0, 10, u"second", {10, 10, 10, 10, 10, 10}).Finish();
  const std::string empty = EmfWriter().Finish();
  EXPECT_EQ(ParseString(page1 + empty + page2), L"first\nsecond");
  // The file path form reads the same bytes.
  test::TempDir dir;
  test::WriteFile(dir.Sub("p.emf"), page1 + page2);
  EXPECT_EQ(EMFParser(dir.Sub("p.emf")).Parse(), L"first\nsecond");
}

TEST_F(EmfText, TheSpaceWidthIsMeasuredOnceFromTheFirstTextFont) {
  ResetCharWidthsForTest();
  ParseString(EmfWriter().CreateFont(1, -30, u"DejaVu Sans").Select(1).TextW(0, 0, u"x", {1}).Finish());
  std::vector<int32_t> a;
  capture::FontService::Get()->Advances(L"DejaVu Sans", -30, L"a\x4f60", &a);
  EXPECT_EQ(CharWidths()[0], a[0]);
  EXPECT_EQ(CharWidths()[1], a[1]);
  ParseString(EmfWriter().CreateFont(1, -90, u"DejaVu Sans").Select(1).TextW(0, 0, u"x", {1}).Finish());
  EXPECT_EQ(CharWidths()[0], a[0]);
}

// Every prefix and many corrupted copies of a metafile parse without a
// read outside the input (ASan lane) and without hanging.
TEST_F(EmfText, TruncatedAndCorruptedCopiesAreHarmless) {
  const std::string emf = EmfWriter()
                              .CreateFont(1, -20, u"Arial")
                              .Select(1)
                              .TextW(0, 100, u"Total", {10, 10, 10, 10, 10})
                              .GlyphsW(0, 150, {40, 41, 42})
                              .SmallText(0, 200, "cash", 0x204)
                              .SmallTextW(0, 400, u"ab", 0x100)
                              .Finish();
  const std::wstring full = ParseString(emf);
  for (size_t n = 0; n < emf.size(); ++n) {
    const std::string cut = emf.substr(0, n);
    // Heap copy of exactly n bytes so any overrun is seen.
    std::vector<uint8_t> exact(cut.begin(), cut.end());
    EMFParser p("");
    const std::wstring text = p.ParseBytes(exact.data(), exact.size());
    EXPECT_LE(text.size(), full.size()) << n;
  }
  std::mt19937 rng(7);
  for (int round = 0; round < 2000; ++round) {
    std::vector<uint8_t> bad(emf.begin(), emf.end());
    const int flips = 1 + static_cast<int>(rng() % 8);
    for (int i = 0; i < flips; ++i) bad[88 + rng() % (bad.size() - 88)] = static_cast<uint8_t>(rng());
    EMFParser p("");
    const std::wstring text = p.ParseBytes(bad.data(), bad.size());
    EXPECT_LE(text.size(), bad.size() * 1100);
  }
}

std::vector<std::string> FilesIn(const std::string& dir) {
  std::vector<std::string> out;
  for (const auto& e : std::filesystem::directory_iterator(dir)) out.push_back(e.path().string());
  std::sort(out.begin(), out.end());
  return out;
}

TEST(EmfTestdata, RealMetafilesYieldTheirText) {
  const std::string root = test::SharedTestdataDir();
  if (root.empty()) GTEST_SKIP() << "../shared/testdata is absent";
  // Files whose text is all in 8-bit extended text records, which are not
  // read, give nothing; every other one gives text.
  const std::set<std::string> ansi_only = {"test-166.emf", "test-167.emf", "test-168.emf", "test-177.emf"};
  for (const std::string& f : FilesIn(root + "/emf")) {
    const bool empty = EMFParser(f).Parse().empty();
    EXPECT_EQ(empty, ansi_only.count(std::filesystem::path(f).filename().string()) == 1) << f;
  }
  EXPECT_NE(EMFParser(root + "/emf/test-068.emf").Parse().find(L"LA DISJONCTION EST UNE CODIFICATION"),
            std::wstring::npos);
  // Small text records of both character sizes.
  const std::wstring small = EMFParser(root + "/emf/test-039.emf").Parse();
  EXPECT_NE(small.find(L"Text8 from U_EMRSMALLTEXTOUT"), std::wstring::npos);
  EXPECT_NE(small.find(L"Text16 from U_EMRSMALLTEXTOUT"), std::wstring::npos);
}

TEST(EmfTestdata, CorruptedMetafilesAreHarmless) {
  const std::string root = test::SharedTestdataDir();
  if (root.empty()) GTEST_SKIP() << "../shared/testdata is absent";
  for (const std::string& f : FilesIn(root + "/emf-corrupted")) {
    const std::string bytes = test::ReadFile(f);
    EMFParser a(f), b(f);
    const std::wstring first = a.Parse();
    EXPECT_EQ(first, b.Parse()) << f;  // deterministic: nothing uninitialised read
    EXPECT_LE(first.size(), bytes.size() * 1100) << f;
  }
}

}  // namespace
}  // namespace tillcast
