// The printer SDK against a pseudo-terminal standing in for a serial
// printer: the exact bytes of raw jobs, text, cuts and pictures, and the line
// settings of each serial option.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <mutex>

#include "base/printer_settings.h"
#include "print/print_hooks.h"
#include "print/qr_bitmap.h"
#include "print/receipt_printer.h"
#include "print_test_util.h"
#include "support/subprocess.h"

namespace tillcast {
namespace {

using test::Bytes;
using test::Gbk;
using test::Hex;

class SdkPtyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty_.ok());
    ASSERT_TRUE(BindPrinterSdkFrom(test::BinDir() + "/" + kPrinterSdkLibrary));
    DataMgr::GetInstance().ResetForTest();
    test::ConfigurePort("串口", pty_.slave());
    // The byte-exact tests see no status request.
    PrinterSettings quiet;
    quiet.statusTimeoutMs = 0;
    SetPrinterSettings(quiet);
  }
  void TearDown() override {
    UnbindPrinterSdkForTest();
    DataMgr::GetInstance().ResetForTest();
    SetPrinterSettings(PrinterSettings());
  }
  // Opens the configured port through the agent, runs `body` on the SDK and
  // closes; returns what the printer received.
  template <typename F>
  std::string Session(F body) {
    PrinterLink link;
    EXPECT_TRUE(OpenPort(link));
    if (link.handle == POS_INVALID_HANDLE) return {};
    body(PrinterSdk(), link);
    ClosePort(link);
    return pty_.Drain();
  }
  test::Pty pty_;
  test::ScopedLog log_;
};

TEST_F(SdkPtyTest, RawJobArrivesByteForByte) {
  std::vector<unsigned char> job;
  for (int i = 0; i < 4096; ++i) job.push_back(static_cast<unsigned char>(i * 7));
  PrinterLink link;
  ASSERT_TRUE(PrintRaw(link, job));
  EXPECT_EQ(pty_.Drain(), std::string(job.begin(), job.end()));
}

TEST_F(SdkPtyTest, CloudJobG0APrintsEscAt) {
  InstallPrintHooks();
  DataMgr::GetInstance().ProcessPrintJob(R"({"format":"escpos","data":"G0A=","job_id":"a1"})");
  EXPECT_EQ(Hex(pty_.Drain()), "1B 40");
  EXPECT_TRUE(log_.Contains(Gbk("打印完成,job_id:a1")));

  DataMgr::GetInstance().SetConfig("ClosePrint", "true");
  DataMgr::GetInstance().ProcessPrintJob(R"({"format":"escpos","data":"G0A=","job_id":"a2"})");
  EXPECT_EQ(pty_.Drain(300), "");
  EXPECT_TRUE(log_.Contains(Gbk("收到屏蔽的打印信息")));
}

// A serial printer on the master side that answers the real-time status
// request while `answering` is set, and keeps everything else it receives.
class StatusPrinter {
 public:
  explicit StatusPrinter(int master) : master_(master), thread_([this] { Run(); }) {}
  ~StatusPrinter() {
    stop_ = true;
    thread_.join();
  }
  std::atomic<bool> answering{true};
  std::string Received() {
    std::lock_guard<std::mutex> l(lock_);
    return received_;
  }

 private:
  void Run() {
    std::string pending;
    while (!stop_) {
      pollfd p{master_, POLLIN, 0};
      if (poll(&p, 1, 20) <= 0) continue;
      char buf[4096];
      const ssize_t n = read(master_, buf, sizeof buf);
      if (n <= 0) continue;
      {
        std::lock_guard<std::mutex> l(lock_);
        received_.append(buf, static_cast<size_t>(n));
      }
      pending.append(buf, static_cast<size_t>(n));
      for (size_t at; (at = pending.find("\x10\x04\x01")) != std::string::npos;) {
        pending.erase(0, at + 3);
        const char online = 0x16;
        if (answering && write(master_, &online, 1) != 1) break;
      }
      if (pending.size() > 2) pending.erase(0, pending.size() - 2);
    }
  }
  int master_;
  std::atomic<bool> stop_{false};
  std::mutex lock_;
  std::string received_;
  std::thread thread_;
};

