#include "capture/spool_monitor.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "support/subprocess.h"
#include "support/test_support.h"

namespace tillcast {
namespace {

using capture::DirChange;

// A watcher that reports nothing until stopped: the batch handler is then
// driven by the test itself.
class QuietWatcher final : public capture::DirWatcher {
 public:
  bool Open(const std::string&) override { return true; }
  capture::DirWatchResult Next(const capture::WaitEvent& stop, std::vector<DirChange>*) override {
    std::vector<size_t> ready;
    capture::WaitAny({&stop}, -1, &ready);
    return capture::DirWatchResult::kStopped;
  }
};

class SpoolTest : public ::testing::Test {
 protected:
  void SetUp() override { std::filesystem::create_directories(spool_); }
  void Make(bool quiet) {
    monitor_ = std::make_unique<SpoolMonitor>(
        spool_, copies_,
        quiet ? std::function<std::unique_ptr<capture::DirWatcher>()>([] { return std::make_unique<QuietWatcher>(); })
              : nullptr);
    monitor_->SetCallback([this](const std::string& path) {
      std::lock_guard<std::mutex> l(mu_);
      delivered_.push_back(path);
      contents_.push_back(test::ReadFile(path));
    });
    ASSERT_TRUE(monitor_->Start());
  }
  std::vector<std::string> Delivered() {
    std::lock_guard<std::mutex> l(mu_);
    return delivered_;
  }
  std::string Content(size_t i) {
    std::lock_guard<std::mutex> l(mu_);
    return contents_.at(i);
  }

