// The capture road after the quiet rule: the outbox on disk, the upload
// worker and the recovery of what an ended run left, with the cloud and the
// printer as scripted functions (the real cloud's roads are in tests/e2e).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

#include "capture/capture_road.h"
#include "capture/capture_uploader.h"
#include "capture/upload_outbox.h"
#include "platform/clock.h"
#include "support/subprocess.h"
#include "support/test_support.h"

namespace tillcast::capture {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::WaitUntil;
using test::WriteFile;

std::vector<std::string> Names(const std::string& folder, const std::string& ext = ".upl") {
  std::vector<std::string> out;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(folder, ec))
    if (e.path().extension() == ext) out.push_back(e.path().filename().string());
  std::sort(out.begin(), out.end());
  return out;
}

void MakeOld(const std::string& path, int days) {
  const time_t t = time(nullptr) - days * 86400;
  utimbuf times{t, t};
  ASSERT_EQ(utime(path.c_str(), &times), 0);
}

TEST(UploadOutbox, EntriesSurviveAReopenOldestFirstAndArePrivate) {
  test::TempDir dir;
  {
    UploadOutbox box(dir.Sub("outbox"), dir.Sub("rejected"));
    ASSERT_TRUE(box.Open());
    for (const char* body : {"first", "second", "third"}) ASSERT_EQ(box.Add(body), UploadOutbox::AddResult::kAdded);
    struct stat st {};
    ASSERT_EQ(stat(dir.Sub("outbox").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(stat((dir.Sub("outbox/") + Names(dir.Sub("outbox"))[0]).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
  }
  // A write that a crash cut short leaves only its temporary file.
  WriteFile(dir.Sub("outbox/000000000004.upl.Ab12Cd"), "half");
  UploadOutbox box(dir.Sub("outbox"), dir.Sub("rejected"));
  ASSERT_TRUE(box.Open());
  EXPECT_EQ(box.Count(), 3u);
  EXPECT_FALSE(test::FileExists(dir.Sub("outbox/000000000004.upl.Ab12Cd")));
  std::string name, body;
  for (const char* want : {"first", "second", "third"}) {
    ASSERT_TRUE(box.Front(&name, &body));
    EXPECT_EQ(body, want);
    box.Remove(name);
  }
  EXPECT_FALSE(box.Front(&name, &body));
  // Numbers are never reused after a reopen.
  std::string added;
  ASSERT_EQ(box.Add("fourth", &added), UploadOutbox::AddResult::kAdded);
  EXPECT_EQ(added, "000000000004.upl");
}

TEST(UploadOutbox, BoundsDropTheOldestAndSaySo) {
  test::TempDir dir;
  test::ScopedLog log;
  OutboxLimits limits;
  limits.outbox = {3, 1000, 30};
  UploadOutbox box(dir.Sub("outbox"), dir.Sub("rejected"), limits);
  ASSERT_TRUE(box.Open());
  for (int i = 1; i <= 5; ++i) ASSERT_EQ(box.Add("receipt " + std::to_string(i)), UploadOutbox::AddResult::kAdded);
  EXPECT_EQ(box.Count(), 3u);
  std::string name, body;
  ASSERT_TRUE(box.Front(&name, &body));
  EXPECT_EQ(body, "receipt 3");
  EXPECT_TRUE(log.Contains("outbox: 1 waiting receipts (9 bytes) dropped, the oldest first"));

  // Bytes: one large entry pushes older ones out until the rest fits.
  ASSERT_EQ(box.Add(std::string(990, 'x')), UploadOutbox::AddResult::kAdded);
  EXPECT_EQ(box.Count(), 2u);
  EXPECT_EQ(box.Bytes(), 999u);

  // Age, judged when the outbox is opened again.
  ASSERT_EQ(box.Add("fresh"), UploadOutbox::AddResult::kAdded);
  const auto names = Names(dir.Sub("outbox"));
  ASSERT_EQ(names.size(), 2u);
  MakeOld(dir.Sub("outbox/") + names[0], 31);
  UploadOutbox again(dir.Sub("outbox"), dir.Sub("rejected"), limits);
  ASSERT_TRUE(again.Open());
  ASSERT_EQ(again.Count(), 1u);
  ASSERT_TRUE(again.Front(&name, &body));
  EXPECT_EQ(body, "fresh");
}

TEST(UploadOutbox, RefusedTooLargeAndUnreadableEntriesAreKeptAsideAndBounded) {
  test::TempDir dir;
  test::ScopedLog log;
  OutboxLimits limits;
  limits.max_entry_bytes = 100;
  limits.rejected = {2, 1 << 20, 90};
  UploadOutbox box(dir.Sub("outbox"), dir.Sub("rejected"), limits);
  ASSERT_TRUE(box.Open());
  EXPECT_EQ(box.Add(std::string(101, 'L')), UploadOutbox::AddResult::kQuarantined);
  EXPECT_EQ(box.Count(), 0u);
  EXPECT_EQ(box.RejectedCount(), 1u);

  std::string name, body;
  ASSERT_EQ(box.Add("refused by the cloud", &name), UploadOutbox::AddResult::kAdded);
  box.Reject(name, "the cloud answered 413");
  EXPECT_EQ(ReadFile(dir.Sub("rejected/") + name), "refused by the cloud");
  EXPECT_EQ(ReadFile(dir.Sub("rejected/") + name.substr(0, 12) + ".why"), "the cloud answered 413\n");
  EXPECT_TRUE(log.Contains("outbox: receipt " + name + " rejected (the cloud answered 413)"));

  // An entry that turned into something unreadable is moved aside, and the
  // next one is given.
  std::string broken;
  ASSERT_EQ(box.Add("soon unreadable", &broken), UploadOutbox::AddResult::kAdded);
  ASSERT_EQ(box.Add("fine"), UploadOutbox::AddResult::kAdded);
  ASSERT_EQ(unlink((dir.Sub("outbox/") + broken).c_str()), 0);
  ASSERT_EQ(mkdir((dir.Sub("outbox/") + broken).c_str(), 0700), 0);
  ASSERT_TRUE(box.Front(&name, &body));
  EXPECT_EQ(body, "fine");
  // Three kept aside, the folder keeps two: the oldest went.
  EXPECT_EQ(box.RejectedCount(), 2u);
  EXPECT_TRUE(log.Contains("rejected folder: 1 oldest receipts dropped"));
}

TEST(UploadReply, WhatEachReplyMeans) {
  struct Case {
    int code;
    UploadOutcome outcome;
  };
  for (const Case& c :
       {Case{200, UploadOutcome::kTaken}, Case{-1, UploadOutcome::kRetry}, Case{28, UploadOutcome::kRetry},
        Case{500, UploadOutcome::kRetry}, Case{503, UploadOutcome::kRetry}, Case{429, UploadOutcome::kRetry},
        Case{408, UploadOutcome::kRetry}, Case{400, UploadOutcome::kRefused}, Case{403, UploadOutcome::kRefused},
        Case{413, UploadOutcome::kRefused}, Case{404, UploadOutcome::kRefused}})
    EXPECT_EQ(ClassifyUploadReply(c.code), c.outcome) << c.code;
}

// A cloud that answers from a script, and records what it was sent.
class ScriptedCloud {
 public:
  void Answer(int code) {
    std::lock_guard<std::mutex> l(mu_);
    code_ = code;
  }
  void Reset() {
    std::lock_guard<std::mutex> l(mu_);
    sent_.clear();
    taken_.clear();
  }
  int Send(const std::string& body) {
    std::lock_guard<std::mutex> l(mu_);
    sent_.push_back(body);
    if (code_ == 200) taken_.push_back(body);
    return code_;
  }
  std::vector<std::string> Sent() {
    std::lock_guard<std::mutex> l(mu_);
    return sent_;
  }
  std::vector<std::string> Taken() {
    std::lock_guard<std::mutex> l(mu_);
    return taken_;
  }

 private:
  std::mutex mu_;
  int code_ = 200;
  std::vector<std::string> sent_, taken_;
};

class RoadTest : public ::testing::Test {
 protected:
  CaptureUploadHooks Hooks() {
    CaptureUploadHooks h;
    h.prepare = [this](const std::string& bytes, const std::string& path, uint32_t tick, CaptureAge age,
                       std::string* body, const std::atomic<bool>&) {
      std::lock_guard<std::mutex> l(mu_);
      prepared_.push_back({path, tick, age == CaptureAge::kLate});
      if (bytes.rfind("REFUSE", 0) == 0) return false;
      *body = "signed:" + bytes;
      return true;
    };
    h.send = [this](const std::string& body, const std::atomic<bool>&) { return cloud_.Send(body); };
    return h;
  }
  CaptureRoad::Settings Settings() {
    CaptureRoad::Settings s;
    s.data_folder = dir_.path();
    s.spool_copy_folder = dir_.Sub("PRINTERS");
    s.uploader.first_retry_ms = 200;
    s.uploader.max_retry_ms = 400;
    return s;
  }
  struct Prepared {
    std::string path;
    uint32_t tick;
    bool late;
  };
  std::vector<Prepared> PreparedList() {
    std::lock_guard<std::mutex> l(mu_);
    return prepared_;
  }

  test::TempDir dir_;
  test::ScopedLog log_;
  platform::FakeClock clock_{7000};
  ScriptedCloud cloud_;
  std::mutex mu_;
  std::vector<Prepared> prepared_;
};

TEST_F(RoadTest, CloudAwayThenBackEveryCaptureArrivesOnceInOrderAndTheSameRequestIsResent) {
  CaptureRoad road(Settings(), Hooks(), nullptr, &clock_);
  road.Start();
  cloud_.Answer(-1);  // no connection
  for (const char* sale : {"sale 1", "sale 2", "sale 3"}) {
    const std::string path = dir_.Sub(std::string("capture-") + sale[5] + ".dat");
    WriteFile(path, sale);
    road.UploadFile(path);
  }
  ASSERT_TRUE(WaitUntil([&] { return road.outbox().Count() == 3 && cloud_.Sent().size() >= 2; }, 10000));
  EXPECT_EQ(road.Waiting(), 3u);
  // Files someone else handed over stay where they are.
  EXPECT_TRUE(test::FileExists(dir_.Sub("capture-1.dat")));
  cloud_.Answer(200);
  road.CloudReachable();
  ASSERT_TRUE(WaitUntil([&] { return cloud_.Taken().size() == 3; }, 10000));
  EXPECT_EQ(cloud_.Taken(), (std::vector<std::string>{"signed:sale 1", "signed:sale 2", "signed:sale 3"}));
  // Every attempt of one receipt sent the very same request.
  for (const std::string& body : cloud_.Sent()) EXPECT_EQ(body.rfind("signed:sale ", 0), 0u) << body;
  EXPECT_EQ(road.outbox().Count(), 0u);
  EXPECT_TRUE(log_.Contains("outbox: the cloud is not reached, "));
}

TEST_F(RoadTest, TheQuietTimersCapturesGoThroughThePrinterOnceAndAreRemovedWhenSafe) {
  CaptureRoad road(Settings(), Hooks(), nullptr, &clock_);
  road.Start();
  const std::string sale = "a receipt with zero bytes \0\x1b!\0 inside";
  road.flow().OnDriverData(1, reinterpret_cast<const uint8_t*>(sale.data()), static_cast<int32_t>(sale.size()));
  const std::string capture = road.flow().PendingFile();
  clock_.Advance(300);
  EXPECT_TRUE(road.flow().OnUploadTimer());
  ASSERT_TRUE(WaitUntil([&] { return cloud_.Taken().size() == 1; }, 10000));
  EXPECT_EQ(cloud_.Taken()[0], "signed:" + sale);
  const auto prepared = PreparedList();
  ASSERT_EQ(prepared.size(), 1u);
  EXPECT_EQ(prepared[0].tick, 7300u);
  EXPECT_FALSE(prepared[0].late);
  EXPECT_TRUE(WaitUntil([&] { return !test::FileExists(capture); }, 5000));

  // A refused capture (the checks, a reprint) is removed and never sent.
  const std::string refused = "REFUSE: a payment voucher";
  road.flow().OnDriverData(1, reinterpret_cast<const uint8_t*>(refused.data()), static_cast<int32_t>(refused.size()));
  const std::string second = road.flow().PendingFile();
  clock_.Advance(300);
  road.flow().OnUploadTimer();
  ASSERT_TRUE(road.WaitIdle(10000));
  EXPECT_FALSE(test::FileExists(second));
  EXPECT_EQ(cloud_.Sent().size(), 1u);
}

TEST_F(RoadTest, RefusedForGoodIsKeptAsideAndRetriableRepliesAreRetried) {
  CaptureRoad road(Settings(), Hooks(), nullptr, &clock_);
  road.Start();
  for (const int code : {503, 429, 408}) {
    cloud_.Answer(code);
    WriteFile(dir_.Sub("x.dat"), "retried " + std::to_string(code));
    road.UploadFile(dir_.Sub("x.dat"));
    ASSERT_TRUE(WaitUntil([&] { return cloud_.Sent().size() >= 2; }, 10000)) << code;  // tried again
    EXPECT_EQ(road.outbox().Count(), 1u);
    cloud_.Answer(200);
    road.CloudReachable();
    ASSERT_TRUE(WaitUntil([&] { return road.outbox().Count() == 0; }, 10000));
    cloud_.Reset();
  }
  cloud_.Answer(413);
  WriteFile(dir_.Sub("x.dat"), "too large for the cloud");
  road.UploadFile(dir_.Sub("x.dat"));
  ASSERT_TRUE(WaitUntil([&] { return road.Rejected() == 1; }, 10000));
  EXPECT_EQ(road.outbox().Count(), 0u);
  const auto rejected = Names(dir_.Sub("rejected"));
  ASSERT_EQ(rejected.size(), 1u);
  EXPECT_EQ(ReadFile(dir_.Sub("rejected/") + rejected[0]), "signed:too large for the cloud");
  std::this_thread::sleep_for(std::chrono::milliseconds(600));  // past any retry time
  EXPECT_EQ(cloud_.Sent().size(), 1u) << "a refused receipt was sent again";
}

TEST_F(RoadTest, StoppingAbortsAStalledTransferAndKeepsTheReceipt) {
  CaptureUploadHooks h = Hooks();
  std::atomic<bool> in_transfer{false};
  h.send = [&](const std::string&, const std::atomic<bool>& abort) {
    in_transfer = true;
    // A cloud that accepts and never answers: only the abort ends it.
    while (!abort.load()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return -1;
  };
  auto road = std::make_unique<CaptureRoad>(Settings(), h, nullptr, &clock_);
  road->Start();
  WriteFile(dir_.Sub("parallel1.dat"), "kept across the stop");
  road->UploadFile(dir_.Sub("parallel1.dat"));
  ASSERT_TRUE(WaitUntil([&] { return in_transfer.load(); }, 10000));
  const auto t0 = std::chrono::steady_clock::now();
  road->Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
  road.reset();
  UploadOutbox box(dir_.Sub("outbox"), dir_.Sub("rejected"));
  ASSERT_TRUE(box.Open());
  std::string name, body;
  ASSERT_TRUE(box.Front(&name, &body));
  EXPECT_EQ(body, "signed:kept across the stop");
}

TEST_F(RoadTest, WhatAnEndedRunLeftIsUploadedLateOldestFirstBeforeNewCaptures) {
  WriteFile(dir_.Sub("parallel900.dat"), "older capture");
  MakeOld(dir_.Sub("parallel900.dat"), 1);
  WriteFile(dir_.Sub("spl_800.dat"), "newer capture");
  fs::create_directories(dir_.Sub("PRINTERS"));
  WriteFile(dir_.Sub("PRINTERS/00012.SPL"), "a spool copy that is no spool file");
  WriteFile(dir_.Sub("notes.txt"), "not a capture");
  {
    // The outbox of the earlier run goes first of all.
    UploadOutbox box(dir_.Sub("outbox"), dir_.Sub("rejected"));
    ASSERT_TRUE(box.Open());
    ASSERT_EQ(box.Add("signed:already in the outbox"), UploadOutbox::AddResult::kAdded);
  }
  CaptureRoad road(Settings(), Hooks(), nullptr, &clock_);
  road.Start();
  ASSERT_TRUE(WaitUntil([&] { return cloud_.Taken().size() == 4; }, 10000)) << cloud_.Taken().size();
  EXPECT_EQ(cloud_.Taken(),
            (std::vector<std::string>{"signed:already in the outbox", "signed:older capture", "signed:newer capture",
                                      "signed:a spool copy that is no spool file"}));
  for (const Prepared& p : PreparedList()) EXPECT_TRUE(p.late) << p.path;
  EXPECT_FALSE(test::FileExists(dir_.Sub("parallel900.dat")));
  EXPECT_FALSE(test::FileExists(dir_.Sub("spl_800.dat")));
  EXPECT_FALSE(test::FileExists(dir_.Sub("PRINTERS/00012.SPL")));
  EXPECT_TRUE(test::FileExists(dir_.Sub("notes.txt")));
}

}  // namespace
}  // namespace tillcast::capture
