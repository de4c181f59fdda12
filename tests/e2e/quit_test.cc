// Orderly shutdown of the agent: over its local endpoint (201) and on
// SIGTERM, with exit code 0 and nothing it started left running.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdio>
#include <filesystem>
#include <set>

#include "shop.h"

namespace tillcast::test {
namespace {

// Every process whose parent chain leads to `root`.
std::set<int> Descendants(int root) {
  std::map<int, int> parent;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator("/proc", ec)) {
    const std::string name = e.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    const std::string stat = ReadFile("/proc/" + name + "/stat");
    const size_t close = stat.rfind(')');
    if (close == std::string::npos) continue;
    char state = 0;
    int ppid = 0;
    if (std::sscanf(stat.c_str() + close + 1, " %c %d", &state, &ppid) == 2) parent[std::stoi(name)] = ppid;
  }
  std::set<int> out;
  bool grew = true;
  while (grew) {
    grew = false;
    for (const auto& [pid, ppid] : parent)
      if ((ppid == root || out.count(ppid) != 0) && out.insert(pid).second) grew = true;
  }
  return out;
}

bool Alive(int pid) {
  const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
  const size_t close = stat.rfind(')');
  return close != std::string::npos && stat.size() > close + 2 && stat[close + 2] != 'Z';
}

enum class How { kIpc, kSigterm };

class QuitTest : public ::testing::TestWithParam<How> {};

TEST_P(QuitTest, OrderlyExitAndNoOrphans) {
  Shop shop;
  ASSERT_TRUE(shop.StartReady());
  const std::set<int> children = Descendants(shop.agent()->pid());

  if (GetParam() == How::kIpc) {
    ASSERT_EQ(RunProgram({BinDir() + "/tillcast-send", "201"}, shop.AgentEnv(), 5000), 0);
  } else {
    shop.agent()->Signal(SIGTERM);
  }
  // Orderly means within 5 s, even with the job loop sitting in its pop.
  ASSERT_TRUE(shop.agent()->Wait(5000)) << "the agent still runs 5 s after being told to quit";
  EXPECT_EQ(shop.agent()->exit_code(), 0);
  for (const int pid : children) EXPECT_FALSE(Alive(pid)) << "process " << pid << " outlived the agent";
  EXPECT_FALSE(std::filesystem::exists(shop.IpcSocket())) << "local endpoint left behind";
}

INSTANTIATE_TEST_SUITE_P(E2E, QuitTest, ::testing::Values(How::kIpc, How::kSigterm),
                         [](const ::testing::TestParamInfo<How>& p) {
                           return p.param == How::kIpc ? "Ipc201" : "Sigterm";
                         });

}  // namespace
}  // namespace tillcast::test
