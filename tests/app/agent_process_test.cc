// The agent as a real process: single instance, the uninstall run, and the
// ways it is told to quit.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "support/subprocess.h"
#include "support/test_support.h"

namespace tillcast {
namespace {

// Long enough for the shutdown (the network thread gets up to 4 s) on a
// loaded 2-core machine.
constexpr int kShutdownBoundMs = 8000;

class AgentProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* d : {"data", "config", "run", "logs", "logs2", "services", "autostart", "driver"})
      mkdir(dir_.Sub(d).c_str(), 0700);
  }
  std::map<std::string, std::string> Env(const std::string& logs = "logs") {
    return {{"XDG_DATA_HOME", dir_.Sub("data")},
            {"XDG_CONFIG_HOME", dir_.Sub("config")},
            {"XDG_RUNTIME_DIR", dir_.Sub("run")},
            {"TILLCAST_LOG_DIR", dir_.Sub(logs)},
            {"TILLCAST_SERVICE_DIR", dir_.Sub("services")},
            {"TILLCAST_AUTOSTART_DIR", dir_.Sub("autostart")},
            {"TILLCAST_DRIVER_DIR", dir_.Sub("driver")},
            {"QT_QPA_PLATFORM", "offscreen"}};
  }
  std::string Agent() const { return test::BinDir() + "/tillcast"; }
  std::string Socket() const { return dir_.Sub("run/tillcast.sock"); }
  std::string LogText(const std::string& logs = "logs") const {
    return test::ReadFile(dir_.Sub(logs + "/tillcast.txt"));
  }
  bool WaitReady() {
    return test::WaitUntil([&] { return test::FileExists(Socket()); }, 20000);
  }
  test::TempDir dir_;
};

TEST_F(AgentProcessTest, QuitCommandOverTheLocalEndpointEndsWithZero) {
  test::Subprocess agent({Agent()}, Env(), dir_.Sub("out.txt"));
  ASSERT_TRUE(WaitReady()) << test::ReadFile(dir_.Sub("out.txt"));
  EXPECT_NE(LogText().find(test::Gbk("日志初始化完成")), std::string::npos);
  EXPECT_EQ(test::RunProgram({test::BinDir() + "/tillcast-send", "201"}, Env(), 10000), 0);
  ASSERT_TRUE(agent.Wait(kShutdownBoundMs));
  EXPECT_EQ(agent.exit_code(), 0) << test::ReadFile(dir_.Sub("out.txt"));
  EXPECT_FALSE(test::FileExists(Socket()));
  // Nobody is listening any more.
  EXPECT_EQ(test::RunProgram({test::BinDir() + "/tillcast-send", "201"}, Env(), 10000), 1);
}

TEST_F(AgentProcessTest, TerminateAndInterruptSignalsEndWithZero) {
  for (int sig : {SIGTERM, SIGINT}) {
    test::Subprocess agent({Agent()}, Env(), dir_.Sub("out.txt"));
    ASSERT_TRUE(WaitReady());
    agent.Signal(sig);
    ASSERT_TRUE(agent.Wait(kShutdownBoundMs)) << sig;
    EXPECT_EQ(agent.exit_code(), 0) << sig;
  }
}

TEST_F(AgentProcessTest, SecondInstanceExitsWithMinusOneAndWritesNoLogLine) {
  test::Subprocess first({Agent()}, Env(), dir_.Sub("out.txt"));
  ASSERT_TRUE(WaitReady());
  EXPECT_EQ(test::RunProgram({Agent()}, Env("logs2"), 20000), 255);  // -1 as an exit status
  EXPECT_FALSE(test::FileExists(dir_.Sub("logs2/tillcast.txt")));
  EXPECT_FALSE(test::FileExists(dir_.Sub("logs2/.txt")));
  first.Signal(SIGTERM);
  ASSERT_TRUE(first.Wait(kShutdownBoundMs));
  EXPECT_EQ(first.exit_code(), 0);
}