TEST_F(SdkPtyTest, SerialPrinterIsAskedForItsStatusBeforeACloudJob) {
  PrinterSettings settings;
  settings.statusTimeoutMs = 300;
  SetPrinterSettings(settings);
  InstallPrintHooks();
  StatusPrinter printer(pty_.master_fd());
  DataMgr& data = DataMgr::GetInstance();
  const std::string job = R"({"format":"escpos","data":"G0A=","job_id":"s1"})";

  HeldPrintJob held;
  EXPECT_TRUE(data.ProcessPrintJob(job, &held));
  EXPECT_TRUE(test::WaitUntil(
      [&] {
        return printer.Received() == test::Bytes({0x10, 0x04, 0x01, 0x1B, 0x40});
      },
      2000))
      << Hex(printer.Received());

  // Switched off: the port still opens, but nothing answers, and nothing
  // but the question is written.
  printer.answering = false;
  const size_t before = printer.Received().size();
  RawPrintTry once;
  once.openAttempts = 1;
  EXPECT_FALSE(data.ProcessPrintJob(R"({"format":"escpos","data":"QUJD","job_id":"s2"})", &held, once));
  EXPECT_EQ(held.jobId, "s2");
  EXPECT_EQ(held.bytes, (std::vector<unsigned char>{'A', 'B', 'C'}));
  EXPECT_TRUE(log_.Contains("printer on " + pty_.slave() + " does not answer its status request within 300 ms"));
  EXPECT_FALSE(log_.Contains(Gbk("打印失败,job_id:s2")));
  EXPECT_FALSE(data.RetryHeldJob(held, once));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(Hex(printer.Received().substr(before)), "10 04 01 10 04 01");

  // Back on: the held job prints.
  printer.answering = true;
  EXPECT_TRUE(data.RetryHeldJob(held, once));
  EXPECT_TRUE(test::WaitUntil([&] { return printer.Received().size() == before + 12; }, 2000));
  EXPECT_EQ(printer.Received().substr(before + 6), test::Bytes({0x10, 0x04, 0x01, 'A', 'B', 'C'}));
  EXPECT_TRUE(log_.Contains(Gbk("打印完成,job_id:s2")));
}

