// Port discovery over a fake sysfs and /dev, the store logo file, and QR
// bitmaps read back by a real decoder.
#include <cups/cups.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "base/install_layout.h"
#include "base/text_util.h"
#include "print/port_list.h"
#include "print/qr_bitmap.h"
#include "print/store_logo.h"
#include "support/subprocess.h"
#include "support/test_support.h"

namespace tillcast {
namespace {

namespace fs = std::filesystem;
using test::Gbk;

void Touch(const std::string& path, const std::string& content = "") {
  fs::create_directories(fs::path(path).parent_path());
  test::WriteFile(path, content);
}

// A fake machine: two real UARTs and an unfitted 8250 slot, a USB adapter, a
// virtual terminal without device, printer devices, and other /dev entries.
class FakeTree {
 public:
  FakeTree() {
    const std::string tty = dir_.Sub("sys/class/tty");
    Touch(tty + "/ttyS0/device/driver");
    Touch(tty + "/ttyS0/type", "4\n");
    Touch(tty + "/ttyS1/device/driver");
    Touch(tty + "/ttyS1/type", "0\n");
    Touch(tty + "/ttyUSB0/device/x");
    Touch(tty + "/tty1/dev", "4:1\n");
    Touch(tty + "/ptmx/dev");
    Touch(dir_.Sub("dev/lp0"));
    Touch(dir_.Sub("dev/lp1"));
    Touch(dir_.Sub("dev/lpx"));
    Touch(dir_.Sub("dev/usb/lp0"));
    Touch(dir_.Sub("dev/usb/hiddev0"));
    fs::create_directories(dir_.Sub("dev/lp9"));  // a folder, not a device
  }
  std::string sys() const { return dir_.Sub("sys"); }
  std::string dev() const { return dir_.Sub("dev"); }

 private:
  test::TempDir dir_;
};

// Sources where the print server part is fixed, so the test does not depend
// on a CUPS installation.
class TreeSource final : public PortSource {
 public:
  TreeSource(const FakeTree& t, std::optional<std::set<std::string>> printers)
      : system_(t.sys(), t.dev()), printers_(std::move(printers)) {}
  std::optional<std::set<std::string>> SerialPorts() override { return system_.SerialPorts(); }
  std::optional<std::set<std::string>> ParallelPorts() override { return system_.ParallelPorts(); }
  std::optional<std::set<std::string>> Printers() override { return printers_; }

 private:
  SystemPortSource system_;
  std::optional<std::set<std::string>> printers_;
};

TEST(PortDiscovery, FindsDevicesOfEachGroup) {
  FakeTree tree;
  PortList list(std::make_unique<TreeSource>(tree, std::set<std::string>{"Kitchen", "Receipt", "Receipt"}));
  const PortGroups groups = list.Refresh();
  ASSERT_EQ(groups.size(), 3u);
  EXPECT_EQ(groups.at(Gbk("串口")), (std::set<std::string>{tree.dev() + "/ttyS0", tree.dev() + "/ttyUSB0"}));
  EXPECT_EQ(groups.at(Gbk("并口")),
            (std::set<std::string>{tree.dev() + "/lp0", tree.dev() + "/lp1", tree.dev() + "/usb/lp0"}));
  EXPECT_EQ(groups.at(Gbk("驱动")), (std::set<std::string>{"Kitchen", "Receipt"}));
}

TEST(PortDiscovery, AbsentGroupsAreAbsentNotEmpty) {
  FakeTree tree;
  fs::remove_all(tree.dev() + "/lp0");
  fs::remove_all(tree.dev() + "/lp1");
  fs::remove_all(tree.dev() + "/usb");
  PortList list(std::make_unique<TreeSource>(tree, std::nullopt));
  const PortGroups groups = list.Refresh();
  EXPECT_EQ(groups.count(Gbk("并口")), 0u);
  EXPECT_EQ(groups.count(Gbk("驱动")), 0u);
  EXPECT_EQ(groups.count(Gbk("串口")), 1u);

  // Unreadable roots contribute nothing; the call still returns.
  SystemPortSource nowhere("/nonexistent/sys", "/nonexistent/dev");
  EXPECT_FALSE(nowhere.SerialPorts().has_value());
  EXPECT_FALSE(nowhere.ParallelPorts().has_value());
}

TEST(PortDiscovery, NoPrintServerDoesNotHang) {
  // A loopback port that nobody listens on.
  const int port = test::FreeLoopbackPort();
  ASSERT_GT(port, 0);
  test::ScopedEnv server("CUPS_SERVER", "127.0.0.1:" + std::to_string(port));
  cupsSetServer(nullptr);  // forget a server chosen earlier on this thread
  FakeTree tree;
  const auto start = std::chrono::steady_clock::now();
  SystemPortSource source(tree.sys(), tree.dev());
  const auto printers = source.Printers();
  EXPECT_TRUE(!printers || printers->empty());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));  // hang guard
  cupsSetServer(nullptr);
}

