#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <json/json.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <cstdio>
#include <filesystem>
#include <thread>
#include <vector>

#include "base/system_integration.h"
#include "base/text_util.h"
#include "data/data_mgr.h"
#include "support/test_support.h"

namespace tillcast {
namespace {

using test::Gbk;

class ConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetDataFolderForTest();
    mgr.ResetForTest();
    SetAutostartStoreForTest(&autostart_);
  }
  void TearDown() override {
    SetAutostartStoreForTest(nullptr);
    mgr.ResetForTest();
    ResetDataFolderForTest();
  }
  // Saves a first version, then changes a value the failing save must keep.
  std::string SaveFirstVersion() {
    mgr.Init();
    EXPECT_TRUE(mgr.SaveConfig());
    mgr.SetConfig("PortName", "COM7");
    return test::ReadFile(mgr.ConfigPath());
  }
  void ExpectFailedSave(int err) {
    EXPECT_FALSE(mgr.SaveConfig());
    EXPECT_TRUE(log_.Contains("[ERROR]: " + Gbk("保存配置文件时，打开文件失败, 文件名:") + mgr.ConfigPath() +
                              ",GetLastError:" + std::to_string(err) + "\r\n"))
        << log_.Text();
    EXPECT_EQ(mgr.GetConfig("PortName"), "COM7");
  }

  DataMgr& mgr = DataMgr::GetInstance();
  test::TempDir dir_;
  test::ScopedEnv env_{"XDG_DATA_HOME", dir_.path()};
  test::ScopedLog log_;
  platform::FakeAutostartStore autostart_;
};

mode_t ModeOf(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 07777;
}

// Parses a whole configuration file; false for an empty or torn one.
bool ParsesWhole(const std::string& text, Json::Value* root) {
  Json::CharReaderBuilder builder;
  std::string errors;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  return !text.empty() && reader->parse(text.data(), text.data() + text.size(), root, &errors) && root->isObject();
}

TEST_F(ConfigTest, FirstStartUsesDefaultsAndWritesNothing) {
  mgr.Init();
  EXPECT_EQ(mgr.GetConfig("PortName"), "COM1");
  EXPECT_EQ(mgr.GetConfig("Baudrate"), "9600");
  EXPECT_EQ(mgr.GetConfig("DeviceFormat"), "escpos");
  EXPECT_EQ(mgr.GetConfig("PortType"), Gbk("串口"));
  EXPECT_EQ(mgr.GetConfig("URL"), kDefaultServerUrl);
  EXPECT_EQ(mgr.ConfigPath(), dir_.path() + "/Tillcast/cloudconfig.dat");
  EXPECT_FALSE(test::FileExists(mgr.ConfigPath()));
  EXPECT_FALSE(mgr.LoadConfig());
  EXPECT_EQ(log_.Text(), "");
}

TEST_F(ConfigTest, DataFolderAndConfigurationArePrivateWhateverTheUmask) {
  // A umask that would leave everything open to every user.
  const mode_t old = umask(0);
  mgr.Init();
  mgr.SetConfig("secret", "DEVICE-KEY-1");
  EXPECT_TRUE(mgr.SaveConfig());
  umask(old);
  EXPECT_EQ(ModeOf(dir_.Sub("Tillcast")), 0700u);
  EXPECT_EQ(ModeOf(mgr.ConfigPath()), 0600u);
}

TEST_F(ConfigTest, DataFolderLeftOpenByAnEarlierVersionIsClosed) {
  ASSERT_EQ(mkdir(dir_.Sub("Tillcast").c_str(), 0755), 0);
  ASSERT_EQ(chmod(dir_.Sub("Tillcast").c_str(), 0755), 0);
  mgr.Init();
  EXPECT_EQ(ModeOf(dir_.Sub("Tillcast")), 0700u);
}

