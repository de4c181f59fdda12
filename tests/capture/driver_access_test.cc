// Who may use the capture driver: its control socket serves root, the
// driver's own user and the members of the socket's group; the till's ports
// carry the group and mode of real serial ports.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <memory>

#include "capture/driver_device.h"
#include "capture/driver_protocol.h"
#include "config.h"
#include "support/subprocess.h"
#include "support/test_support.h"

namespace tillcast {
namespace {

// Groups no account of a test machine has.
constexpr gid_t kShopGroup = 47301;
constexpr gid_t kOtherGroup = 47302;
constexpr gid_t kPortGroup = 47303;
constexpr uid_t kNobody = 65534;

class DriverAccess : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user and group";
    socket_ = dir_.Sub("run/sf.sock");
    // Reachable by every user, as /run/tillcast is.
    mkdir(dir_.Sub("run").c_str(), 0755);
    chmod(dir_.path().c_str(), 0755);
  }
  void Start(const std::string& extra) {
    test::WriteFile(dir_.Sub("sf.conf"), "socket " + socket_ + "\nserial 1 " + dir_.Sub("run/COM1") + "\nparallel 1 " +
                                             dir_.Sub("run/LPT1") + "\n" + extra);
    daemon_ = std::make_unique<test::Subprocess>(
        std::vector<std::string>{test::BinDir() + "/SerialFilter64", "-c", dir_.Sub("sf.conf")},
        std::map<std::string, std::string>{}, dir_.Sub("sf.log"));
    ASSERT_TRUE(
        test::WaitUntil([&] { return test::FileExists(socket_) && test::FileExists(dir_.Sub("run/LPT1")); }, 10000))
        << test::ReadFile(dir_.Sub("sf.log"));
  }
  // Runs one control call as user `uid` with primary group `gid` and the
  // supplementary groups `groups`, in a child process; true when the driver
  // answered it.
  bool CallAs(uid_t uid, gid_t gid, const std::vector<gid_t>& groups) {
    const pid_t pid = fork();
    if (pid == 0) {
      if (setgroups(groups.size(), groups.data()) != 0 || setgid(gid) != 0 || setuid(uid) != 0) _exit(3);
      capture::UnixSocketDriverDevice dev(socket_, 3000);
      uint32_t err = 0;
      size_t returned = 0;
      const bool ok = dev.Open(&err) && dev.Control(driver::kIoctlAppExit, nullptr, 0, -1, nullptr, 0, &returned, &err);
      _exit(ok ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_NE(WEXITSTATUS(status), 3) << "could not change user";
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }
  static struct stat Stat(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
    return st;
  }

  test::TempDir dir_;
  std::string socket_;
  std::unique_ptr<test::Subprocess> daemon_;
};

TEST_F(DriverAccess, ControlSocketBelongsToItsGroupWithMode0660) {
  Start("socket_group " + std::to_string(kShopGroup) + "\n");
  const struct stat st = Stat(socket_);
  EXPECT_EQ(st.st_gid, kShopGroup);
  EXPECT_EQ(st.st_mode & 07777, 0660u);
}

TEST_F(DriverAccess, PeersOfTheSocketGroupAreServedOthersAreRefused) {
  // Everyone may connect at the file level, so the driver's own check is
  // what tells them apart.
  Start("socket_group " + std::to_string(kShopGroup) + "\nsocket_mode 0666\n");
  EXPECT_TRUE(CallAs(0, 0, {}));                                         // root
  EXPECT_TRUE(CallAs(kNobody, kOtherGroup, {kOtherGroup, kShopGroup}));  // a member
  EXPECT_TRUE(CallAs(kNobody, kShopGroup, {}));                          // the group as primary group
  EXPECT_FALSE(CallAs(kNobody, kOtherGroup, {kOtherGroup}));             // not a member
  EXPECT_FALSE(CallAs(kNobody, kNobody, {}));
  // The driver is still there for the next one.
  EXPECT_TRUE(CallAs(kNobody, kOtherGroup, {kShopGroup}));
}

TEST_F(DriverAccess, WithoutAGroupOnlyRootAndTheDriversUserAreServed) {
  Start("socket_group -\nsocket_mode 0666\n");
  EXPECT_TRUE(CallAs(0, 0, {}));
  EXPECT_FALSE(CallAs(kNobody, kShopGroup, {kShopGroup}));
}

TEST_F(DriverAccess, AGroupThatDoesNotExistIsReportedAndServesNobodyElse) {
  Start("socket_group tillcast-no-such-group\nsocket_mode 0666\n");
  EXPECT_TRUE(CallAs(0, 0, {}));
  EXPECT_FALSE(CallAs(kNobody, kShopGroup, {kShopGroup}));
  EXPECT_NE(test::ReadFile(dir_.Sub("sf.log")).find("group tillcast-no-such-group not found"), std::string::npos);
}

TEST_F(DriverAccess, TillPortsTakeTheConfiguredGroupAndMode) {
  Start("port_group " + std::to_string(kPortGroup) + "\nport_mode 0660\n");
  char target[PATH_MAX] = {};
  ASSERT_GT(readlink(dir_.Sub("run/COM1").c_str(), target, sizeof(target) - 1), 0);
  const struct stat serial = Stat(target);
  EXPECT_TRUE(S_ISCHR(serial.st_mode));
  EXPECT_EQ(serial.st_gid, kPortGroup);
  EXPECT_EQ(serial.st_mode & 07777, 0660u);
  const struct stat parallel = Stat(dir_.Sub("run/LPT1"));
  EXPECT_TRUE(S_ISFIFO(parallel.st_mode));
  EXPECT_EQ(parallel.st_gid, kPortGroup);
  EXPECT_EQ(parallel.st_mode & 07777, 0660u);
}

TEST_F(DriverAccess, ATillUserOfThePortGroupWritesToBothPorts) {
  Start("port_group " + std::to_string(kPortGroup) + "\n");
  const auto write_as = [&](gid_t group, const std::string& path) {
    const pid_t pid = fork();
    if (pid == 0) {
      const gid_t groups[] = {group};
      if (setgroups(1, groups) != 0 || setgid(group) != 0 || setuid(kNobody) != 0) _exit(3);
      const int fd = open(path.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK);
      if (fd < 0) _exit(1);
      _exit(write(fd, "x", 1) == 1 ? 0 : 2);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  };
  EXPECT_EQ(write_as(kPortGroup, dir_.Sub("run/COM1")), 0);
  EXPECT_EQ(write_as(kPortGroup, dir_.Sub("run/LPT1")), 0);
  EXPECT_EQ(write_as(kOtherGroup, dir_.Sub("run/COM1")), 1);
  EXPECT_EQ(write_as(kOtherGroup, dir_.Sub("run/LPT1")), 1);
}

TEST(DriverAccessConfig, GroupsAndModesHaveShopDefaultsAndCanBeChanged) {
  serialfilter::DriverConfig c = serialfilter::DefaultConfig();
  EXPECT_EQ(c.socket_group, "tillcast");
  EXPECT_EQ(c.socket_mode, 0660u);
  EXPECT_EQ(c.port_group, "dialout");
  EXPECT_EQ(c.port_mode, 0660u);
  std::string error;
  ASSERT_TRUE(serialfilter::ParseConfig("socket_group shop\nport_group -\nport_mode 0600\n", &c, &error)) << error;
  EXPECT_EQ(c.socket_group, "shop");
  EXPECT_EQ(c.port_group, "-");
  EXPECT_EQ(c.port_mode, 0600u);
  for (const char* bad : {"port_mode 0888\n", "port_mode\n", "socket_group\n", "port_group\n"})
    EXPECT_FALSE(serialfilter::ParseConfig(bad, &c, &error)) << bad;
}

TEST(DriverAccessConfig, GroupsResolveByNameOrNumber) {
  unsigned gid = 0;
  EXPECT_TRUE(serialfilter::ResolveGroup("4242", &gid));
  EXPECT_EQ(gid, 4242u);
  EXPECT_TRUE(serialfilter::ResolveGroup("root", &gid));
  EXPECT_EQ(gid, 0u);
  EXPECT_FALSE(serialfilter::ResolveGroup("-", &gid));
  EXPECT_FALSE(serialfilter::ResolveGroup("", &gid));
  EXPECT_FALSE(serialfilter::ResolveGroup("tillcast-no-such-group", &gid));
}

}  // namespace
}  // namespace tillcast