TEST(StoreLogo, SavedInTheSkinFolderAndNeverFetchedAgain) {
  test::ScopedLog log;
  const std::string path = StoreLogoPath();
  EXPECT_EQ(path, GetModuleFolder() + "/skin/StoreLogo.png");
  std::remove(path.c_str());
  int downloads = 0;
  auto download = [&downloads] {
    ++downloads;
    return SaveStoreLogo(std::string("\x89PNG\r\n\x1a\n\0binary", 15));
  };
  EXPECT_EQ(EnsureStoreLogo(download), path);
  EXPECT_EQ(test::ReadFile(path), std::string("\x89PNG\r\n\x1a\n\0binary", 15));
  EXPECT_TRUE(log.Contains(Gbk("保存商户logo完成")));
  EXPECT_EQ(EnsureStoreLogo(download), path);
  EXPECT_EQ(downloads, 1);
  std::remove(path.c_str());

  // A failed download leaves the placeholder and is tried again next time.
  EXPECT_EQ(EnsureStoreLogo([] { return false; }), DefaultAvatarPath());
  EXPECT_FALSE(test::FileExists(path));
}

TEST(StoreLogo, AnInstalledAgentKeepsTheLogoInTheUsersDataFolder) {
  test::ScopedLog log;
  test::TempDir dir;
  test::ScopedEnv data("XDG_DATA_HOME", dir.Sub("data"));
  ResetDataFolderForTest();
  SetPerUserInstallationForTest(1);
  const std::string path = StoreLogoPath();
  EXPECT_EQ(path, dir.Sub("data/Tillcast/StoreLogo.png"));
  EXPECT_TRUE(SaveStoreLogo("logo bytes"));
  EXPECT_EQ(test::ReadFile(path), "logo bytes");
  // The logo test beside this one may hold its own file in the skin folder
  // meanwhile; this save must not have written there.
  EXPECT_NE(test::ReadFile(GetModuleFolder() + "/skin/StoreLogo.png"), "logo bytes");
  // The placeholder is still read from the installation.
  EXPECT_EQ(DefaultAvatarPath(), GetModuleFolder() + "/skin/avatar_default.png");
  SetPerUserInstallationForTest(-1);
  ResetDataFolderForTest();
}

