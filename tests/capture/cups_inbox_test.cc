// The watch on the CUPS backend's inbox: copies there at start are
// announced oldest first as waiting, copies renamed in later as they come,
// and nothing else ever.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>
#include <utility>
#include <vector>

#include "capture/cups_copy.h"
#include "capture/cups_inbox.h"
#include "support/subprocess.h"
#include "support/test_support.h"

namespace tillcast::capture {
namespace {

class CupsInboxTest : public ::testing::Test {
 protected:
  CupsInbox::Settings Settings() {
    CupsInbox::Settings s;
    s.folder = dir_.Sub("inbox");
    s.retry_ms = 50;
    return s;
  }
  void Listen(CupsInbox& inbox) {
    inbox.SetCallback([this](const std::string& path, bool waited) {
      std::lock_guard<std::mutex> l(lock_);
      seen_.emplace_back(path.substr(path.rfind('/') + 1), waited);
    });
  }
  std::vector<std::pair<std::string, bool>> Seen() {
    std::lock_guard<std::mutex> l(lock_);
    return seen_;
  }
  // As the backend publishes: written under a hidden name, renamed.
  void Publish(const std::string& name, const std::string& bytes = "copy") {
    const std::string temp = dir_.Sub("inbox/.tmp-" + name);
    test::WriteFile(temp, bytes);
    ASSERT_EQ(rename(temp.c_str(), dir_.Sub("inbox/" + name).c_str()), 0);
  }
  void Age(const std::string& name, int seconds) {
    const timespec t[2] = {{time(nullptr) - seconds, 0}, {time(nullptr) - seconds, 0}};
    utimensat(AT_FDCWD, dir_.Sub("inbox/" + name).c_str(), t, 0);
  }

  test::TempDir dir_;
  test::ScopedLog log_;
  std::mutex lock_;
  std::vector<std::pair<std::string, bool>> seen_;
};

TEST_F(CupsInboxTest, CopiesThereAtStartComeFirstOldestFirstAsWaiting) {
  mkdir(dir_.Sub("inbox").c_str(), 0770);
  Publish(CupsCopyName(1700000000200ull, 8, 1));
  Publish(CupsCopyName(1700000000100ull, 7, 2));
  Publish(CupsCopyName(1700000000100ull, 7, 1));
  for (const auto* name : {"01700000000200-8-1.copy", "01700000000100-7-2.copy", "01700000000100-7-1.copy"})
    Age(name, 60);
  test::WriteFile(dir_.Sub("inbox/.tmp-99-1-0"), "half written");
  test::WriteFile(dir_.Sub("inbox/notes.txt"), "not a copy");
  mkdir(dir_.Sub("inbox/sub.copy").c_str(), 0700);
  symlink("/etc/passwd", dir_.Sub("inbox/01700000000300-9-1.copy").c_str());

  CupsInbox inbox(Settings());
  Listen(inbox);
  ASSERT_TRUE(inbox.Start());
  ASSERT_TRUE(inbox.WaitWatching(5000));
  const auto seen = Seen();
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0], std::make_pair(std::string("01700000000100-7-1.copy"), true));
  EXPECT_EQ(seen[1], std::make_pair(std::string("01700000000100-7-2.copy"), true));
  EXPECT_EQ(seen[2], std::make_pair(std::string("01700000000200-8-1.copy"), true));
}

