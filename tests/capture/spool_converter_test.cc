#include "capture/spool_converter.h"

#include <gtest/gtest.h>

#include "capture/emf_parser.h"
#include "emf_writer.h"
#include "support/subprocess.h"
#include "support/test_support.h"

namespace tillcast {
namespace {

using test::EmfWriter;
using test::MakeSpool;

std::vector<SpoolPage> Pages(const std::string& spool, bool* ok) {
  std::vector<SpoolPage> pages;
  *ok = FindSpoolPages(reinterpret_cast<const uint8_t*>(spool.data()), spool.size(), &pages);
  return pages;
}

class SpoolConvert : public ::testing::Test {
 protected:
  void SetUp() override { SetCharWidthsForTest(10, 20); }
  void TearDown() override { ResetCharWidthsForTest(); }
  std::string Page(const char16_t* text) {
    const std::u16string t(text);
    return EmfWriter().TextW(0, 10, t, std::vector<int32_t>(t.size(), 10)).Finish();
  }
  test::TempDir dir_;
};

TEST_F(SpoolConvert, BothRecordLayoutsFindEveryPageInOrder) {
  const std::vector<std::string> pages = {Page(u"one"), Page(u"two"), Page(u"three")};
  for (const bool counted : {false, true}) {
    const std::string spool = MakeSpool(pages, counted);
    bool ok = false;
    const std::vector<SpoolPage> found = Pages(spool, &ok);
    ASSERT_TRUE(ok) << counted;
    ASSERT_EQ(found.size(), 3u);
    for (size_t i = 0; i < 3; ++i) EXPECT_EQ(spool.substr(found[i].offset, found[i].size), pages[i]);

    test::WriteFile(dir_.Sub("job.SPL"), spool);
    ASSERT_TRUE(SpoolFileConverter(dir_.Sub("job.SPL"), dir_.Sub("job.emf")).Convert());
    EXPECT_EQ(EMFParser(dir_.Sub("job.emf")).Parse(), L"one\ntwo\nthree");
  }
}

TEST_F(SpoolConvert, FilesWithoutPagesLeaveTheEmfFileAlone) {
  test::WriteFile(dir_.Sub("job.emf"), "previous");
  const struct {
    const char* name;
    std::string bytes;
  } cases[] = {
      {"header only", MakeSpool({})},
      {"empty", ""},
      {"zip package", std::string("PK\x03\x04", 4) + std::string(100, 'x')},
      {"header larger than the file", MakeSpool({Page(u"x")}).substr(0, 20)},
  };
  for (const auto& c : cases) {
    test::WriteFile(dir_.Sub("job.SPL"), c.bytes);
    EXPECT_FALSE(SpoolFileConverter(dir_.Sub("job.SPL"), dir_.Sub("job.emf")).Convert()) << c.name;
    EXPECT_EQ(test::ReadFile(dir_.Sub("job.emf")), "previous") << c.name;
  }
  EXPECT_FALSE(SpoolFileConverter(dir_.Sub("missing.SPL"), dir_.Sub("job.emf")).Convert());
}

TEST_F(SpoolConvert, TruncatedPagesFailAndEveryPrefixIsHarmless) {
  const std::string spool = MakeSpool({Page(u"one"), Page(u"two")});
  bool ok = true;
  // Cut inside the first page's metafile.
  Pages(spool.substr(0, 24 + 8 + 20), &ok);
  EXPECT_FALSE(ok);
  for (size_t n = 0; n <= spool.size(); ++n) {
    std::vector<uint8_t> exact(spool.begin(), spool.begin() + static_cast<std::ptrdiff_t>(n));
    std::vector<SpoolPage> pages;
    if (FindSpoolPages(exact.data(), exact.size(), &pages)) {
      for (const SpoolPage& p : pages) EXPECT_LE(p.offset + p.size, n);
    }
  }
  // A page record too small to hold its own prefix in the counted layout.
  std::string bad = MakeSpool({Page(u"one")}, true);
  bad += std::string("\x0c\0\0\0\x04\0\0\0", 8);
  Pages(bad, &ok);
  EXPECT_FALSE(ok);
}

TEST(SpoolTestdata, RealSpoolFilesYieldWholePagesAndAllTheirText) {
  const std::string root = test::SharedTestdataDir();
  if (root.empty()) GTEST_SKIP() << "../shared/testdata is absent";
  const struct {
    const char* file;
    size_t pages;
  } cases[] = {{"EMF_SPL-to-EMF_00035.SPL", 1}, {"EMFSpoolfileReader_00005.SPL", 3}};
  for (const auto& c : cases) {
    const std::string spool = test::ReadFile(root + "/spool/" + c.file);
    bool ok = false;
    const std::vector<SpoolPage> pages = Pages(spool, &ok);
    ASSERT_TRUE(ok) << c.file;
    ASSERT_EQ(pages.size(), c.pages) << c.file;
    for (const SpoolPage& p : pages) {
      uint32_t stated = 0;
      ASSERT_TRUE(IsMetafileHeader(reinterpret_cast<const uint8_t*>(spool.data()) + p.offset, p.size, &stated));
      EXPECT_EQ(stated, p.size) << c.file;
    }
  }
  test::TempDir dir;
  ASSERT_TRUE(SpoolFileConverter(root + "/spool/EMF_SPL-to-EMF_00035.SPL", dir.Sub("a.emf")).Convert());
  EXPECT_NE(EMFParser(dir.Sub("a.emf")).Parse().find(L"Hello World"), std::wstring::npos);
  ASSERT_TRUE(SpoolFileConverter(root + "/spool/EMFSpoolfileReader_00005.SPL", dir.Sub("b.emf")).Convert());
  const std::wstring text = EMFParser(dir.Sub("b.emf")).Parse();
  const size_t p1 = text.find(L"Page 1 of 3"), p2 = text.find(L"Page 2 of 3"), p3 = text.find(L"Page 3 of 3");
  ASSERT_NE(p1, std::wstring::npos);
  ASSERT_NE(p2, std::wstring::npos);
  ASSERT_NE(p3, std::wstring::npos);
  EXPECT_LT(p1, p2);
  EXPECT_LT(p2, p3);
  // An XPS package is no EMF spool file: the raw file is what gets kept.
  test::WriteFile(dir.Sub("c.emf"), "untouched");
  EXPECT_FALSE(SpoolFileConverter(root + "/spool/xps-spool.SPL", dir.Sub("c.emf")).Convert());
  EXPECT_EQ(test::ReadFile(dir.Sub("c.emf")), "untouched");
}

TEST(SpoolTestdata, ToolPrintsTheExtractedText) {
  const std::string tool = test::BinDir() + "/tillcast-spool2text";
  test::TempDir dir;
  SetCharWidthsForTest(10, 20);
  const std::u16string t = u"Receipt 42";
  test::WriteFile(dir.Sub("r.SPL"),
                  MakeSpool({EmfWriter().TextW(0, 10, t, std::vector<int32_t>(t.size(), 10)).Finish()}));
  ResetCharWidthsForTest();
  const std::string out = dir.Sub("out.txt");
  // The tool's stdout goes to a file through a shell.
  EXPECT_EQ(test::RunProgram({"/bin/sh", "-c", tool + " " + dir.Sub("r.SPL") + " > " + out}, {}, 20000), 0);
  EXPECT_EQ(test::ReadFile(out), "Receipt 42\n");
  test::WriteFile(dir.Sub("junk"), "neither");
  EXPECT_EQ(test::RunProgram({tool, dir.Sub("junk")}, {}, 20000), 2);
}

TEST(SpoolTool, HelpIsUsageAndAnOptionIsNeverTakenForAFile) {
  const std::string tool = test::BinDir() + "/tillcast-spool2text";
  test::TempDir dir;
  const std::string out = dir.Sub("out.txt");
  EXPECT_EQ(test::RunProgram({"/bin/sh", "-c", tool + " --help > " + out}, {}, 20000), 0);
  EXPECT_NE(test::ReadFile(out).find("usage: tillcast-spool2text FILE"), std::string::npos) << test::ReadFile(out);
  EXPECT_EQ(test::RunProgram({tool, "--frobnicate"}, {}, 20000), 2);
  EXPECT_EQ(test::RunProgram({tool}, {}, 20000), 2);
}

}  // namespace
}  // namespace tillcast