// Reads our 1-bit BMP independently and decodes it with zbarimg after adding
// the quiet zone that the paper gives it.
std::string DecodeWithZbar(const std::vector<unsigned char>& bmp, const test::TempDir& dir) {
  auto le = [&bmp](size_t at, int n) {
    uint32_t v = 0;
    for (int i = n - 1; i >= 0; --i) v = v << 8 | bmp[at + static_cast<size_t>(i)];
    return v;
  };
  const uint32_t w = le(18, 4), h = le(22, 4), offset = le(10, 4), stride = ((w + 31) / 32) * 4;
  const uint32_t margin = 40, side = w + 2 * margin;
  std::string pgm = "P5 " + std::to_string(side) + " " + std::to_string(h + 2 * margin) + " 255\n";
  for (uint32_t y = 0; y < h + 2 * margin; ++y) {
    for (uint32_t x = 0; x < side; ++x) {
      unsigned char v = 255;
      if (y >= margin && y < h + margin && x >= margin && x < w + margin) {
        const uint32_t by = h - 1 - (y - margin), bx = x - margin;
        const bool white = (bmp[offset + by * stride + bx / 8] >> (7 - bx % 8)) & 1;
        // Palette index 1 is white.
        v = white ? 255 : 0;
      }
      pgm.push_back(static_cast<char>(v));
    }
  }
  test::WriteFile(dir.Sub("qr.pgm"), pgm);
  const std::string out = dir.Sub("zbar.txt");
  std::remove(out.c_str());
  test::Subprocess p({"/usr/bin/zbarimg", "--nodbus", "--raw", "-q", dir.Sub("qr.pgm")}, {}, out);
  if (!p.Wait(20000)) return "<timeout>";
  // The decoded text is the last line; zbar may complain about D-Bus first.
  std::string text = test::ReadFile(out);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  const size_t nl = text.rfind('\n');
  return nl == std::string::npos ? text : text.substr(nl + 1);
}

TEST(QrBitmap, HeaderLayoutAndSides) {
  struct Case {
    int scale, side;
  };
  for (const Case c : {Case{1, 120}, Case{2, 144}, Case{6, 240}, Case{9, 240}, Case{0, 120}}) {
    std::vector<unsigned char> bmp;
    ASSERT_TRUE(EncodeQrBitmap("abc", c.scale, &bmp));
    const uint32_t stride = ((static_cast<uint32_t>(c.side) + 31) / 32) * 4;
    ASSERT_EQ(bmp.size(), 62 + stride * static_cast<uint32_t>(c.side)) << c.scale;
    EXPECT_EQ(bmp[0], 'B');
    EXPECT_EQ(bmp[10], 62);
    EXPECT_EQ(bmp[18] | bmp[19] << 8, c.side);
    EXPECT_EQ(bmp[28], 1);  // bits per pixel
    EXPECT_EQ(bmp[46], 2);  // colours
    // Black then white.
    EXPECT_EQ(std::vector<unsigned char>(bmp.begin() + 54, bmp.begin() + 62),
              (std::vector<unsigned char>{0, 0, 0, 0, 255, 255, 255, 0}));
  }
  std::vector<unsigned char> tooLong;
  EXPECT_FALSE(EncodeQrBitmap(std::string(4000, 'x'), 1, &tooLong));
}

TEST(QrBitmap, DecodesBackToItsText) {
  if (!test::FileExists("/usr/bin/zbarimg")) GTEST_SKIP() << "zbarimg (zbar-tools) is not installed";
  test::TempDir dir;
  const std::string texts[] = {"https://tillcast.example/r/20240101-0001", "R1234567890", Gbk("小票 12.50")};
  for (const std::string& text : texts) {
    for (int scale : {1, 6}) {
      std::vector<unsigned char> bmp;
      ASSERT_TRUE(EncodeQrBitmap(text, scale, &bmp));
      const std::string decoded = DecodeWithZbar(bmp, dir);
      // zbar converts 8-bit data by its own guess of the encoding, so the
      // Chinese text is only checked by its ASCII part.
      if (static_cast<unsigned char>(text[0]) >= 0x80) {
        EXPECT_NE(decoded.find("12.50"), std::string::npos) << decoded;
      } else {
        EXPECT_EQ(decoded, text) << scale;
      }
    }
  }
  // The file written by MakeQrBitmap is the same image.
  ASSERT_TRUE(MakeQrBitmap("file", dir.Sub("f.bmp"), 3));
  const std::string f = test::ReadFile(dir.Sub("f.bmp"));
  EXPECT_EQ(DecodeWithZbar(std::vector<unsigned char>(f.begin(), f.end()), dir), "file");
  // An unwritable path still counts as done and leaves nothing.
  EXPECT_TRUE(MakeQrBitmap("x", dir.Sub("missing/f.bmp"), 1));
  EXPECT_FALSE(test::FileExists(dir.Sub("missing/f.bmp")));
}

}  // namespace
}  // namespace tillcast