  test::TempDir dir_;
  std::string spool_ = dir_.Sub("PRINTERS");
  std::string copies_ = dir_.Sub("copies");
  std::mutex mu_;
  std::vector<std::string> delivered_, contents_;
  std::unique_ptr<SpoolMonitor> monitor_;
};

TEST_F(SpoolTest, AJobWrittenInPiecesIsDeliveredWholeWhenTheSpoolerDeletesIt) {
  test::ScopedLog log;
  Make(false);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  test::WriteFile(spool_ + "/00012.SHD", "shadow");
  std::string job;
  {
    std::ofstream out(spool_ + "/00012.SPL", std::ios::binary);
    for (int i = 0; i < 5; ++i) {
      const std::string piece(3000, static_cast<char>('a' + i));
      out << piece << std::flush;
      job += piece;
      std::this_thread::sleep_for(std::chrono::milliseconds(40));
    }
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ASSERT_EQ(unlink((spool_ + "/00012.SPL").c_str()), 0);
  ASSERT_TRUE(test::WaitUntil([&] { return !Delivered().empty(); }, 10000));
  EXPECT_EQ(Delivered()[0], copies_ + "/00012.SPL");
  EXPECT_EQ(Content(0), job);
  EXPECT_TRUE(log.Contains("start spl monitor! "));
  EXPECT_TRUE(log.Contains("modified file 00012.SPL "));
  monitor_->Stop();
  EXPECT_FALSE(monitor_->Running());
  EXPECT_TRUE(log.Contains("stoped spl monitor! "));
}

TEST_F(SpoolTest, SubfoldersAndMixedCaseExtensionsAreWatched) {
  Make(false);
  std::filesystem::create_directories(spool_ + "/queue");
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the new folder's watch is added
  test::WriteFile(spool_ + "/queue/Job7.sPl", "page data");
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_EQ(unlink((spool_ + "/queue/Job7.sPl").c_str()), 0);
  ASSERT_TRUE(test::WaitUntil([&] { return !Delivered().empty(); }, 10000));
  EXPECT_EQ(Delivered()[0], copies_ + "/queue/Job7.sPl");
  EXPECT_EQ(Content(0), "page data");
}

TEST_F(SpoolTest, BatchRules) {
  test::WriteFile(copies_ + "/a.SPL", "A");
  test::WriteFile(copies_ + "/b.spl", "B");
  Make(true);
  const std::string long_name = std::string(300, 'n') + ".SPL";
  struct Case {
    const char* name;
    std::vector<DirChange> batch;
    std::vector<std::string> want;
  };
  const std::vector<Case> cases = {
      {"a .SHD record ends the batch", {{2, "1.SHD"}, {2, "a.SPL"}}, {}},
      {"two .SPL records are both handled", {{2, "a.SPL"}, {2, "b.spl"}}, {"a.SPL", "b.spl"}},
      {"an over-long name is skipped", {{2, long_name}, {2, "b.spl"}}, {"b.spl"}},
      {"add and rename records deliver nothing", {{1, "a.SPL"}, {4, "a.SPL"}, {5, "b.spl"}}, {}},
      {"a name without extension ends the batch", {{2, "SPL"}, {2, "a.SPL"}}, {}},
  };
  for (const Case& c : cases) {
    {
      std::lock_guard<std::mutex> l(mu_);
      delivered_.clear();
      contents_.clear();
    }
    monitor_->HandleChanges(c.batch);
    std::vector<std::string> want;
    for (const std::string& n : c.want) want.push_back(copies_ + "/" + n);
    EXPECT_EQ(Delivered(), want) << c.name;
  }
}

TEST_F(SpoolTest, AFileDeletedDuringItsCopyLoopIsDeliveredFromTheLoop) {
  Make(true);
  test::WriteFile(spool_ + "/9.SPL", "first part");
  std::thread deleter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    test::WriteFile(spool_ + "/9.SPL", "first part, second part");
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    unlink((spool_ + "/9.SPL").c_str());
  });
  monitor_->HandleChanges({{3, "9.SPL"}});
  deleter.join();
  ASSERT_EQ(Delivered().size(), 1u);
  EXPECT_EQ(Content(0), "first part, second part");
  // The removal record of a later batch delivers the same copy again.
  monitor_->HandleChanges({{2, "9.SPL"}});
  ASSERT_EQ(Delivered().size(), 2u);
  EXPECT_EQ(Delivered()[1], Delivered()[0]);
}

TEST_F(SpoolTest, StopWhileIdleAndAMissingFolder) {
  test::ScopedLog log;
  Make(false);
  EXPECT_TRUE(monitor_->Running());
  monitor_->Stop();
  EXPECT_FALSE(monitor_->Running());
  EXPECT_TRUE(log.Contains("stoped spl monitor! "));
  // Started again, then on a folder that does not exist: the thread ends.
  ASSERT_TRUE(monitor_->Start());
  monitor_->Stop();
  SpoolMonitor missing(dir_.Sub("absent"), copies_);
  ASSERT_TRUE(missing.Start());
  EXPECT_TRUE(test::WaitUntil([&] { return !missing.Running(); }, 5000));
}

TEST(SpoolFolders, DefaultsAndOverride) {
  {
    test::ScopedEnv env("TILLCAST_SPOOL_DIR", "/srv/spool");
    EXPECT_EQ(SpoolFolder(), "/srv/spool");
  }
  test::ScopedEnv unset("TILLCAST_SPOOL_DIR", "");
  EXPECT_EQ(SpoolFolder(), "/var/spool/tillcast/PRINTERS");
}

}  // namespace
}  // namespace tillcast

namespace tillcast {
namespace {

TEST_F(SpoolTest, ACopyThatCannotBeMadeDoesNotHoldUpTheMonitor) {
  Make(true);
  std::filesystem::create_directories(spool_ + "/q");
  test::WriteFile(spool_ + "/q/job.SPL", "data");
  test::WriteFile(copies_ + "/q", "a file where the copy's folder should be");
  monitor_->HandleChanges({{3, "q/job.SPL"}, {2, "gone.SPL"}});
  // The copy loop gave up on the first record; the second was handled.
  EXPECT_EQ(Delivered(), std::vector<std::string>{copies_ + "/gone.SPL"});
}

}  // namespace
}  // namespace tillcast
