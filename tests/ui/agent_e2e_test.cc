// The agent as one process against the cloud simulator: a device key handed
// over by another program binds the device at start-up, a capture file sent
// through the local endpoint is uploaded, and the quit message ends the run.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "net_test_support.h"
#include "support/subprocess.h"
#include "support/test_support.h"

namespace tillcast {
namespace {

class AgentE2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(redis_.up());
    ASSERT_TRUE(sim_.ok()) << sim_.LogText();
    mkdir(dir_.Sub("run").c_str(), 0700);
    mkdir(dir_.Sub("spool").c_str(), 0700);
    mkdir(dir_.Sub("logs").c_str(), 0700);
    mkdir(dir_.Sub("services").c_str(), 0700);
    mkdir(dir_.Sub("data").c_str(), 0700);
    // As an earlier version left it: open to every user.
    mkdir(dir_.Sub("data/Tillcast").c_str(), 0755);
    chmod(dir_.Sub("data/Tillcast").c_str(), 0755);
    mkdir(dir_.Sub("config").c_str(), 0700);
    mkdir(dir_.Sub("config/Zellora").c_str(), 0700);
    test::WriteFile(dir_.Sub("data/Tillcast/cloudconfig.dat"), "{\"URL\":\"" + sim_.url() + "\"}");
    test::WriteFile(dir_.Sub("data/Tillcast/setting.ini"),
                    "[setting]\r\nhookkeyboard=0\r\n[cloud]\r\norder_url=" + sim_.url() + "\r\n");
    test::WriteFile(dir_.Sub("config/Zellora/devicekey"), "DEMO-KEY-0001");
  }
  // The agent starts its capture driver as a service: its record, control
  // socket and ports stay in the test's folder, and TearDown stops it.
  void TearDown() override { test::StopRecordedServices(dir_.Sub("services")); }
  std::map<std::string, std::string> Env() const {
    return {{"XDG_DATA_HOME", dir_.Sub("data")},
            {"XDG_CONFIG_HOME", dir_.Sub("config")},
            {"XDG_RUNTIME_DIR", dir_.Sub("run")},
            {"TILLCAST_LOG_DIR", dir_.Sub("logs")},
            {"TILLCAST_SPOOL_DIR", dir_.Sub("spool")},
            {"TILLCAST_CUPS_INBOX", dir_.Sub("cups-inbox")},
            {"QT_QPA_PLATFORM", "offscreen"},
            {"TILLCAST_IPC_SOCKET", dir_.Sub("run/tillcast.sock")},
            {"TILLCAST_SERVICE_DIR", dir_.Sub("services")},
            {"TILLCAST_DRIVER_SOCKET", dir_.Sub("run/Sf_WatchSvr")},
            {"TILLCAST_SERIALFILTER_CONF", dir_.Sub("serialfilter.conf")}};
  }
  static mode_t ModeOf(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 ? st.st_mode & 0777 : 07777;
  }
  int Send(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {test::BinDir() + "/tillcast-send"};
    argv.insert(argv.end(), args.begin(), args.end());
    return test::RunProgram(argv, Env(), 10000);
  }
  std::string Log() const { return test::ReadFile(dir_.Sub("logs/tillcast.txt")); }

  test::TempDir dir_;
  test::RedisServer redis_;
  test::CloudSim sim_{redis_, 5};
};

TEST_F(AgentE2eTest, BindsUploadsAndQuits) {
  test::Subprocess agent({test::BinDir() + "/tillcast"}, Env(), dir_.Sub("out.txt"));
  ASSERT_TRUE(test::WaitUntil([&] { return test::FileExists(dir_.Sub("data/Tillcast/cloudbind.json")); }, 20000))
      << Log() << sim_.LogText();
  // The hand-over key is used once.
  EXPECT_TRUE(test::WaitUntil([&] { return test::ReadFile(dir_.Sub("config/Zellora/devicekey")).empty(); }, 5000));
  EXPECT_NE(Log().find("login:3"), std::string::npos) << Log();

  std::string ticket = test::Gbk("欢迎光临 演示门店\n");
  for (int i = 1; i <= 8; ++i) ticket += test::Gbk("商品") + std::to_string(i) + "      x1     1.00\n";
  const std::string file = dir_.Sub("ticket.txt");
  test::WriteFile(file, ticket);
  ASSERT_TRUE(test::WaitUntil([&] { return Send({"101", file}) == 0; }, 10000)) << Log();
  EXPECT_TRUE(test::WaitUntil(
      [&] { return sim_.LogText().find("POST /store/printer/upload -> 200") != std::string::npos; }, 10000))
      << sim_.LogText() << Log();

  EXPECT_EQ(Send({"201"}), 0);
  ASSERT_TRUE(agent.Wait(20000)) << Log();
  EXPECT_EQ(agent.exit_code(), 0) << test::ReadFile(dir_.Sub("out.txt"));

  // Nothing of the store's is left readable by other users: the data
  // folder is closed, the binding, the log and every folder the agent made
  // are private.
  EXPECT_EQ(ModeOf(dir_.Sub("data/Tillcast")), 0700u);
  EXPECT_EQ(ModeOf(dir_.Sub("data/Tillcast/cloudbind.json")), 0600u);
  EXPECT_EQ(ModeOf(dir_.Sub("logs/tillcast.txt")), 0600u);
  for (const char* folder : {"outbox", "rejected"}) EXPECT_EQ(ModeOf(dir_.Sub("data/Tillcast/") + folder), 0700u);
  if (Log().find(test::Gbk("保存配置文件完成")) != std::string::npos) {
    EXPECT_EQ(ModeOf(dir_.Sub("data/Tillcast/cloudconfig.dat")), 0600u);
  }
}

}  // namespace
}  // namespace tillcast
