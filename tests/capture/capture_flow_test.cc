// The pending capture state: bursts become one file each, handed over for
// upload once after 300 ms of quiet, and nothing is lost or sent twice when
// data keeps arriving while a handover runs. Capture files are private and
// never written through a planted link.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "base/text_util.h"
#include "platform/clock.h"
#include "support/test_support.h"
#include "capture/capture_flow.h"
#include "capture/driver_protocol.h"

namespace tillcast::capture {
namespace {

class CaptureFlowTest : public ::testing::Test {
 protected:
  CaptureFlow::Hooks Hooks() {
    CaptureFlow::Hooks h;
    h.clock = &clock_;
    h.data_folder = dir_.path();
    h.start_timer = [this] { ++timer_starts_; };
    h.handover = [this](const std::string& path, uint32_t tick) {
      std::lock_guard<std::mutex> l(lock_);
      uploads_.push_back(test::ReadFile(path));
      ticks_.push_back(tick);
      unlink(path.c_str());
    };
    return h;
  }
  void Send(CaptureFlow& flow, const std::string& bytes) {
    flow.OnDriverData(1, reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<int32_t>(bytes.size()));
  }

  test::TempDir dir_;
  test::ScopedLog log_;
  platform::FakeClock clock_{5000};
  std::atomic<int> timer_starts_{0};
  std::mutex lock_;
  std::vector<std::string> uploads_;
  std::vector<uint32_t> ticks_;
};

TEST_F(CaptureFlowTest, TwoPayloadsOfOneBurstAreUploadedOnceAsOneFile) {
  CaptureFlow flow(Hooks());
  Send(flow, "first ");
  const std::string pending = flow.PendingFile();
  EXPECT_EQ(pending, dir_.path() + "/parallel5000.dat");
  clock_.Advance(100);
  Send(flow, "second");
  EXPECT_EQ(flow.PendingFile(), pending);
  EXPECT_EQ(timer_starts_.load(), 1);
  // 30 ms ticks: nothing before 300 ms of quiet after the second payload.
  for (int t = 0; t < 9; ++t) {
    clock_.Advance(30);
    EXPECT_FALSE(flow.OnUploadTimer());
  }
  clock_.Advance(30);
  EXPECT_TRUE(flow.OnUploadTimer());
  ASSERT_EQ(uploads_.size(), 1u);
  EXPECT_EQ(uploads_[0], "first second");
  EXPECT_EQ(ticks_[0], 5400u);  // the tick of the handover, for the duplicate rule
  EXPECT_FALSE(test::FileExists(pending));
  EXPECT_EQ(flow.PendingFile(), "");
  EXPECT_FALSE(flow.UploadTimerRunning());
  EXPECT_TRUE(log_.Contains("ui::LoginWnd::DriverParallelEvtCallbackEx: recv len= 6 "));
}

TEST_F(CaptureFlowTest, BytesTheDriverKeptAreHandedOverAsHeldAndTheNextSaleAsFresh) {
  CaptureFlow::Hooks h = Hooks();
  std::vector<std::pair<std::string, uint32_t>> held;
  h.handover_held = [&](const std::string& path, uint32_t tick) {
    held.push_back({test::ReadFile(path), tick});
    unlink(path.c_str());
  };
  CaptureFlow flow(h);
  const std::string kept = "printed while the agent was away";
  flow.OnDriverData(1 | driver::kSourceHeld, reinterpret_cast<const uint8_t*>(kept.data()),
                    static_cast<int32_t>(kept.size()));
  clock_.Advance(CaptureFlow::kQuietMs);
  EXPECT_TRUE(flow.OnUploadTimer());
  ASSERT_EQ(held.size(), 1u);
  EXPECT_EQ(held[0].first, kept);
  EXPECT_EQ(held[0].second, 5300u);
  EXPECT_TRUE(uploads_.empty());
  EXPECT_TRUE(log_.Contains("capture: 32 bytes the driver kept while no agent listened"));

  clock_.Advance(1000);
  Send(flow, "the next sale");
  clock_.Advance(CaptureFlow::kQuietMs);
  EXPECT_TRUE(flow.OnUploadTimer());
  EXPECT_EQ(held.size(), 1u);
  ASSERT_EQ(uploads_.size(), 1u) << "fresh again once the kept bytes are out";
  EXPECT_EQ(uploads_[0], "the next sale");
}

TEST_F(CaptureFlowTest, EmptyPayloadNamesTheFileButStartsNothing) {
  CaptureFlow flow(Hooks());
  flow.OnDriverData(2, nullptr, 0);
  EXPECT_FALSE(flow.PendingFile().empty());
  EXPECT_FALSE(test::FileExists(flow.PendingFile()));
  EXPECT_EQ(timer_starts_.load(), 0);
  EXPECT_FALSE(flow.UploadTimerRunning());
  clock_.Advance(1000);
  EXPECT_TRUE(flow.OnUploadTimer());
  EXPECT_TRUE(uploads_.empty());
  // The next payload goes into the file already named.
  const std::string named = flow.PendingFile();
  Send(flow, "x");
  EXPECT_EQ(flow.PendingFile(), named);
  EXPECT_EQ(test::ReadFile(named), "x");
}

TEST_F(CaptureFlowTest, SpoolFileWithoutPagesIsForwardedRaw) {
  CaptureFlow flow(Hooks());
  const std::string copy = dir_.Sub("copy.SPL");
  const std::string raw = std::string("\x68\x00\x01\x00not a spool image at all", 28);
  test::WriteFile(copy, raw);
  flow.OnSpoolFile(copy);
  EXPECT_FALSE(test::FileExists(copy));
  EXPECT_NE(flow.PendingFile().find("/spl_5000.dat"), std::string::npos);
  clock_.Advance(300);
  EXPECT_TRUE(flow.OnUploadTimer());
  ASSERT_EQ(uploads_.size(), 1u);
  EXPECT_EQ(uploads_[0], raw);

  // The same job announced again (the monitor reports each file event):
  // its copy is gone, so nothing starts and nothing is logged as lost.
  test::ScopedLog log;
  flow.OnSpoolFile(copy);
  EXPECT_EQ(flow.PendingFile(), "");
  EXPECT_FALSE(flow.UploadTimerRunning());
  EXPECT_FALSE(log.Contains("could not be forwarded"));
}

TEST_F(CaptureFlowTest, RealSpoolFileIsUploadedAsItsText) {
  const std::string dir = test::SharedTestdataDir();
  if (dir.empty()) GTEST_SKIP() << "shared testdata absent";
  const std::string spool = dir + "/spool/EMF_SPL-to-EMF_00035.SPL";
  if (!test::FileExists(spool)) GTEST_SKIP() << "no " << spool;
  CaptureFlow flow(Hooks());
  const std::string copy = dir_.Sub("job.SPL");
  test::WriteFile(copy, test::ReadFile(spool));
  flow.OnSpoolFile(copy);
  clock_.Advance(300);
  flow.OnUploadTimer();
  ASSERT_EQ(uploads_.size(), 1u);
  EXPECT_NE(uploads_[0].find("Hello World"), std::string::npos) << uploads_[0];
  EXPECT_FALSE(test::FileExists(dir_.Sub("job.emf")));
}

// A writer keeps sending while the UI side hands files over: every byte
// ends up in exactly one capture, in order.
TEST_F(CaptureFlowTest, DataArrivingDuringUploadsIsNeitherLostNorDuplicated) {
  CaptureFlow::Hooks h = Hooks();
  h.handover = [this](const std::string& path, uint32_t) {
    std::lock_guard<std::mutex> l(lock_);
    uploads_.push_back(test::ReadFile(path));
    unlink(path.c_str());
    std::this_thread::sleep_for(std::chrono::microseconds(200));  // a handover takes a while
  };
  CaptureFlow flow(h);
  std::atomic<bool> done{false};
  std::string sent;
  std::thread writer([&] {
    for (int i = 0; i < 2000; ++i) {
      const std::string piece = std::to_string(i) + ";";
      sent += piece;
      Send(flow, piece);
      clock_.Advance(1);
      if (i % 200 == 0) {
        // A pause long enough to upload; the next data may race the upload.
        clock_.Advance(400);
        for (int spin = 0; spin < 2000 && !flow.PendingFile().empty(); ++spin)
          std::this_thread::sleep_for(std::chrono::microseconds(50));
      }
    }
    done = true;
  });
  while (!done.load()) flow.OnUploadTimer();
  writer.join();
  clock_.Advance(1000);
  flow.OnUploadTimer();
  std::string received;
  for (const std::string& u : uploads_) received += u;
  EXPECT_GT(uploads_.size(), 1u);
  EXPECT_EQ(received, sent);
}

TEST_F(CaptureFlowTest, CaptureFilesArePrivateAndNeverWrittenThroughAPlantedLink) {
  // Another local user plants links for the names of the next ticks,
  // pointing at a file of theirs, and a file under the next name.
  const std::string victim = dir_.Sub("victim.txt");
  test::WriteFile(victim, "victim's own content");
  ASSERT_EQ(symlink(victim.c_str(), dir_.Sub("parallel5000.dat").c_str()), 0);
  ASSERT_EQ(symlink(victim.c_str(), dir_.Sub("parallel5001.dat").c_str()), 0);
  test::WriteFile(dir_.Sub("parallel5002.dat"), "left by an earlier run");
  CaptureFlow flow(Hooks());
  Send(flow, "a sale");
  const std::string pending = flow.PendingFile();
  EXPECT_EQ(pending, dir_.Sub("parallel5003.dat"));
  struct stat st {};
  ASSERT_EQ(lstat(pending.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  clock_.Advance(300);
  EXPECT_TRUE(flow.OnUploadTimer());
  ASSERT_EQ(uploads_.size(), 1u);
  EXPECT_EQ(uploads_[0], "a sale");
  EXPECT_EQ(test::ReadFile(victim), "victim's own content");
  EXPECT_EQ(test::ReadFile(dir_.Sub("parallel5002.dat")), "left by an earlier run");
  EXPECT_TRUE(log_.Contains("capture file " + dir_.Sub("parallel5000.dat") + " exists; capturing into " + pending));
}

}  // namespace
}  // namespace tillcast::capture
