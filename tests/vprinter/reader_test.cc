// The ESC/POS reader: commands survive any split of the input, unknown and
// undrawn commands are skipped by their lengths, characters decode by mode,
// and hostile lengths never make it hold much.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>

#include "escpos_reader.h"
#include "support/test_support.h"
#include "vprinter_test_util.h"

namespace vprinter {
namespace {

using test::kEsc;
using test::kFs;
using test::kGs;
using test::Word;

// Writes every command as text; raster data pieces are joined so that
// different splits compare equal.
class Recorder : public CommandSink {
 public:
  void OnCommand(const Command& c) override {
    std::string data;
    for (size_t i = 0; i < c.size; ++i) {
      char hex[4];
      std::snprintf(hex, sizeof(hex), "%02X", c.data[i]);
      data += hex;
    }
    if (c.op == Op::kRasterData) {
      raster_bytes += c.size;
      if (!log.empty() && last_data) {
        log.back() += data;
        return;
      }
      last_data = true;
    } else {
      last_data = false;
    }
    log.push_back(std::to_string(static_cast<int>(c.op)) + ":" + std::to_string(c.a) + "," + std::to_string(c.b) + "," +
                  std::to_string(c.c) + "," + std::to_string(c.d) + ":" + data);
  }
  // The characters received, as code points.
  std::vector<int> Chars() const {
    std::vector<int> out;
    const std::string prefix = std::to_string(static_cast<int>(Op::kChar)) + ":";
    for (const auto& l : log) {
      if (l.rfind(prefix, 0) == 0) out.push_back(std::stoi(l.substr(prefix.size())));
    }
    return out;
  }
  size_t Count(Op op) const {
    const std::string prefix = std::to_string(static_cast<int>(op)) + ":";
    size_t n = 0;
    for (const auto& l : log) n += l.rfind(prefix, 0) == 0;
    return n;
  }
  std::vector<std::string> log;
  size_t raster_bytes = 0;
  bool last_data = false;
};

struct Result {
  std::vector<std::string> log;
  ReaderStats stats;
  uint64_t consumed = 0;
  size_t max_pending = 0;
};

Result Read(const std::string& bytes, size_t chunk, bool chinese = false) {
  Recorder rec;
  EscPosReader reader(&rec);
  reader.SetChineseDefault(chinese);
  Result r;
  const size_t step = chunk == 0 ? std::max<size_t>(bytes.size(), 1) : chunk;
  for (size_t pos = 0; pos < bytes.size(); pos += step) {
    reader.Feed(reinterpret_cast<const uint8_t*>(bytes.data()) + pos, std::min(step, bytes.size() - pos));
    r.max_pending = std::max(r.max_pending, reader.pending());
  }
  reader.Finish();
  r.log = rec.log;
  r.stats = reader.stats();
  r.consumed = reader.consumed();
  return r;
}

std::string Sample() {
  std::string s = kEsc + "@" + kFs + "&" + tillcast::test::Gbk("中文") + "AB\n";
  s += kEsc + "!" + "\x38" + kGs + "!" + "\x11" + kEsc + "-" + "\x02" + kFs + "-" + "\x01";
  s += kEsc + "$" + Word(200) + kEsc + "\\" + Word(0xFFF0) + kGs + "L" + Word(8) + kGs + "W" + Word(300);
  s += kEsc + "3" + "\x40" + kEsc + "2" + kEsc + "J" + "\x10" + kEsc + "d" + "\x02" + kEsc + "a" + "\x31";
  s += kEsc + "D" + std::string("\x04\x08\x00", 3) + "\tX\n";
  s += test::Raster(0, 2, 3, "\xF0\x0F\xAA\x55\x80\x01");
  s += kEsc + "*" + std::string("\x21\x02\x00", 3) + std::string("\x80\x00\x01\xFF\xFF\xFF", 6);
  s += test::QrCode("hello", 4);
  s += kEsc + "L" + kEsc + "W" + Word(0) + Word(0) + Word(200) + Word(100) + kEsc + "T" + "\x02" + kGs + "$" + Word(20);
  s += "P\x0c" + kGs + "P" + "\xCB\x65" + kGs + "B" + "\x01" + kFs + "S" + "\x02\x03" + kFs + "!" + "\x0C";
  s += kGs + "(L" + Word(4) + "\x30\x45\x0A\x0A";  // not drawn, payload with line feeds
  s += kGs + "V" + "\x42\x10" + kEsc + "i" + kEsc + "m" + kGs + "V" + std::string(1, '\0');
  return s;
}

TEST(ReaderTest, AnySplitOfTheInputGivesTheSameCommands) {
  const std::string bytes = Sample();
  const Result whole = Read(bytes, 0);
  ASSERT_GT(whole.log.size(), 40u);
  EXPECT_EQ(whole.consumed, bytes.size());
  EXPECT_FALSE(whole.stats.truncated);
  EXPECT_EQ(whole.stats.unknown_total, 0u) << whole.stats.Describe();
  for (size_t chunk : {1, 2, 3, 7, 64}) {
    const Result split = Read(bytes, chunk);
    EXPECT_EQ(split.log, whole.log) << "chunk " << chunk;
    EXPECT_EQ(split.consumed, bytes.size());
  }
}

TEST(ReaderTest, UnknownCommandsAreSkippedCountedAndTheTextAfterThemIsIntact) {
  const std::string bytes = "A" + kEsc + "y" + kGs + "y" + kFs + "y" + "\x07" + kEsc + "y" + "B\n";
  Recorder rec;
  EscPosReader reader(&rec);
  reader.Feed(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  EXPECT_EQ(rec.Chars(), (std::vector<int>{'A', 'B'}));
  EXPECT_EQ(rec.Count(Op::kLineFeed), 1u);
  EXPECT_EQ(reader.stats().unknown_total, 5u);
  EXPECT_EQ(reader.stats().Describe(), "5 unknown (ESC y x2, GS y x1, FS y x1, ctrl 0x07 x1)");
}

TEST(ReaderTest, ManyKindsOfUnknownCommandsKeepTheSummaryShort) {
  std::string bytes;
  for (int c = 0x80; c < 0x100; ++c) bytes += kEsc + std::string(1, static_cast<char>(c));
  const Result r = Read(bytes, 0);
  EXPECT_EQ(r.stats.unknown_total, 128u);
  EXPECT_EQ(r.stats.unknown.size(), ReaderStats::kMaxNames);
  EXPECT_NE(r.stats.Describe().find("others x122"), std::string::npos) << r.stats.Describe();
  EXPECT_LT(r.stats.Describe().size(), 200u);
}

TEST(ReaderTest, CommandsWeDoNotDrawAreSkippedWholeWithTheirPayload) {
  struct Case {
    const char* name;
    std::string bytes;
  };
  const std::vector<Case> cases = {
      {"GS ( L", kGs + "(L" + Word(5) + "\x30\x70\x0A\x41\x0A"},
      {"GS 8 L", kGs + "8L" + std::string("\x03\x00\x00\x00", 4) + "\x0A\x0A\x41"},
      {"ESC ( A", kEsc + "(A" + Word(4) + "\x0A\x0A\x41\x42"},
      {"FS ( A", kFs + "(A" + Word(2) + "\x0A\x41"},
      {"GS k A", kGs + "k" + std::string("\x04", 1) + "12AB" + std::string(1, '\0')},
      {"GS k B", kGs + "k" + "\x49\x05" + "\x0A\x41\x0A\x41\x0A"},
      {"FS q",
       kFs + "q" + "\x02" + Word(1) + Word(1) + "\x0A\x0A\x0A\x0A\x0A\x0A\x0A\x0A" + Word(1) + Word(1) + "AAAAAAAA"},
      {"ESC &", kEsc + "&" + "\x03\x41\x42" + "\x01\x0A\x0A\x0A" + "\x02\x41\x0A\x41\x0A\x41\x0A"},
      {"GS *", kGs + "*" + "\x01\x01" + "\x0A\x0A\x0A\x0A\x0A\x0A\x0A\x0A"},
      {"FS g 1", kFs + "g1" + std::string("\x00\x00\x00\x00\x00", 5) + Word(2) + "\x0A\x41"},
      {"FS 2", kFs + "2" + "\xFE\xA1" + std::string(72, '\x0A')},
      {"GS ( k PDF417", kGs + "(k" + Word(4) + "\x30\x50\x30\x0A"},
      {"DLE DC4", std::string("\x10\x14\x01\x00\x05", 5)},
      {"ESC p", kEsc + "p" + std::string("\x00\x0A\x0A", 3)},
      {"GS Q 0", kGs + "Q0" + std::string(1, '\0') + Word(1) + Word(2) + "\x0A\x41"},
  };
  for (const Case& c : cases) {
    const std::string bytes = "X" + c.bytes + "OK\n";
    for (size_t chunk : {0, 1}) {
      Recorder rec;
      EscPosReader reader(&rec);
      for (size_t pos = 0; pos < bytes.size(); pos += chunk == 0 ? bytes.size() : chunk) {
        const size_t n = chunk == 0 ? bytes.size() : 1;
        reader.Feed(reinterpret_cast<const uint8_t*>(bytes.data()) + pos, n);
      }
      EXPECT_EQ(rec.Chars(), (std::vector<int>{'X', 'O', 'K'})) << c.name << " chunk " << chunk;
      EXPECT_EQ(rec.Count(Op::kLineFeed), 1u) << c.name;
      EXPECT_EQ(reader.stats().unknown_total, 0u) << c.name << ": " << reader.stats().Describe();
      EXPECT_EQ(reader.consumed(), bytes.size()) << c.name;
    }
  }
}

TEST(ReaderTest, CharactersDecodeByTheChineseMode) {
  const std::string zhong = tillcast::test::Gbk("中");
  const int kZhong = 0x4E2D;
  // Off: two single-byte characters of code page 437 (0xD6 0xD0).
  Recorder off;
  {
    EscPosReader reader(&off);
    const std::string b = zhong + kFs + "&" + zhong + kFs + "." + zhong + kFs + "&" + kEsc + "@" + zhong;
    reader.Feed(reinterpret_cast<const uint8_t*>(b.data()), b.size());
  }
  EXPECT_EQ(off.Chars(), (std::vector<int>{0x2553, 0x2568, kZhong, 0x2553, 0x2568, 0x2553, 0x2568}));

  // On by default: ESC @ keeps it; a lead byte without a second half is a
  // '?' and the next byte still counts.
  Recorder on;
  {
    EscPosReader reader(&on);
    reader.SetChineseDefault(true);
    const std::string b = zhong + kEsc + "@" + zhong + "\xD6\n" + "\xD6";
    reader.Feed(reinterpret_cast<const uint8_t*>(b.data()), b.size());
    reader.Finish();
    EXPECT_TRUE(reader.stats().truncated);
  }
  EXPECT_EQ(on.Chars(), (std::vector<int>{kZhong, kZhong, '?'}));
  EXPECT_EQ(on.Count(Op::kLineFeed), 1u);
  EXPECT_NE(on.log.front().find(",1,"), std::string::npos) << "double-byte characters are marked wide";

  // ESC t picks the code page: 0xE9 is Θ in 437, é in 1252.
  Recorder pages;
  {
    EscPosReader reader(&pages);
    const std::string b = "\xE9" + kEsc + "t" + "\x10" + "\xE9";
    reader.Feed(reinterpret_cast<const uint8_t*>(b.data()), b.size());
  }
  EXPECT_EQ(pages.Chars(), (std::vector<int>{0x398, 0xE9}));
}

TEST(ReaderTest, StatusRequestsAreAnswered) {
  Recorder rec;
  std::string replies;
  EscPosReader reader(&rec, [&](const uint8_t* d, size_t n) { replies.append(reinterpret_cast<const char*>(d), n); });
  const std::string b = std::string("\x10\x04\x01\x10\x04\x04", 6) + kGs + "r" + "\x01";
  reader.Feed(reinterpret_cast<const uint8_t*>(b.data()), b.size());
  EXPECT_EQ(replies, std::string("\x16\x12\x00", 3));
  EXPECT_TRUE(rec.log.empty());
}

TEST(ReaderTest, HugeRasterStreamsThroughWithoutBeingHeld) {
  Recorder rec;
  EscPosReader reader(&rec);
  const std::string header = test::Raster(0, 0xFFFF, 0xFFFF, "");
  reader.Feed(reinterpret_cast<const uint8_t*>(header.data()), header.size());
  const std::string chunk(65536, '\xFF');
  size_t max_pending = 0;
  for (int i = 0; i < 128; ++i) {  // 8 MB of a 4 GB image
    reader.Feed(reinterpret_cast<const uint8_t*>(chunk.data()), chunk.size());
    max_pending = std::max(max_pending, reader.pending());
  }
  EXPECT_EQ(max_pending, 0u);
  EXPECT_EQ(rec.raster_bytes, 128u * 65536u);
  reader.Finish();
  EXPECT_TRUE(reader.stats().truncated);
  EXPECT_EQ(rec.log.back().rfind(std::to_string(static_cast<int>(Op::kRasterEnd)) + ":0,", 0), 0u) << rec.log.back();

  // A skipped payload of 2 GB streams the same way, and the reader is
  // usable again after Finish.
  Recorder rec2;
  EscPosReader skipper(&rec2);
  const std::string big = kGs + "8L" + std::string("\xFF\xFF\xFF\x7F", 4);
  skipper.Feed(reinterpret_cast<const uint8_t*>(big.data()), big.size());
  for (int i = 0; i < 32; ++i) skipper.Feed(reinterpret_cast<const uint8_t*>(chunk.data()), chunk.size());
  EXPECT_EQ(skipper.pending(), 0u);
  EXPECT_TRUE(rec2.log.empty());
  skipper.Finish();
  skipper.Feed(reinterpret_cast<const uint8_t*>("Z"), 1);
  EXPECT_EQ(rec2.Chars(), std::vector<int>{'Z'});
}

TEST(ReaderTest, RandomBytesReadTheSameInAnyPiecesAndHoldLittle) {
  for (uint32_t seed : {1u, 2u, 3u, 4u, 5u}) {
    std::mt19937 rng(seed);
    std::string bytes(1 << 16, '\0');
    // Plenty of command prefixes to reach the parsers.
    for (auto& b : bytes) {
      const uint32_t r = rng();
      b = static_cast<char>((r & 0x300) == 0 ? "\x1b\x1d\x1c\x10"[r & 3] : static_cast<char>(r >> 16));
    }
    const Result whole = Read(bytes, 0);
    const Result split = Read(bytes, 1 + seed * 97);
    EXPECT_EQ(split.log, whole.log) << "seed " << seed;
    EXPECT_EQ(split.consumed, bytes.size());
    EXPECT_LE(split.max_pending, 65540u);
  }
}

}  // namespace
}  // namespace vprinter