TEST_F(SdkPtyTest, TextAttributesAndLayoutCommands) {
  struct Case {
    const char* name;
    std::function<void(const PosSdkTable&)> call;
    std::string bytes;
  };
  // Every text call sets position, size, font, bold and both underlines;
  // the first one also switches the Chinese mode on.
  const std::string chinese = Bytes({0x1C, 0x26});
  const Case cases[] = {
      {"plain", [](const PosSdkTable& s) { s.POS_S_TextOut("AB", 0, 1, 1, 0, 0); },
       Bytes({0x1B, 0x24, 0, 0, 0x1D, 0x21, 0x00, 0x1B, 0x4D, 0, 0x1B, 0x45, 0, 0x1B, 0x2D, 0, 0x1C, 0x2D, 0}) + chinese + "AB"},
      {"bold at x=300", [](const PosSdkTable& s) { s.POS_S_TextOut("A", 300, 1, 1, 0, 8); },
       Bytes({0x1B, 0x24, 0x2C, 0x01, 0x1D, 0x21, 0x00, 0x1B, 0x4D, 0, 0x1B, 0x45, 1, 0x1B, 0x2D, 0, 0x1C, 0x2D, 0}) + chinese + "A"},
      {"double size, font B, underline", [](const PosSdkTable& s) { s.POS_S_TextOut("A", 0, 2, 2, 1, 128); },
       Bytes({0x1B, 0x24, 0, 0, 0x1D, 0x21, 0x11, 0x1B, 0x4D, 1, 0x1B, 0x45, 0, 0x1B, 0x2D, 1, 0x1C, 0x2D, 1}) + chinese + "A"},
      {"width 3 height 1, double underline, Chinese text", [&](const PosSdkTable& s) { s.POS_S_TextOut(Gbk("中").c_str(), 0, 3, 1, 0, 256); },
       Bytes({0x1B, 0x24, 0, 0, 0x1D, 0x21, 0x20, 0x1B, 0x4D, 0, 0x1B, 0x45, 0, 0x1B, 0x2D, 2, 0x1C, 0x2D, 2}) + chinese + Gbk("中")},
      {"size clamps to 8", [](const PosSdkTable& s) { s.POS_S_TextOut("A", -5, 99, 0, 7, 0); },
       Bytes({0x1B, 0x24, 0, 0, 0x1D, 0x21, 0x70, 0x1B, 0x4D, 0, 0x1B, 0x45, 0, 0x1B, 0x2D, 0, 0x1C, 0x2D, 0}) + chinese + "A"},
      {"empty text sends nothing", [](const PosSdkTable& s) { s.POS_S_TextOut("", 10, 1, 1, 0, 0); }, ""},
      {"full cut", [](const PosSdkTable& s) { s.POS_CutPaper(0, 0); }, Bytes({0x1D, 0x56, 0})},
      {"partial cut", [](const PosSdkTable& s) { s.POS_CutPaper(1, 0); }, Bytes({0x1D, 0x56, 1})},
      {"feed and cut", [](const PosSdkTable& s) { s.POS_CutPaper(0, 40); }, Bytes({0x1D, 0x56, 65, 40})},
      {"line spacing", [](const PosSdkTable& s) { s.POS_SetLineSpacing(24); }, Bytes({0x1B, 0x33, 24})},
      {"right spacing", [](const PosSdkTable& s) { s.POS_SetRightSpacing(0); }, Bytes({0x1B, 0x20, 0})},
      {"motion unit", [](const PosSdkTable& s) { s.POS_SetMotionUnit(180, 180); }, Bytes({0x1D, 0x50, 180, 180})},
      {"standard mode", [](const PosSdkTable& s) { s.POS_SetMode(0); }, Bytes({0x1B, 0x53})},
      {"page mode print and clear", [](const PosSdkTable& s) { s.POS_SetMode(1); s.POS_PL_Clear(); s.POS_PL_Print(); s.POS_PL_Clear(); },
       Bytes({0x1B, 0x4C, 0x18, 0x0C})},  // FF: print and back to standard mode
      {"page print in standard mode is silent", [](const PosSdkTable& s) { s.POS_PL_Print(); s.POS_PL_Clear(); }, ""},
      {"feed and reset", [](const PosSdkTable& s) { s.POS_FeedLine(); s.POS_Reset(); }, Bytes({0x0A, 0x1B, 0x40})},
      {"code page", [](const PosSdkTable& s) { s.POS_SetCharSetAndCodePage(15, 0); }, Bytes({0x1B, 0x52, 15, 0x1B, 0x74, 0})},
      {"drawer", [](const PosSdkTable& s) { s.POS_KickOutDrawer(0, 25, 250); }, Bytes({0x1B, 0x70, 0, 25, 250})},
      {"barcode", [](const PosSdkTable& s) { s.POS_S_SetBarcode("123", 8, 8, 3, 60, 0, 2, 3); },
       Bytes({0x1B, 0x24, 8, 0, 0x1D, 0x68, 60, 0x1D, 0x77, 3, 0x1D, 0x66, 0, 0x1D, 0x48, 2, 0x1D, 0x6B, 73, 5}) + "{B123"},
      {"CODE128 with its own code set keeps it",
       [](const PosSdkTable& s) { s.POS_S_SetBarcode("{C1234", 0, 8, 3, 60, 0, 2, 6); },
       Bytes({0x1B, 0x24, 0, 0, 0x1D, 0x68, 60, 0x1D, 0x77, 3, 0x1D, 0x66, 0, 0x1D, 0x48, 2, 0x1D, 0x6B, 73, 6}) + "{C1234"},
      {"EAN13 gets no code set",
       [](const PosSdkTable& s) { s.POS_S_SetBarcode("4006381333931", 0, 2, 3, 60, 0, 2, 13); },
       Bytes({0x1B, 0x24, 0, 0, 0x1D, 0x68, 60, 0x1D, 0x77, 3, 0x1D, 0x66, 0, 0x1D, 0x48, 2, 0x1D, 0x6B, 67, 13}) +
           "4006381333931"},
      {"refused barcode keeps the pending line",
       [](const PosSdkTable& s) {
         s.POS_S_TextOut("A", 0, 1, 1, 0, 0);
         s.POS_S_SetBarcode("1", 0, 9, 2, 50, 0, 0, 1);  // type 9: refused, nothing sent
         s.POS_S_SetBarcode("123", 8, 8, 3, 60, 0, 2, 3);
       },
       Bytes({0x1B, 0x24, 0, 0, 0x1D, 0x21, 0x00, 0x1B, 0x4D, 0, 0x1B, 0x45, 0, 0x1B, 0x2D, 0, 0x1C, 0x2D, 0}) + chinese + "A" +
           Bytes({0x0A, 0x1B, 0x24, 8, 0, 0x1D, 0x68, 60, 0x1D, 0x77, 3, 0x1D, 0x66, 0, 0x1D, 0x48, 2, 0x1D, 0x6B, 73, 5}) + "{B123"},
  };
  for (const Case& c : cases) {
    const std::string got = Session([&](const PosSdkTable& s, PrinterLink&) { c.call(s); });
    EXPECT_EQ(Hex(got), Hex(c.bytes)) << c.name;
  }
}

