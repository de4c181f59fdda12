#include "platform/process.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "support/test_support.h"

namespace tillcast::platform {
namespace {

bool WaitForFile(const std::string& path, int ms) {
  for (int waited = 0; waited < ms; waited += 20) {
    if (test::FileExists(path)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

TEST(ProcessLauncher, BareNameIsSearchedInTheGivenFoldersInOrder) {
  test::TempDir dir;
  const std::string script = dir.Sub("helper");
  test::WriteFile(script, "#!/bin/sh\necho \"$@\" > \"$(dirname \"$0\")/ran\"\n");
  chmod(script.c_str(), 0755);
  PosixProcessLauncher launcher;
  int err = -1, pid = 0;
  ASSERT_TRUE(launcher.SpawnDetached({"helper", "/a", "b c"}, {dir.Sub("empty"), dir.path()}, &err, &pid));
  EXPECT_EQ(err, 0);
  EXPECT_GT(pid, 0);
  ASSERT_TRUE(WaitForFile(dir.Sub("ran"), 5000));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(test::ReadFile(dir.Sub("ran")), "/a b c\n");
}

TEST(ProcessLauncher, MissingProgramFailsWithoutStarting) {
  test::TempDir dir;
  PosixProcessLauncher launcher;
  int err = 0;
  EXPECT_FALSE(launcher.SpawnDetached({"no-such-updater"}, {dir.path()}, &err));
  EXPECT_EQ(err, ENOENT);
  EXPECT_FALSE(launcher.SpawnDetached({}, {}, &err));
}

TEST(ProcessLauncher, ChildInheritsNoDescriptorsOfOurs) {
  test::TempDir dir;
  // A descriptor opened without close-on-exec, as a library might.
  const std::string marker = dir.Sub("leaky-marker");
  const int leaky = open(marker.c_str(), O_WRONLY | O_CREAT, 0600);
  ASSERT_GE(leaky, 0);
  const std::string script = dir.Sub("fds");
  test::WriteFile(script, "#!/bin/sh\nls -l /proc/$$/fd > \"$(dirname \"$0\")/fds.txt\"\n");
  chmod(script.c_str(), 0755);
  PosixProcessLauncher launcher;
  int err = 0;
  ASSERT_TRUE(launcher.SpawnDetached({script}, {}, &err));
  ASSERT_TRUE(WaitForFile(dir.Sub("fds.txt"), 5000));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  close(leaky);
  const std::string fds = test::ReadFile(dir.Sub("fds.txt"));
  EXPECT_NE(fds.find("/dev/null"), std::string::npos) << fds;
  EXPECT_EQ(fds.find("leaky-marker"), std::string::npos) << fds;
}

}  // namespace
}  // namespace tillcast::platform
