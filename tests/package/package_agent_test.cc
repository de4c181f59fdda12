// The agent of the unpacked package, run as a shop's user would run it:
// off screen, with a home of its own, the driver's unit watched through a
// stand-in systemctl. It writes nothing into its installation.
#include <gtest/gtest.h>

#include <filesystem>

#include "package_util.h"
#include "support/fake_systemctl.h"
#include "support/subprocess.h"
#include "support/test_support.h"

namespace tillcast {
namespace {

class InstalledAgent : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(test::DebPath().empty()) << "the package was not built (test package.build)";
    ASSERT_TRUE(pkg_.ok());
    for (const char* d : {"home", "run", "spool", "input", "autostart", "services"})
      std::filesystem::create_directories(dir_.Sub(d));
    // A session's runtime folder is private to its user; the agent uses no other.
    std::filesystem::permissions(dir_.Sub("run"), std::filesystem::perms::owner_all);
    fake_.SetUnit("active", "running", 4242);
  }
  // The user's session: only the home folder and the runtime folder are set;
  // every location the build-folder tests point elsewhere is back to its
  // default, but system folders are kept off this machine's own.
  std::map<std::string, std::string> Env() const {
    return {{"HOME", dir_.Sub("home")},
            {"PATH", fake_.PathValue()},
            {"XDG_DATA_HOME", ""},
            {"XDG_CONFIG_HOME", ""},
            {"XDG_STATE_HOME", ""},
            {"XDG_RUNTIME_DIR", dir_.Sub("run")},
            {"TILLCAST_LOG_DIR", ""},
            {"TILLCAST_SERVICE_MANAGER", ""},
            {"TILLCAST_DRIVER_DIR", ""},
            {"TILLCAST_IPC_SOCKET", ""},
            {"TILLCAST_DRIVER_SOCKET", dir_.Sub("run/Sf_WatchSvr")},
            {"TILLCAST_SERVICE_DIR", dir_.Sub("services")},
            {"TILLCAST_SPOOL_DIR", dir_.Sub("spool")},
            {"TILLCAST_CUPS_INBOX", dir_.Sub("cups-inbox")},
            {"TILLCAST_INPUT_DIR", dir_.Sub("input")},
            {"TILLCAST_UINPUT_PATH", dir_.Sub("no-uinput")},
            {"TILLCAST_AUTOSTART_DIR", dir_.Sub("autostart")},
            {"QT_QPA_PLATFORM", "offscreen"}};
  }
  std::string Log() const { return test::ReadFile(dir_.Sub("home/.local/state/Tillcast/logs/tillcast.txt")); }

  test::UnpackedPackage pkg_;
  test::TempDir dir_;
  test::FakeSystemctl fake_;
};

TEST_F(InstalledAgent, RunsWritingOnlyIntoTheUsersFoldersAndOnlyWatchesTheDriversUnit) {
  const std::string installation = pkg_.Path("/usr/lib/tillcast");
  const std::string before = test::Snapshot(pkg_.root());
  // Started through its link on the PATH, as the autostart entry does.
  test::Subprocess agent({pkg_.Path("/usr/bin/tillcast")}, Env(), dir_.Sub("out.txt"));
  ASSERT_TRUE(test::WaitUntil([&] { return test::FileExists(dir_.Sub("run/tillcast.sock")); }, 30000))
      << test::ReadFile(dir_.Sub("out.txt"));
  ASSERT_TRUE(test::WaitUntil(
      [&] {
        return Log().find("[INFO]: driver service SerialFilter64: active (running), pid 4242\r\n") != std::string::npos;
      },
      10000))
      << Log();
  const test::Output quit = test::Run({pkg_.Path("/usr/bin/tillcast-send"), "201"}, Env());
  EXPECT_EQ(quit.code, 0) << quit.err;
  ASSERT_TRUE(agent.Wait(10000));
  EXPECT_EQ(agent.exit_code(), 0) << test::ReadFile(dir_.Sub("out.txt"));

  EXPECT_EQ(test::Snapshot(pkg_.root()), before) << "the installation was written to";
  const std::string log = Log();
  EXPECT_NE(log.find(test::Gbk("日志初始化完成")), std::string::npos) << log;
  EXPECT_NE(log.find("capture driver service: systemd unit tillcast-serialfilter.service"), std::string::npos) << log;
  EXPECT_NE(log.find("updates by the package manager"), std::string::npos) << log;
  EXPECT_TRUE(std::filesystem::is_directory(dir_.Sub("home/.local/share/Tillcast")));
  // The unit is the system's: the agent only asked for its state.
  for (const std::string& call : fake_.Calls()) EXPECT_EQ(call.rfind("systemctl show ", 0), 0u) << call;
  EXPECT_TRUE(std::filesystem::is_empty(dir_.Sub("services")));
}

TEST_F(InstalledAgent, HelpAndVersionAnswerFromTheInstallation) {
  const test::Output version = test::Run({pkg_.Path("/usr/bin/tillcast"), "--version"}, Env());
  EXPECT_EQ(version.code, 0);
  EXPECT_EQ(version.out, std::string("tillcast ") + TILLCAST_VERSION + "\n");
  const test::Output help = test::Run({pkg_.Path("/usr/bin/tillcast"), "--help"}, Env());
  EXPECT_EQ(help.code, 0);
  EXPECT_NE(help.out.find("Usage: tillcast"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(dir_.Sub("home/.local/state")));
}

}  // namespace
}  // namespace tillcast