TEST_F(AgentProcessTest, HelpAndVersionPrintAndExitWithoutTakingTheInstanceOrStartingAnything) {
  // Alone, an informing run starts no driver service and writes no log.
  EXPECT_EQ(test::RunProgram({Agent(), "--help"}, Env(), 20000), 0);
  std::unique_ptr<DIR, int (*)(DIR*)> services(opendir(dir_.Sub("services").c_str()), closedir);
  ASSERT_TRUE(services);
  int entries = 0;
  while (dirent* e = readdir(services.get())) entries += e->d_name[0] != '.';
  EXPECT_EQ(entries, 0);
  EXPECT_FALSE(test::FileExists(dir_.Sub("logs/tillcast.txt")));
  // A running agent holds the instance: an informing run still answers.
  test::Subprocess first({Agent()}, Env(), dir_.Sub("out.txt"));
  ASSERT_TRUE(WaitReady());
  for (const char* arg : {"--version", "--help"}) {
    const std::string out_file = dir_.Sub(std::string("info") + arg + ".txt");
    test::Subprocess info({Agent(), arg}, Env("logs2"), out_file);
    ASSERT_TRUE(info.Wait(20000)) << arg;
    EXPECT_EQ(info.exit_code(), 0) << arg;
    const std::string out = test::ReadFile(out_file);
    if (std::string(arg) == "--version")
      EXPECT_EQ(out, "tillcast 1.1.4.26\n");
    else
      EXPECT_EQ(out.rfind("Usage: tillcast", 0), 0u) << out;
  }
  EXPECT_FALSE(test::FileExists(dir_.Sub("logs2/tillcast.txt")));
  first.Signal(SIGTERM);
  ASSERT_TRUE(first.Wait(kShutdownBoundMs));
  EXPECT_EQ(first.exit_code(), 0);
}

// Another local user made the runtime folder first (as /tmp/tillcast-<uid>
// can be) and holds the lock in it: the agent still starts, in a private
// folder of its own, and answers there.
TEST_F(AgentProcessTest, ASquattedRuntimeFolderNeitherStopsTheAgentNorTakesItsEndpoint) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to make a folder of another user";
  const std::string squat = dir_.Sub("squat");
  ASSERT_EQ(mkdir(squat.c_str(), 0700), 0);
  ASSERT_EQ(chmod(squat.c_str(), 0777), 0);
  const int held = open((squat + "/Tillcast.lock").c_str(), O_RDWR | O_CREAT, 0666);
  ASSERT_GE(held, 0);
  ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
  ASSERT_EQ(chown(squat.c_str(), 65534, 65534), 0);
  auto env = Env();
  env["XDG_RUNTIME_DIR"] = squat;
  const std::string own = dir_.Sub("data/Tillcast/run");

  test::Subprocess agent({Agent()}, env, dir_.Sub("out.txt"));
  ASSERT_TRUE(test::WaitUntil([&] { return test::FileExists(own + "/tillcast.sock"); }, 20000))
      << test::ReadFile(dir_.Sub("out.txt")) << LogText();
  EXPECT_FALSE(test::FileExists(squat + "/tillcast.sock"));
  EXPECT_NE(LogText().find("[WARNING]: runtime folder " + squat + " belongs to user 65534"), std::string::npos)
      << LogText();
  // A second start finds the lock in the agent's own folder.
  EXPECT_EQ(test::RunProgram({Agent()}, env, 20000), 255);
  // tillcast-send finds the endpoint the same way.
  EXPECT_EQ(test::RunProgram({test::BinDir() + "/tillcast-send", "201"}, env, 10000), 0);
  ASSERT_TRUE(agent.Wait(kShutdownBoundMs));
  EXPECT_EQ(agent.exit_code(), 0);
  close(held);
}

