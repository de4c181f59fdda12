// tillcast-vprinter on a pseudo-terminal: a writer on the linked slave
// prints documents, gets status answers, and SIGTERM closes the open one.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "support/subprocess.h"
#include "support/test_support.h"
#include "vprinter_test_util.h"

namespace vprinter {
namespace {

using test::kFs;
using test::kGs;
using tillcast::test::Gbk;
using tillcast::test::ReadFile;
using tillcast::test::Subprocess;
using tillcast::test::TempDir;
using tillcast::test::WaitUntil;

std::vector<std::string> Transcripts(const std::string& dir) {
  std::vector<std::string> pngs;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(dir, ec)) {
    if (e.path().extension() == ".png") pngs.push_back(e.path().string());
  }
  std::sort(pngs.begin(), pngs.end());
  std::vector<std::string> out;
  for (const auto& p : pngs) out.push_back(ReadFile(p.substr(0, p.size() - 4) + ".txt"));
  return out;
}

bool WriteAll(int fd, const std::string& data) {
  return write(fd, data.data(), data.size()) == static_cast<ssize_t>(data.size());
}

TEST(PtyTest, DocumentsArriveThroughTheLinkedTerminal) {
  TempDir dir;
  const std::string link = dir.Sub("ttyPRN");
  Subprocess p(
      {test::ProgramPath(), "serve", "--out", dir.Sub("out"), "--paper", "58", "--pty", link, "--quiet-ms", "400"}, {},
      dir.Sub("log"));
  // The line comes once the link is in place.
  ASSERT_TRUE(WaitUntil(
      [&] { return ReadFile(dir.Sub("log")).find("listening on pty /dev/pts/") != std::string::npos; }, 10000))
      << ReadFile(dir.Sub("log"));
  ASSERT_EQ(access(link.c_str(), F_OK), 0);

  int fd = open(link.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0);
  // A receipt with a cut, then a status request the printer answers.
  ASSERT_TRUE(WriteAll(fd, kFs + "&" + Gbk("收银小票") + "\n" + kGs + "V" + "\x01" + std::string("\x10\x04\x01", 3)));
  pollfd pfd{fd, POLLIN, 0};
  ASSERT_EQ(poll(&pfd, 1, 10000), 1);
  char status = 0;
  ASSERT_EQ(read(fd, &status, 1), 1);
  EXPECT_EQ(status, '\x16');
  ASSERT_TRUE(WaitUntil([&] { return Transcripts(dir.Sub("out")).size() == 1; }, 10000));
  EXPECT_EQ(Transcripts(dir.Sub("out"))[0], "收银小票\n");

  // The writer goes away and a new one comes: the terminal stays usable.
  close(fd);
  fd = open(link.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0);
  // No cut: the quiet time closes it.
  ASSERT_TRUE(WriteAll(fd, "quiet\n"));
  ASSERT_TRUE(WaitUntil([&] { return Transcripts(dir.Sub("out")).size() == 2; }, 10000));
  EXPECT_EQ(Transcripts(dir.Sub("out"))[1], "quiet\n");

  // Stopping closes the open document and removes the link.
  ASSERT_TRUE(WriteAll(fd, "at stop\n"));
  close(fd);
  usleep(100 * 1000);
  p.Signal(SIGTERM);
  ASSERT_TRUE(p.Wait(10000));
  EXPECT_EQ(p.exit_code(), 0) << ReadFile(dir.Sub("log"));
  const auto docs = Transcripts(dir.Sub("out"));
  ASSERT_EQ(docs.size(), 3u);
  EXPECT_EQ(docs[2], "at stop\n");
  struct stat st {};
  EXPECT_NE(lstat(link.c_str(), &st), 0);
}

TEST(PtyTest, AnExistingFileIsNotReplacedByTheLink) {
  TempDir dir;
  tillcast::test::WriteFile(dir.Sub("keep"), "mine");
  Subprocess p({test::ProgramPath(), "serve", "--out", dir.Sub("out"), "--pty", dir.Sub("keep")}, {}, dir.Sub("log"));
  ASSERT_TRUE(p.Wait(10000));
  EXPECT_EQ(p.exit_code(), 1);
  EXPECT_EQ(ReadFile(dir.Sub("keep")), "mine");
  EXPECT_NE(ReadFile(dir.Sub("log")).find("not a symbolic link"), std::string::npos);
}

}  // namespace
}  // namespace vprinter
