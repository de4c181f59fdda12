// The runtime folder (single-instance lock, local endpoint) is used only
// when it is ours alone; a folder someone else made first is refused.
#include <sys/file.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/env.h"
#include "platform/instance_lock.h"
#include "platform/private_file.h"
#include "support/test_support.h"

namespace tillcast::platform {
namespace {

constexpr uid_t kOtherUser = 65534;  // nobody

mode_t ModeOf(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 07777;
}

TEST(RuntimeFolder, APrivateFolderOfOursIsUsed) {
  test::TempDir dir;
  ASSERT_EQ(mkdir(dir.Sub("run").c_str(), 0700), 0);
  test::ScopedEnv runtime("XDG_RUNTIME_DIR", dir.Sub("run"));
  test::ScopedEnv data("XDG_DATA_HOME", dir.Sub("data"));
  EXPECT_EQ(RuntimeFolder(), dir.Sub("run"));
  EXPECT_EQ(RuntimeFolderWarning(), "");
  EXPECT_FALSE(test::FileExists(dir.Sub("data")));
}

// Squatted folders as another local user could leave them before the agent
// starts: each is refused, and a private folder under the data folder used.
TEST(RuntimeFolder, AFolderThatIsNotOursAloneIsRefused) {
  struct Case {
    const char* why;
    std::function<bool(const std::string& path, const test::TempDir& dir)> make;
    const char* said;  // part of the warning
  };
  const std::vector<Case> cases = {
      {"open to everyone",
       [](const std::string& p, const test::TempDir&) {
         return mkdir(p.c_str(), 0700) == 0 && chmod(p.c_str(), 0777) == 0;
       },
       "has mode 777"},
      {"readable by the group",
       [](const std::string& p, const test::TempDir&) {
         return mkdir(p.c_str(), 0700) == 0 && chmod(p.c_str(), 0750) == 0;
       },
       "has mode 750"},
      {"a link to a private folder of ours",
       [](const std::string& p, const test::TempDir& d) {
         return mkdir(d.Sub("target").c_str(), 0700) == 0 && symlink(d.Sub("target").c_str(), p.c_str()) == 0;
       },
       "is a link"},
      {"a file",
       [](const std::string& p, const test::TempDir&) {
         test::WriteFile(p, "x");
         return true;
       },
       "is not a folder"},
  };
  for (const Case& c : cases) {
    test::TempDir dir;
    const std::string squat = dir.Sub("squat");
    ASSERT_TRUE(c.make(squat, dir)) << c.why;
    test::ScopedEnv runtime("XDG_RUNTIME_DIR", squat);
    test::ScopedEnv data("XDG_DATA_HOME", dir.Sub("data"));
    EXPECT_EQ(RuntimeFolder(), dir.Sub("data/Tillcast/run")) << c.why;
    EXPECT_EQ(ModeOf(dir.Sub("data/Tillcast/run")), 0700u) << c.why;
    EXPECT_EQ(ModeOf(dir.Sub("data/Tillcast")), 0700u) << c.why;
    EXPECT_NE(RuntimeFolderWarning().find(squat + " " + c.said), std::string::npos) << RuntimeFolderWarning();
  }
}

// The folder another user made first, holding the lock there: the agent's
// lock is taken in its own folder, so the squatter cannot make it exit.
TEST(RuntimeFolder, AnotherUsersFolderCannotHoldTheInstanceLock) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to make a folder of another user";
  test::TempDir dir;
  const std::string squat = dir.Sub("squat");
  ASSERT_EQ(mkdir(squat.c_str(), 0700), 0);
  const int held = open((squat + "/Tillcast.lock").c_str(), O_RDWR | O_CREAT, 0666);
  ASSERT_GE(held, 0);
  ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
  ASSERT_EQ(chown((squat + "/Tillcast.lock").c_str(), kOtherUser, kOtherUser), 0);
  ASSERT_EQ(chown(squat.c_str(), kOtherUser, kOtherUser), 0);
  test::ScopedEnv runtime("XDG_RUNTIME_DIR", squat);
  test::ScopedEnv data("XDG_DATA_HOME", dir.Sub("data"));

  FlockInstanceLockFactory locks;
  bool exists = true;
  auto lock = locks.Create("Tillcast", &exists);
  EXPECT_NE(lock, nullptr);
  EXPECT_FALSE(exists);
  EXPECT_TRUE(test::FileExists(dir.Sub("data/Tillcast/run/Tillcast.lock")));
  EXPECT_NE(RuntimeFolderWarning().find("belongs to user 65534"), std::string::npos) << RuntimeFolderWarning();
  close(held);
}

TEST(PrivateFile, FoldersAreMadePrivateWhateverTheUmask) {
  test::TempDir dir;
  const mode_t old = umask(0);
  int err = 0;
  const bool made = MakePrivateFolders(dir.Sub("a/b/c"), &err);
  umask(old);
  ASSERT_TRUE(made) << err;
  for (const char* p : {"a", "a/b", "a/b/c"}) EXPECT_EQ(ModeOf(dir.Sub(p)), 0700u) << p;
  // A file where a folder should be.
  test::WriteFile(dir.Sub("plain"), "x");
  EXPECT_FALSE(MakePrivateFolders(dir.Sub("plain/sub"), &err));
}

TEST(PrivateFile, OpenPrivateFileCreates0600AndNeverFollowsALink) {
  test::TempDir dir;
  const mode_t old = umask(0);
  FILE* f = OpenPrivateFile(dir.Sub("log.txt"), true);
  umask(old);
  ASSERT_NE(f, nullptr);
  std::fputs("line\n", f);
  std::fclose(f);
  EXPECT_EQ(ModeOf(dir.Sub("log.txt")), 0600u);
  test::WriteFile(dir.Sub("victim"), "untouched");
  ASSERT_EQ(symlink(dir.Sub("victim").c_str(), dir.Sub("planted").c_str()), 0);
  for (const bool append : {true, false}) {
    EXPECT_EQ(OpenPrivateFile(dir.Sub("planted"), append), nullptr) << append;
    EXPECT_EQ(errno, ELOOP);
  }
  EXPECT_EQ(test::ReadFile(dir.Sub("victim")), "untouched");
}

}  // namespace
}  // namespace tillcast::platform