// Whatever the umask it is started with, the first run leaves nothing
// another user could read: the data folder and the folders the agent makes
// are 0700, the log and every file it writes 0600.
TEST_F(AgentProcessTest, FirstStartLeavesOnlyPrivateFoldersAndFiles) {
  const mode_t old = umask(0);
  test::Subprocess agent({Agent()}, Env(), dir_.Sub("out.txt"));
  umask(old);
  ASSERT_TRUE(WaitReady()) << test::ReadFile(dir_.Sub("out.txt"));
  EXPECT_EQ(test::RunProgram({test::BinDir() + "/tillcast-send", "201"}, Env(), 10000), 0);
  ASSERT_TRUE(agent.Wait(kShutdownBoundMs));

  struct stat st {};
  ASSERT_EQ(stat(dir_.Sub("data/Tillcast").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  ASSERT_EQ(stat(dir_.Sub("logs/tillcast.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  size_t entries = 0;
  for (const auto& e : std::filesystem::recursive_directory_iterator(dir_.Sub("data/Tillcast"))) {
    ASSERT_EQ(lstat(e.path().c_str(), &st), 0);
    const bool folder = S_ISDIR(st.st_mode);
    EXPECT_EQ(st.st_mode & 0777, folder ? 0700u : 0600u) << e.path();
    ++entries;
  }
  EXPECT_GT(entries, 0u);  // the outbox folders at least
}

TEST_F(AgentProcessTest, UninstallAloneRemovesTheDriverServiceAndStartsNothing) {
  test::WriteFile(dir_.Sub("services/SerialFilter64.service"),
                  "name=SerialFilter64\ntype=1\nstart_type=3\nimage=/x\npid=0\n");
  EXPECT_EQ(test::RunProgram({Agent(), "UNINSTALL"}, Env(), 20000), 0);
  EXPECT_FALSE(test::FileExists(dir_.Sub("services/SerialFilter64.service")));
  EXPECT_FALSE(test::FileExists(dir_.Sub("logs/tillcast.txt")));
  EXPECT_FALSE(test::FileExists(Socket()));
  // Nothing to remove: the failure is logged (before the log is set up, so
  // under the empty name) and the run still exits with 0.
  EXPECT_EQ(test::RunProgram({Agent(), "uninstall"}, Env(), 20000), 0);
  EXPECT_NE(test::ReadFile(dir_.Sub("logs/.txt")).find("[ERROR]: RemoveDriverService: OpenService failed! error: 1060"),
            std::string::npos);
}

TEST_F(AgentProcessTest, UninstallWithAnotherArgumentIsANormalRun) {
  test::WriteFile(dir_.Sub("services/SerialFilter64.service"),
                  "name=SerialFilter64\ntype=1\nstart_type=3\nimage=/x\npid=0\n");
  test::Subprocess agent({Agent(), "uninstall", "extra"}, Env(), dir_.Sub("out.txt"));
  ASSERT_TRUE(WaitReady());
  EXPECT_TRUE(test::FileExists(dir_.Sub("services/SerialFilter64.service")));
  agent.Signal(SIGTERM);
  ASSERT_TRUE(agent.Wait(kShutdownBoundMs));
  EXPECT_EQ(agent.exit_code(), 0);
}

TEST_F(AgentProcessTest, CrashReporterWritesABacktraceOnAFatalSignal) {
  test::Subprocess probe({test::BinDir() + "/../tests/crash_probe"}, Env(), dir_.Sub("out.txt"));
  ASSERT_TRUE(probe.Wait(20000));
  EXPECT_EQ(probe.exit_code(), -SIGSEGV);
  std::string report;
  for (const auto& name : {"logs"}) {
    const std::string folder = dir_.Sub(name);
    std::unique_ptr<DIR, int (*)(DIR*)> d(opendir(folder.c_str()), closedir);
    ASSERT_TRUE(d);
    while (dirent* e = readdir(d.get()))
      if (std::string(e->d_name).rfind("crash_", 0) == 0) report = test::ReadFile(folder + "/" + e->d_name);
  }
  EXPECT_NE(report.find("application: crash_probe_app"), std::string::npos) << report;
  EXPECT_NE(report.find("signal: 11 (SEGV)"), std::string::npos) << report;
  EXPECT_NE(report.find("backtrace:"), std::string::npos);
  EXPECT_NE(report.find("crash_probe"), std::string::npos);  // frames of the crashed program
}

}  // namespace
}  // namespace tillcast