TEST_F(CupsInboxTest, CopiesRenamedInLaterComeAsTheyArriveAndNothingElse) {
  mkdir(dir_.Sub("inbox").c_str(), 0770);
  CupsInbox inbox(Settings());
  Listen(inbox);
  ASSERT_TRUE(inbox.Start());
  ASSERT_TRUE(inbox.WaitWatching(5000));
  test::WriteFile(dir_.Sub("inbox/.tmp-5-1-0"), "being written");
  // Written in place, not renamed in: the backend never does that.
  test::WriteFile(dir_.Sub("inbox/01800000000000-4-1.copy"), "written in place");
  mkdir(dir_.Sub("inbox/sub").c_str(), 0700);
  test::WriteFile(dir_.Sub("inbox/sub/.t"), "x");
  ASSERT_EQ(rename(dir_.Sub("inbox/sub/.t").c_str(), dir_.Sub("inbox/sub/01800000000000-6-1.copy").c_str()), 0);
  Publish(CupsCopyName(1800000000001ull, 5, 1));
  Publish(CupsCopyName(1800000000002ull, 6, 1));
  ASSERT_TRUE(test::WaitUntil([&] { return Seen().size() >= 2; }, 5000));
  usleep(100 * 1000);
  const auto seen = Seen();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0], std::make_pair(std::string("01800000000001-5-1.copy"), false));
  EXPECT_EQ(seen[1], std::make_pair(std::string("01800000000002-6-1.copy"), false));
}

TEST_F(CupsInboxTest, AFolderThatIsNotThereYetIsWatchedOnceItIs) {
  CupsInbox inbox(Settings());
  Listen(inbox);
  ASSERT_TRUE(inbox.Start());
  EXPECT_FALSE(inbox.WaitWatching(150));
  EXPECT_TRUE(log_.Contains("cannot be watched"));
  mkdir(dir_.Sub("inbox").c_str(), 0770);
  Publish(CupsCopyName(1800000000003ull, 3, 1));
  ASSERT_TRUE(inbox.WaitWatching(5000));
  ASSERT_TRUE(test::WaitUntil([&] { return Seen().size() == 1; }, 5000));
  EXPECT_EQ(Seen()[0].first, "01800000000003-3-1.copy");
}

// A watcher whose system lost the changes: every batch comes back empty.
class LossyWatcher final : public platform::DirWatcher {
 public:
  bool Open(const std::string&) override { return true; }
  platform::DirWatchResult Next(const platform::WaitEvent& stop, std::vector<platform::DirChange>* batch) override {
    batch->clear();
    std::vector<size_t> ready;
    if (platform::WaitAny({&stop}, 20, &ready) == platform::WaitResult::kSignalled)
      return platform::DirWatchResult::kStopped;
    return platform::DirWatchResult::kChanges;
  }
};

TEST_F(CupsInboxTest, LostChangesAreFoundByReadingTheFolderAgain) {
  mkdir(dir_.Sub("inbox").c_str(), 0770);
  CupsInbox::Settings s = Settings();
  s.make_watcher = [] { return std::make_unique<LossyWatcher>(); };
  CupsInbox inbox(s);
  // The receiver takes each copy away, as the agent does.
  inbox.SetCallback([this](const std::string& path, bool waited) {
    std::lock_guard<std::mutex> l(lock_);
    seen_.emplace_back(path.substr(path.rfind('/') + 1), waited);
    unlink(path.c_str());
  });
  ASSERT_TRUE(inbox.Start());
  ASSERT_TRUE(inbox.WaitWatching(5000));
  Publish(CupsCopyName(1800000000004ull, 4, 1));
  ASSERT_TRUE(test::WaitUntil([&] { return Seen().size() == 1; }, 5000));
  usleep(100 * 1000);
  EXPECT_EQ(Seen().size(), 1u);
  EXPECT_FALSE(Seen()[0].second);
}

TEST_F(CupsInboxTest, StopEndsTheWatchAtOnce) {
  mkdir(dir_.Sub("inbox").c_str(), 0770);
  CupsInbox inbox(Settings());
  ASSERT_TRUE(inbox.Start());
  ASSERT_TRUE(inbox.WaitWatching(5000));
  const auto start = std::chrono::steady_clock::now();
  inbox.Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  Listen(inbox);
  Publish(CupsCopyName(1800000000005ull, 5, 1));
  usleep(100 * 1000);
  EXPECT_TRUE(Seen().empty());
}

}  // namespace
}  // namespace tillcast::capture
