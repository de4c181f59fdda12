// scripts/soak counts sales by their numbers at the printer and in the
// cloud's uploads: a sale written while capture is stopped by hand must be
// reported lost, and the run must fail.
#include <dirent.h>
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "support/subprocess.h"
#include "support/test_support.h"

namespace tillcast::test {
namespace {

// Pids of the processes carrying the soak run's mark in their environment.
std::vector<int> ProcessesOfRun(const std::string& run) {
  std::vector<int> pids;
  DIR* d = opendir("/proc");
  if (d == nullptr) return pids;
  const std::string mark = "TILLCAST_SOAK_RUN=" + run;
  while (dirent* e = readdir(d)) {
    const int pid = std::atoi(e->d_name);
    if (pid <= 0) continue;
    const std::string env = ReadFile("/proc/" + std::string(e->d_name) + "/environ");
    size_t at = 0;
    while (at < env.size()) {
      const size_t end = env.find('\0', at);
      const std::string item = env.substr(at, end == std::string::npos ? std::string::npos : end - at);
      if (item == mark) pids.push_back(pid);
      if (end == std::string::npos) break;
      at = end + 1;
    }
  }
  closedir(d);
  return pids;
}

TEST(SoakCount, ASaleWrittenWhileCaptureIsStoppedIsReportedLostAndFailsTheRun) {
  TempDir dir;
  const std::string out = dir.Sub("soak.out");
  Subprocess soak({std::string(TILLCAST_SOURCE_DIR) + "/scripts/soak", "1", "--faults", "none", "--plant-loss", "--dir",
                   dir.Sub("run"), "--sample-s", "2"},
                  {{"TILLCAST_BIN", BinDir()}}, out);
  ASSERT_TRUE(soak.Wait(280000)) << "the soak did not end; output:\n" << ReadFile(out);
  const std::string text = ReadFile(out);
  EXPECT_EQ(soak.exit_code(), 1) << text;

  std::smatch m;
  ASSERT_TRUE(std::regex_search(text, m, std::regex("planted loss: (R[0-9]+)"))) << text;
  const std::string planted = m[1];
  // That sale, and only that one, is lost: it reached neither the cloud nor
  // the printer; every other sale was counted printed and uploaded.
  EXPECT_NE(text.find("LOST (not uploaded): " + planted + "\n"), std::string::npos) << text;
  EXPECT_NE(text.find("LOST (not printed): " + planted + "\n"), std::string::npos) << text;
  ASSERT_TRUE(std::regex_search(text, m,
                                std::regex("sales written ([0-9]+) .*: printed ([0-9]+), uploaded ([0-9]+) "
                                           "\\(([0-9]+) byte for byte\\), lost ([0-9]+), duplicated ([0-9]+)")))
      << text;
  const int written = std::stoi(m[1]);
  EXPECT_GE(written, 4) << "too few sales for a minute of a busy shop";
  EXPECT_EQ(std::stoi(m[2]), written - 1);
  EXPECT_EQ(std::stoi(m[3]), written - 1);
  EXPECT_EQ(std::stoi(m[4]), written - 1);
  EXPECT_EQ(std::stoi(m[5]), 1);
  EXPECT_EQ(std::stoi(m[6]), 0);
  ASSERT_TRUE(std::regex_search(text, m, std::regex("jobs pushed ([0-9]+): printed ([0-9]+), lost 0, duplicated 0")))
      << text;
  EXPECT_GE(std::stoi(m[1]), 3);
  EXPECT_EQ(m[1], m[2]);
  EXPECT_NE(text.find("RESULT: FAIL: lost: 1 sales, 0 jobs"), std::string::npos) << text;

  // The whole shop is gone, the port keeper and the agent's own driver too.
  ASSERT_TRUE(std::regex_search(text, m, std::regex("run ([0-9]+-[0-9]+) \\(TILLCAST_SOAK_RUN\\)"))) << text;
  EXPECT_TRUE(ProcessesOfRun(m[1]).empty()) << "processes of the run left behind";
  EXPECT_TRUE(ProcessesMentioning(dir.path()).empty()) << "processes of the run left behind";
}

}  // namespace
}  // namespace tillcast::test
