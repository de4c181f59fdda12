// Documents out of a stream: cuts, quiet time, raw bytes, per-document
// counts, hostile streams, and the files written for each document.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "output.h"
#include "png_io.h"
#include "support/test_support.h"
#include "vprinter_test_util.h"

namespace vprinter {
namespace {

using test::kEsc;
using test::kGs;
using test::RenderAll;

TEST(SessionTest, CutSplitsDocumentsAndTheirRawBytes) {
  const std::string first = kEsc + "@" + "first\n" + kEsc + "y" + kGs + "V" + std::string(1, '\0');
  const std::string second = "second\n" + kGs + "V" + "\x42\x05";
  const std::string tail = kEsc + "@";  // after the last cut: prints nothing
  for (size_t chunk : {0, 1, 5}) {
    const auto docs = RenderAll(first + second + tail, kPaper58, chunk);
    ASSERT_EQ(docs.size(), 2u) << "chunk " << chunk;
    EXPECT_EQ(docs[0].printout.transcript, "first\n");
    EXPECT_EQ(docs[1].printout.transcript, "second\n");
    EXPECT_EQ(docs[0].raw, first);
    EXPECT_EQ(docs[1].raw, second);
    EXPECT_EQ(docs[0].reader.unknown_total, 1u);
    EXPECT_EQ(docs[1].reader.unknown_total, 0u);
    EXPECT_EQ(docs[0].Summary(), "13 bytes, 1 text line, 0 images, 0 QR codes, 30 dots long; 1 unknown (ESC y x1)");
  }
}

TEST(SessionTest, BlankCutsAreNoDocumentsAndTheirBytesGoWithTheNext) {
  const std::string bytes = kEsc + "@" + kGs + "V" + "\x01" + kEsc + "i" + "text\n" + kEsc + "m";
  const auto docs = RenderAll(bytes);
  ASSERT_EQ(docs.size(), 1u);
  EXPECT_EQ(docs[0].raw, bytes);
  EXPECT_EQ(docs[0].printout.transcript, "text\n");
}

TEST(SessionTest, TextWithoutAFinalLineFeedIsPrinted) {
  const auto docs = RenderAll("abc");
  ASSERT_EQ(docs.size(), 1u);
  EXPECT_EQ(docs[0].printout.transcript, "abc\n");
  // ... and a cut after such text ends a document too.
  const auto cut = RenderAll("abc" + kGs + "V" + "\x01" + "def");
  ASSERT_EQ(cut.size(), 2u);
  EXPECT_EQ(cut[0].printout.transcript, "abc\n");
  EXPECT_EQ(cut[1].printout.transcript, "def\n");
}

TEST(SessionTest, QuietTimeClosesADocumentWithoutCut) {
  std::vector<Document> docs;
  Session::Options options;
  options.quiet_ms = 2000;
  Session session(test::Glyphs(), options, [&](Document&& d) { docs.push_back(std::move(d)); });
  EXPECT_EQ(session.NextDeadline(), -1);
  const std::string a = "abc\n";
  session.Feed(reinterpret_cast<const uint8_t*>(a.data()), a.size(), 1000);
  session.Feed(reinterpret_cast<const uint8_t*>(a.data()), a.size(), 1500);
  EXPECT_EQ(session.NextDeadline(), 3500);
  session.Tick(3499);
  EXPECT_TRUE(docs.empty());
  session.Tick(3500);
  ASSERT_EQ(docs.size(), 1u);
  EXPECT_EQ(docs[0].printout.transcript, "abc\nabc\n");
  EXPECT_EQ(docs[0].raw, a + a);
  EXPECT_EQ(session.NextDeadline(), -1);

  // Only status queries and settings: nothing to keep after the quiet time.
  const std::string query = std::string("\x10\x04\x01", 3) + kEsc + "@";
  session.Feed(reinterpret_cast<const uint8_t*>(query.data()), query.size(), 5000);
  session.Tick(7000);
  EXPECT_EQ(docs.size(), 1u);
  EXPECT_EQ(session.NextDeadline(), -1);
  // A command cut off by the quiet time is dropped, and counted.
  const std::string half = "x\n" + kGs + "v0";
  session.Feed(reinterpret_cast<const uint8_t*>(half.data()), half.size(), 8000);
  session.Tick(10000);
  ASSERT_EQ(docs.size(), 2u);
  EXPECT_TRUE(docs[1].reader.truncated);
  EXPECT_EQ(docs[1].raw, half);
}

TEST(SessionTest, RawBytesAreCappedPerDocument) {
  std::vector<Document> docs;
  Session::Options options;
  options.max_raw = 8;
  Session session(test::Glyphs(), options, [&](Document&& d) { docs.push_back(std::move(d)); });
  const std::string bytes =
      "0123456789\n" + kGs + "V" + std::string(1, '\0') + "ab\n" + kGs + "V" + std::string(1, '\0');
  session.Feed(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), 0);
  ASSERT_EQ(docs.size(), 2u);
  EXPECT_EQ(docs[0].raw, "01234567");
  EXPECT_EQ(docs[0].raw_size, 14u);
  EXPECT_TRUE(docs[0].raw_truncated);
  EXPECT_NE(docs[0].Summary().find("raw bytes cut to 8"), std::string::npos);
  EXPECT_EQ(docs[1].raw, "ab\n" + kGs + "V" + std::string(1, '\0'));
  EXPECT_FALSE(docs[1].raw_truncated);
}

TEST(SessionTest, RandomBytesEndCleanlyWithBoundedDocuments) {
  std::mt19937 rng(42);
  std::string bytes(1 << 20, '\0');
  for (auto& b : bytes) {
    const uint32_t r = rng();
    b = static_cast<char>((r & 0x700) == 0 ? "\x1b\x1d\x1c\x0a"[r & 3] : static_cast<char>(r >> 16));
  }
  const auto docs = RenderAll(bytes, kPaper80, 4093);
  uint64_t raw = 0;
  for (const Document& d : docs) {
    EXPECT_LE(d.printout.picture.height(), kMaxPaperDots);
    EXPECT_EQ(d.printout.picture.width(), kPaper80.printable);
    EXPECT_LE(d.printout.transcript.size(), 4u << 20);
    raw += d.raw_size;
  }
  EXPECT_GE(docs.size(), 1u);
  EXPECT_LE(raw, bytes.size());
}

TEST(OutputTest, DocumentsAreNumberedAfterThoseThereAndReadBack) {
  tillcast::test::TempDir dir;
  tillcast::test::WriteFile(dir.Sub("0007-20240101-000000.png"), "old");
  tillcast::test::WriteFile(dir.Sub("notes.txt"), "not ours");
  OutputFolder out;
  std::string error;
  ASSERT_TRUE(out.Open(dir.Sub("docs/../"), kPaper58, &error)) << error;
  const auto docs = RenderAll(test::Raster(0, 1, 2, "\x81\x18") + "Hi\n" + kGs + "V" + "\x01");
  ASSERT_EQ(docs.size(), 1u);
  std::string base;
  ASSERT_TRUE(out.Write(docs[0], &base, &error)) << error;
  const std::string name = std::filesystem::path(base).filename().string();
  EXPECT_EQ(name.substr(0, 5), "0008-");
  EXPECT_EQ(name.size(), 20u);
  EXPECT_EQ(tillcast::test::ReadFile(base + ".txt"), "Hi\n");
  EXPECT_EQ(tillcast::test::ReadFile(base + ".bin"), docs[0].raw);
  EXPECT_FALSE(tillcast::test::FileExists(base + ".png.tmp"));

  Canvas png;
  ASSERT_TRUE(ReadPng(base + ".png", &png, &error)) << error;
  const Margins m = PaperMargins(kPaper58);
  EXPECT_EQ(png.width(), kPaper58.paper);
  EXPECT_EQ(png.height(), docs[0].printout.picture.height() + m.top + m.bottom);
  EXPECT_EQ(png.Ink(), docs[0].printout.picture.Ink());
  EXPECT_TRUE(png.At(m.left, m.top));
  EXPECT_TRUE(png.At(m.left + 7, m.top));
  EXPECT_TRUE(png.At(m.left + 3, m.top + 1));
  EXPECT_FALSE(png.At(m.left + 1, m.top));

  // A folder that cannot be made is an error, not a crash.
  EXPECT_FALSE(out.Open(dir.Sub("0007-20240101-000000.png/sub"), kPaper58, &error));
  EXPECT_FALSE(error.empty());
}

}  // namespace
}  // namespace vprinter