TEST_F(SdkPtyTest, ChineseModeIsSentOncePerPort) {
  const std::string got = Session([](const PosSdkTable& s, PrinterLink&) {
    s.POS_S_TextOut("A", 0, 1, 1, 0, 0);
    s.POS_S_TextOut("B", 0, 1, 1, 0, 0);
  });
  size_t count = 0;
  for (size_t pos = 0; (pos = got.find("\x1C\x26", pos)) != std::string::npos; ++pos) ++count;
  EXPECT_EQ(count, 1u);
}

// A BMP of `bpp` bits per pixel; pixels[y][x] true = black, y = 0 at the top.
std::string MakeBmp(int bpp, const std::vector<std::vector<bool>>& pixels) {
  const int h = static_cast<int>(pixels.size()), w = static_cast<int>(pixels[0].size());
  const int paletteEntries = bpp <= 8 ? (1 << bpp) : 0;
  const int stride = ((w * bpp + 31) / 32) * 4;
  const int offset = 14 + 40 + 4 * paletteEntries;
  std::string f(static_cast<size_t>(offset + stride * h), '\0');
  auto put = [&f](int at, uint32_t v, int n) {
    for (int i = 0; i < n; ++i) f[static_cast<size_t>(at + i)] = static_cast<char>(v >> (8 * i));
  };
  f[0] = 'B';
  f[1] = 'M';
  put(2, static_cast<uint32_t>(f.size()), 4);
  put(10, static_cast<uint32_t>(offset), 4);
  put(14, 40, 4);
  put(18, static_cast<uint32_t>(w), 4);
  put(22, static_cast<uint32_t>(h), 4);
  put(26, 1, 2);
  put(28, static_cast<uint32_t>(bpp), 2);
  put(34, static_cast<uint32_t>(stride * h), 4);
  put(46, static_cast<uint32_t>(paletteEntries), 4);
  // Palette: index 0 white, the last index black, grey between.
  for (int i = 0; i < paletteEntries; ++i) {
    const uint32_t v = i == paletteEntries - 1 ? 0 : 255;
    put(54 + 4 * i, v | v << 8 | v << 16, 4);
  }
  for (int y = 0; y < h; ++y) {
    const int row = offset + (h - 1 - y) * stride;  // bottom-up
    for (int x = 0; x < w; ++x) {
      const bool black = pixels[static_cast<size_t>(y)][static_cast<size_t>(x)];
      if (bpp >= 24) {
        const uint32_t v = black ? 0 : 255;
        put(row + x * (bpp / 8), v | v << 8 | v << 16 | (bpp == 32 ? 0xFFu << 24 : 0), bpp / 8);
      } else {
        const uint32_t index = black ? static_cast<uint32_t>(paletteEntries - 1) : 0;
        const int bit = x * bpp;
        f[static_cast<size_t>(row + bit / 8)] |= static_cast<char>(index << (8 - bpp - bit % 8));
      }
    }
  }
  return f;
}

TEST_F(SdkPtyTest, PicturesOfEveryDepthPrintAsTheSameRaster) {
  // 10 x 2: the top row has its first and last pixel black, the bottom row
  // is all black.
  std::vector<std::vector<bool>> pixels = {std::vector<bool>(10, false), std::vector<bool>(10, true)};
  pixels[0][0] = pixels[0][9] = true;
  // Printed 3 dots from the left: two bytes per row.
  const std::string raster = Bytes({0x1D, 0x76, 0x30, 0, 2, 0, 2, 0, 0x10, 0x08, 0x1F, 0xF8});
  test::TempDir dir;
  for (int bpp : {1, 4, 8, 24, 32}) {
    const std::string path = dir.Sub("p" + std::to_string(bpp) + ".bmp");
    test::WriteFile(path, MakeBmp(bpp, pixels));
    const std::string got = Session([&](const PosSdkTable& s, PrinterLink&) {
      EXPECT_EQ(s.POS_S_DownloadAndPrintBmp(path.c_str(), 3, 0), POS_SUCCESS) << bpp;
    });
    EXPECT_EQ(Hex(got), Hex(raster)) << bpp << " bits";
  }
  // Text waiting in the line buffer is printed before the picture.
  const std::string path = dir.Sub("p1.bmp");
  const std::string got = Session([&](const PosSdkTable& s, PrinterLink&) {
    s.POS_S_TextOut("A", 0, 1, 1, 0, 0);
    s.POS_S_DownloadAndPrintBmp(path.c_str(), 3, 0);
  });
  EXPECT_EQ(got.substr(got.size() - raster.size() - 1), "\n" + raster);
  // Not a picture: nothing is sent.
  test::WriteFile(dir.Sub("bad.bmp"), "BM not really");
  EXPECT_EQ(Session([&](const PosSdkTable& s, PrinterLink&) {
              EXPECT_EQ(s.POS_S_DownloadAndPrintBmp(dir.Sub("bad.bmp").c_str(), 0, 0), POS_FAIL);
              EXPECT_EQ(s.POS_S_DownloadAndPrintBmp(dir.Sub("missing.bmp").c_str(), 0, 0), POS_FAIL);
            }),
            "");
}