// Closing the settings window saves twice at once, and the cloud worker may
// save meanwhile: no save fails, a reader never finds the file empty or
// torn, and the file never goes back to an older table than it held.
TEST_F(ConfigTest, ConcurrentSavesWithAReaderNeverShowAnEmptyFileAndTheNewestWins) {
  mgr.Init();
  mgr.SetConfig("Seq", "0");
  ASSERT_TRUE(mgr.SaveConfig());
  constexpr int kWriters = 4;
  constexpr int kRounds = 100;
  // Each change gets the next number, so the table only ever grows newer.
  std::mutex changing;
  int seq = 0;
  std::atomic<bool> writing{true};
  std::atomic<int> failedSaves{0}, reads{0}, badReads{0}, wentBack{0};
  std::thread reader([&] {
    long newest = 0;
    while (writing.load()) {
      Json::Value root;
      if (!ParsesWhole(test::ReadFile(mgr.ConfigPath()), &root) || !root["Seq"].isString()) {
        ++badReads;
      } else {
        const long now = std::stol(root["Seq"].asString());
        if (now < newest) ++wentBack;
        newest = std::max(newest, now);
      }
      ++reads;
    }
  });
  std::vector<std::thread> writers;
  for (int t = 0; t < kWriters; ++t) {
    writers.emplace_back([&, t] {
      for (int i = 0; i < kRounds; ++i) {
        {
          std::lock_guard<std::mutex> l(changing);
          mgr.SetConfig("Seq", std::to_string(++seq));
          mgr.SetConfig("Writer" + std::to_string(t), std::to_string(i));
        }
        if (!mgr.SaveConfig()) ++failedSaves;
      }
    });
  }
  for (std::thread& w : writers) w.join();
  writing.store(false);
  reader.join();

  EXPECT_EQ(failedSaves.load(), 0);
  EXPECT_GT(reads.load(), 0);
  EXPECT_EQ(badReads.load(), 0) << "of " << reads.load() << " reads";
  EXPECT_EQ(wentBack.load(), 0) << "an older table was saved over a newer one";
  Json::Value root;
  ASSERT_TRUE(ParsesWhole(test::ReadFile(mgr.ConfigPath()), &root));
  EXPECT_EQ(root["Seq"].asString(), std::to_string(kWriters * kRounds));
  for (int t = 0; t < kWriters; ++t)
    EXPECT_EQ(root["Writer" + std::to_string(t)].asString(), std::to_string(kRounds - 1)) << t;
  size_t files = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir_.Sub("Tillcast"))) ++files;
  EXPECT_EQ(files, 1u) << "temporary files were left beside cloudconfig.dat";
  EXPECT_EQ(ModeOf(mgr.ConfigPath()), 0600u);
}

TEST_F(ConfigTest, LoadTakesOnlyStringMembersOfTheLoadedKeys) {
  const struct {
    const char* file;
    const char* key;
    std::string value;
  } cases[] = {
      {R"({"Baudrate":19200})", "Baudrate", "9600"},
      {R"({"ClosePrint":true,"StopBits":null})", "ClosePrint", "false"},
      {R"({"PortName":"COM3" /* comments are allowed */})", "PortName", "COM3"},
      {R"({"URL":""})", "URL", kDefaultServerUrl},
      {R"({"URL":"https://other.example"})", "URL", "https://other.example"},
      {R"({"Version":"9.9.9.9"})", "Version", "1.1.4.26"},
      {R"({"DeviceFormat":"pdf"})", "DeviceFormat", "escpos"},
      {R"({"secret":"typed"})", "secret", ""},
      {R"({"PortType":"并口"})", "PortType", Gbk("并口")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    mgr.ResetForTest();
    test::WriteFile(mgr.ConfigPath(), c.file);
    mgr.Init();
    EXPECT_EQ(mgr.GetConfig(c.key), c.value);
  }
  EXPECT_TRUE(log_.Contains("[INFO]: " + Gbk("配置文件加载完成.") + "\r\n"));
}

TEST_F(ConfigTest, BrokenFilesAreLoggedAndKeepTheDefaults) {
  test::WriteFile(mgr.ConfigPath(), R"({"PortName":"COM9",)");
  mgr.Init();
  EXPECT_EQ(mgr.GetConfig("PortName"), "COM1");
  EXPECT_TRUE(log_.Contains("[ERROR]: " + Gbk("解析配置文件失败") + "\r\n"));
  EXPECT_EQ(test::ReadFile(mgr.ConfigPath()), R"({"PortName":"COM9",)");

  std::filesystem::remove(mgr.ConfigPath());
  std::filesystem::create_directory(mgr.ConfigPath());  // exists, cannot be read
  EXPECT_FALSE(mgr.LoadConfig());
  EXPECT_TRUE(log_.Contains("[ERROR]: " + Gbk("打开配置文件chu，GetLastError:") + std::to_string(EISDIR) + "\r\n"));
}

TEST_F(ConfigTest, SaveWritesEveryEntryAsCompactSortedUtf8Json) {
  mgr.Init();
  mgr.SetConfig("PortType", Gbk("并口"));
  mgr.SetConfig("secret", "k1");
  EXPECT_EQ(mgr.GetConfig("NoSuchKey"), "");  // a read adds the key
  ASSERT_TRUE(mgr.SaveConfig());
  EXPECT_EQ(test::ReadFile(mgr.ConfigPath()),
            std::string(R"({"AutoStartUp":"true","Baudrate":"9600","ClosePrint":"false","DataBits":"8",)") +
                R"("DeviceFormat":"escpos","FlowControl":"无","LogoURL":"","NoSuchKey":"","PageMode":"页",)" +
                R"("PageWidth":"58","Parity":"无","PortName":"COM1","PortType":"并口","StopBits":"1","URL":")" +
                kDefaultServerUrl + R"(","Version":"1.1.4.26","secret":"k1"})" + "\r\n");
  EXPECT_TRUE(log_.Contains("[INFO]: " + Gbk("保存配置文件完成,文件:") + mgr.ConfigPath() + "\r\n"));

  mgr.ResetForTest();
  mgr.Init();
  EXPECT_EQ(mgr.GetConfig("PortType"), Gbk("并口"));
}

