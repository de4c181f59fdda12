// The tillcast-vprinter program: render, the command line's errors, file,
// pipe and TCP input; pictures checked with zbarimg.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>

#include "png_io.h"
#include "support/subprocess.h"
#include "support/test_support.h"
#include "vprinter_test_util.h"

namespace vprinter {
namespace {

using test::kEsc;
using test::kFs;
using test::kGs;
using tillcast::test::Gbk;
using tillcast::test::ReadFile;
using tillcast::test::Subprocess;
using tillcast::test::TempDir;
using tillcast::test::WaitUntil;
using tillcast::test::WriteFile;

// Text zbarimg finds in a picture; nullopt when zbarimg is missing.
std::optional<std::string> DecodeQr(const std::string& png) {
  if (std::system("command -v zbarimg > /dev/null 2>&1") != 0) return std::nullopt;
  const std::string cmd = "zbarimg -q --raw '" + png + "' 2>/dev/null";
  std::unique_ptr<FILE, int (*)(FILE*)> p(popen(cmd.c_str(), "r"), pclose);
  std::string out;
  char buf[256];
  while (p && std::fgets(buf, sizeof(buf), p.get())) out += buf;
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

std::vector<std::string> Pictures(const std::string& dir) {
  std::vector<std::string> out;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(dir, ec)) {
    if (e.path().extension() == ".png") out.push_back(e.path().string());
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::string Txt(const std::string& png) { return ReadFile(png.substr(0, png.size() - 4) + ".txt"); }

std::string Receipt(const std::string& shop, const std::string& qr) {
  return kEsc + "@" + kFs + "&" + kEsc + "a" + "\x01" + kGs + "!" + "\x11" + Gbk(shop) + "\n" + kGs + "!" +
         std::string(1, '\0') + Gbk("合计: 12.50") + "\n" + test::QrCode(qr, 5) + "\n" + kGs + "V" + "\x42\x10";
}

int RunVprinter(const std::vector<std::string>& args, const std::string& log) {
  std::vector<std::string> argv = {test::ProgramPath()};
  argv.insert(argv.end(), args.begin(), args.end());
  Subprocess p(argv, {}, log);
  if (!p.Wait(20000)) return -1000;
  return p.exit_code();
}

TEST(CliTest, RenderWritesThePictureAndTranscriptAndTheQrDecodes) {
  TempDir dir;
  WriteFile(dir.Sub("in.bin"), Receipt("小店", "https://t.example/r/42") + Receipt("二号", "second"));
  ASSERT_EQ(RunVprinter({"render", dir.Sub("in.bin"), dir.Sub("out.png"), "--paper", "58"}, dir.Sub("log")), 0)
      << ReadFile(dir.Sub("log"));
  EXPECT_EQ(ReadFile(dir.Sub("out.txt")), "小店\n合计: 12.50\n");
  EXPECT_EQ(ReadFile(dir.Sub("out-2.txt")), "二号\n合计: 12.50\n");
  Canvas png;
  std::string error;
  ASSERT_TRUE(ReadPng(dir.Sub("out.png"), &png, &error)) << error;
  EXPECT_EQ(png.width(), kPaper58.paper);
  EXPECT_GT(png.Ink(), 1000);
  const auto qr = DecodeQr(dir.Sub("out.png"));
  if (!qr) GTEST_SKIP() << "zbarimg is not installed";
  EXPECT_EQ(*qr, "https://t.example/r/42");
  EXPECT_EQ(DecodeQr(dir.Sub("out-2.png")).value_or(""), "second");
  EXPECT_NE(ReadFile(dir.Sub("log")).find("1 QR code"), std::string::npos);
}

TEST(CliTest, RenderOfAFileThatPrintsNothingGivesBlankPaper) {
  TempDir dir;
  WriteFile(dir.Sub("in.bin"), kEsc + "@");
  ASSERT_EQ(RunVprinter({"render", dir.Sub("in.bin"), dir.Sub("out.png")}, dir.Sub("log")), 0);
  Canvas png;
  std::string error;
  ASSERT_TRUE(ReadPng(dir.Sub("out.png"), &png, &error)) << error;
  EXPECT_EQ(png.width(), kPaper80.paper);
  EXPECT_EQ(png.Ink(), 0);
  EXPECT_EQ(ReadFile(dir.Sub("out.txt")), "");
}

TEST(CliTest, BadCommandLinesFailWithAMessage) {
  TempDir dir;
  WriteFile(dir.Sub("in.bin"), "x\n");
  struct Case {
    std::vector<std::string> args;
    int code;
    const char* message;
  };
  const std::vector<Case> cases = {
      {{}, 2, "missing command"},
      {{"print"}, 2, "unknown command"},
      {{"render", dir.Sub("in.bin")}, 2, "render needs IN.bin and OUT.png"},
      {{"render", dir.Sub("in.bin"), dir.Sub("o.png"), "--paper", "60"}, 2, "--paper must be 58 or 80"},
      {{"render", dir.Sub("in.bin"), dir.Sub("o.png"), "--paper"}, 2, "--paper needs a value"},
      {{"render", dir.Sub("missing.bin"), dir.Sub("o.png")}, 1, "missing.bin"},
      {{"render", dir.Sub("in.bin"), dir.Sub("no/such/dir/o.png")}, 1, "o.png"},
      {{"serve", "--tcp", "9100"}, 2, "serve needs --out DIR"},
      {{"serve", "--out", dir.Sub("o"), "--tcp", "1", "--input", "-"}, 2, "exactly one of"},
      {{"serve", "--out", dir.Sub("o"), "--tcp", "70000"}, 2, "--tcp needs a port"},
      {{"serve", "--out", dir.Sub("o"), "--input", dir.Sub("nothing")}, 1, "nothing"},
      {{"serve", "--out", dir.Sub("o"), "--tcp", "0", "--bind", "localhost"}, 1, "not an IPv4 address"},
      {{"serve", "--out", dir.Sub("in.bin"), "--input", dir.Sub("in.bin")}, 1, "in.bin"},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    const std::string log = dir.Sub("log" + std::to_string(i));
    EXPECT_EQ(RunVprinter(cases[i].args, log), cases[i].code) << i;
    EXPECT_NE(ReadFile(log).find(cases[i].message), std::string::npos) << i << ": " << ReadFile(log);
  }
  ASSERT_EQ(RunVprinter({"--help"}, dir.Sub("help")), 0);
  const std::string help = ReadFile(dir.Sub("help"));
  for (const char* option : {"render", "serve", "--paper", "--chinese", "--out", "--pty", "--tcp", "--bind", "--input",
                             "--quiet-ms", "--help"}) {
    EXPECT_NE(help.find(option), std::string::npos) << option;
  }
}

TEST(CliTest, ServeFromAFileWritesEveryDocumentAndStopsAtItsEnd) {
  TempDir dir;
  WriteFile(dir.Sub("in.bin"), "one\n" + kGs + "V" + "\x01" + "two\n" + kGs + "V" + "\x01" + "three\n");
  ASSERT_EQ(RunVprinter({"serve", "--out", dir.Sub("out"), "--input", dir.Sub("in.bin")}, dir.Sub("log")), 0)
      << ReadFile(dir.Sub("log"));
  const auto pics = Pictures(dir.Sub("out"));
  ASSERT_EQ(pics.size(), 3u);
  EXPECT_EQ(Txt(pics[0]), "one\n");
  EXPECT_EQ(Txt(pics[2]), "three\n");
  EXPECT_EQ(ReadFile(pics[1].substr(0, pics[1].size() - 4) + ".bin"), "two\n" + kGs + "V" + "\x01");
  EXPECT_NE(ReadFile(dir.Sub("log")).find("stopped after 3 documents"), std::string::npos);
}

TEST(CliTest, ServeFromANamedPipeTakesManyWritersAndStopsOnSigterm) {
  TempDir dir;
  const std::string fifo = dir.Sub("lp");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  Subprocess p({test::ProgramPath(), "serve", "--out", dir.Sub("out"), "--input", fifo, "--quiet-ms", "300"}, {},
               dir.Sub("log"));
  ASSERT_TRUE(WaitUntil([&] { return ReadFile(dir.Sub("log")).find("reading") != std::string::npos; }, 10000));
  for (const char* text : {"first", "second"}) {
    const int fd = open(fifo.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    const std::string doc = std::string(text) + "\n" + kGs + "V" + "\x01";
    ASSERT_EQ(write(fd, doc.data(), doc.size()), static_cast<ssize_t>(doc.size()));
    close(fd);
    ASSERT_TRUE(WaitUntil(
        [&] {
          return Txt(Pictures(dir.Sub("out")).empty() ? "x.png" : Pictures(dir.Sub("out")).back()) ==
                 std::string(text) + "\n";
        },
        10000))
        << text;
  }
  // An unfinished document is closed on SIGTERM.
  const int fd = open(fifo.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, "last\n", 5), 5);
  close(fd);
  usleep(100 * 1000);
  p.Signal(SIGTERM);
  ASSERT_TRUE(p.Wait(10000));
  EXPECT_EQ(p.exit_code(), 0) << ReadFile(dir.Sub("log"));
  const auto pics = Pictures(dir.Sub("out"));
  ASSERT_EQ(pics.size(), 3u) << ReadFile(dir.Sub("log"));
  EXPECT_EQ(Txt(pics[2]), "last\n");
}

TEST(CliTest, ServeFromABlockingStandardInputKeepsQuietTimeAndSignals) {
  TempDir dir;
  const std::string fifo = dir.Sub("in");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // The shell opens the pipe as a plain (blocking) standard input.
  Subprocess p({"/bin/sh", "-c", "exec \"$0\" serve --out \"$1\" --input - --quiet-ms 300 < \"$2\"",
                test::ProgramPath(), dir.Sub("out"), fifo},
               {}, dir.Sub("log"));
  const int fd = open(fifo.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, "abc\n", 4), 4);
  // The writer stays: the document ends by quiet time, not by end of input.
  EXPECT_TRUE(WaitUntil([&] { return Pictures(dir.Sub("out")).size() == 1; }, 10000)) << ReadFile(dir.Sub("log"));
  p.Signal(SIGTERM);
  const bool ended = p.Wait(10000);
  close(fd);
  ASSERT_TRUE(ended) << "SIGTERM was not seen while standard input stayed open";
  EXPECT_EQ(p.exit_code(), 0) << ReadFile(dir.Sub("log"));
}

TEST(CliTest, ServeOnTcpReceivesDocumentsAndAnswersStatus) {
  TempDir dir;
  Subprocess p({test::ProgramPath(), "serve", "--out", dir.Sub("out"), "--tcp", "0"}, {}, dir.Sub("log"));
  int port = 0;
  ASSERT_TRUE(WaitUntil(
      [&] {
        const std::string log = ReadFile(dir.Sub("log"));
        const size_t at = log.find("listening on tcp 127.0.0.1:");
        if (at == std::string::npos || log.find('\n', at) == std::string::npos) return false;
        port = std::atoi(log.c_str() + at + 27);
        return true;
      },
      10000));
  ASSERT_GT(port, 0);
  // A cut document, then a status request on the same connection.
  tillcast::platform::ScopedFd s = tillcast::test::ConnectLoopback(port, 0);
  ASSERT_TRUE(s.valid());
  const std::string doc = Receipt("网络", "tcp-qr") + std::string("\x10\x04\x01", 3);
  ASSERT_EQ(send(s.get(), doc.data(), doc.size(), 0), static_cast<ssize_t>(doc.size()));
  pollfd pfd{s.get(), POLLIN, 0};
  ASSERT_EQ(poll(&pfd, 1, 10000), 1);
  char status = 0;
  ASSERT_EQ(recv(s.get(), &status, 1, 0), 1);
  EXPECT_EQ(status, '\x16');
  s.reset();
  // A document without a cut ends with its connection.
  s = tillcast::test::ConnectLoopback(port, 0);
  ASSERT_TRUE(s.valid());
  ASSERT_EQ(send(s.get(), "no cut\n", 7, 0), 7);
  s.reset();
  ASSERT_TRUE(WaitUntil([&] { return Pictures(dir.Sub("out")).size() == 2; }, 10000)) << ReadFile(dir.Sub("log"));
  const auto pics = Pictures(dir.Sub("out"));
  EXPECT_EQ(Txt(pics[0]), "网络\n合计: 12.50\n");
  EXPECT_EQ(Txt(pics[1]), "no cut\n");
  if (auto qr = DecodeQr(pics[0])) {
    EXPECT_EQ(*qr, "tcp-qr");
  }
  p.Signal(SIGINT);
  ASSERT_TRUE(p.Wait(10000));
  EXPECT_EQ(p.exit_code(), 0);
}

}  // namespace
}  // namespace vprinter