TEST_F(SdkPtyTest, LineSettingsOfEachSerialOption) {
  struct Case {
    std::string baud, data, stop, parity, flow;
    speed_t speed;
    bool twoStop, odd, rtscts, xon;
  };
  const Case cases[] = {
      {"9600", "8", "1", "无", "无", B9600, false, false, false, false},
      {"115200", "7", "2", "偶", "硬件", B115200, true, false, true, false},
      {"2400", "8", "1", "奇", "XON/OFF", B2400, false, true, false, true},
      {"19200", "7", "1", "无", "无", B19200, false, false, false, false},
      {"57600", "8", "2", "奇", "无", B57600, true, true, false, false},
  };
  for (const Case& c : cases) {
    test::ConfigurePort("串口", pty_.slave(), c.baud, c.data, c.stop, c.parity, c.flow);
    PrinterLink link;
    ASSERT_TRUE(OpenPort(link)) << c.baud;
    const termios t = pty_.SlaveSettings();
    const std::string what = c.baud + "/" + c.data + "/" + c.stop + "/" + c.flow;
    EXPECT_EQ(cfgetospeed(&t), c.speed) << what;
    // A pseudo-terminal always reads back CS8 without PARENB; those two
    // are covered by the termios table test of the SDK.
    EXPECT_EQ((t.c_cflag & CSTOPB) != 0, c.twoStop) << what;
    EXPECT_EQ((t.c_cflag & PARODD) != 0, c.odd) << what;
    EXPECT_EQ((t.c_cflag & CRTSCTS) != 0, c.rtscts) << what;
    EXPECT_EQ((t.c_iflag & IXON) != 0, c.xon) << what;
    EXPECT_EQ((t.c_oflag & OPOST), 0u) << "raw output " << what;
    ClosePort(link);
  }
  // A rate the line cannot take fails the open.
  test::ConfigurePort("串口", pty_.slave(), "12345");
  PrinterLink link;
  EXPECT_FALSE(OpenPort(link));
  EXPECT_TRUE(log_.Contains(Gbk("打开端口错误：GetLastError:22")));
}

TEST_F(SdkPtyTest, RenderedReceiptBytes) {
  const std::string tpl = R"J({"format":"json","rules":{"no":"单号:(\\d+)"},"rows":[
    {"line-space":1,"cols":[{"content-type":"txt","content":"No.no[1]","bold":1}]}]})J";
  test::TempDir dir;
  ASSERT_TRUE(RenderReceiptIn(Gbk("单号:42\n"), tpl, dir.path()));
  const std::string expected =
      Bytes({0x1D, 0x50, 180,  180, 0x1B, 0x53, 0x1B, 0x33, 24,   0x1B, 0x24, 0,    0, 0x1D, 0x21,
             0,    0x1B, 0x4D, 0,   0x1B, 0x45, 1,    0x1B, 0x2D, 0,    0x1C, 0x2D, 0, 0x1C, 0x26}) +
      "No.42" + Bytes({0x0A, 0x0A, 0x0A, 0x1D, 0x56, 0});
  EXPECT_EQ(Hex(pty_.Drain()), Hex(expected));
}

TEST_F(SdkPtyTest, QrReceiptPrintsARasterOfTheBitmapSide) {
  const std::string tpl =
      R"({"format":"json","rows":[{"cols":[{"content-type":"2d-code","content":"R123","scale":2,"align":"center"}]}]})";
  test::TempDir dir;
  ASSERT_TRUE(RenderReceiptIn("", tpl, dir.path()));
  const std::string got = pty_.Drain();
  // 144 pixels placed at x = (384 - 144) / 2 = 120: (120 + 144) / 8 = 33 bytes a row.
  const std::string header = Bytes({0x1D, 0x76, 0x30, 0, 33, 0, 144, 0});
  const size_t at = got.find(header);
  ASSERT_NE(at, std::string::npos) << Hex(got.substr(0, 64));
  // Then the row's feed, the two closing feeds and the cut.
  EXPECT_EQ(Hex(got.substr(at + header.size() + 33 * 144)), "0A 0A 0A 1D 56 00");
}

}  // namespace
}  // namespace tillcast