TEST_F(ConfigTest, AutostartEntryFollowsTheOption) {
  const std::string launcher = std::filesystem::path(GetModuleFolder()).parent_path().string() + "/AppLauncher";
  mgr.Init();
  ASSERT_TRUE(mgr.SaveConfig());  // AutoStartUp is "true" by default
  EXPECT_EQ(autostart_.values[L"tillcast"], L"\"" + ToWide(launcher) + L"\" /target=\"tillcast\"");

  mgr.SetConfig("AutoStartUp", "false");
  ASSERT_TRUE(mgr.SaveConfig());
  EXPECT_EQ(autostart_.values.count(L"tillcast"), 0u);

  autostart_.writable = false;  // a refused entry does not stop the save
  mgr.SetConfig("AutoStartUp", "true");
  EXPECT_TRUE(mgr.SaveConfig());
}

TEST_F(ConfigTest, AFullDiskLeavesThePreviousFileAndNoTemporaryOne) {
  // Also for root: a file size limit makes the write fail as a full disk
  // would (EFBIG instead of ENOSPC).
  const std::string previous = SaveFirstVersion();
  mgr.SetConfig("LogoURL", std::string(100000, 'x'));
  struct sigaction ignore {
  }, old{};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(sigaction(SIGXFSZ, &ignore, &old), 0);
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  rlimit small = saved;
  small.rlim_cur = 4096;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  ExpectFailedSave(EFBIG);
  setrlimit(RLIMIT_FSIZE, &saved);
  sigaction(SIGXFSZ, &old, nullptr);
  EXPECT_EQ(test::ReadFile(mgr.ConfigPath()), previous);
  for (const auto& e : std::filesystem::directory_iterator(dir_.Sub("Tillcast")))
    EXPECT_EQ(e.path().filename().string().find(".XXXX"), std::string::npos);
  size_t files = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir_.Sub("Tillcast"))) ++files;
  EXPECT_EQ(files, 1u) << "a temporary file was left beside cloudconfig.dat";
}

TEST_F(ConfigTest, ReadOnlyFolderLeavesPreviousFile) {
  const std::string previous = SaveFirstVersion();
  const std::string folder = dir_.Sub("Tillcast");
  ASSERT_EQ(chmod(folder.c_str(), 0500), 0);
  if (FILE* probe = std::fopen((folder + "/probe").c_str(), "w")) {
    std::fclose(probe);
    GTEST_SKIP() << "folder permissions do not bind root; AFullDiskLeavesThePreviousFileAndNoTemporaryOne covers this";
  }
  ExpectFailedSave(EACCES);
  EXPECT_EQ(test::ReadFile(mgr.ConfigPath()), previous);
}

TEST_F(ConfigTest, DataFolderBelowARegularFile) {
  test::WriteFile(dir_.Sub("plain"), "x");
  test::ScopedEnv env("XDG_DATA_HOME", dir_.Sub("plain"));
  ResetDataFolderForTest();
  mgr.Init();
  mgr.SetConfig("PortName", "COM7");
  ExpectFailedSave(ENOTDIR);
}

}  // namespace
}  // namespace tillcast
