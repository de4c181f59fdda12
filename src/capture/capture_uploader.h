// The worker that takes finished capture files to the cloud, one at a time
// in capture order, off the window's thread: it runs the checks and the
// additional receipt of each fresh capture and uploads it. An upload that
// fails, or that would overtake older ones waiting, is stored in the outbox
// (flushed to disk) before the capture file is removed; the outbox is sent
// oldest first, again and again with a growing pause while the cloud is
// away, and at once when anything reached the cloud again.
//
// The cloud and the printer come in as functions, so this module knows
// neither the network code nor the printer.
//
// Thread-safe: Handover, CloudReachable and the counters may be called from
// any thread; the hooks run on the worker thread only. Stop (and the
// destructor) aborts a transfer in flight through the flag the hooks get,
// and joins the worker.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "capture/upload_outbox.h"

namespace tillcast::capture {

// What the cloud's reply means for an upload.
enum class UploadOutcome {
  kTaken,    // 200
  kRetry,    // no connection, timeout, 408, 429, 5xx: try again later
  kRefused,  // any other 4xx: can never succeed
};
// `code`: an HTTP status, or a transport failure (below 100, or -1).
UploadOutcome ClassifyUploadReply(int code);

// How the duplicate rule (a second capture within 5 s is a reprint) sees a
// capture.
enum class CaptureAge {
  kFresh,  // printed just now: the rule at `tick`, then the additional receipt
  kHeld,   // printed by the till well before it arrived (a print queue held
           // it while the printer was away, or the driver kept it while no
           // agent listened): the rule is judged among held captures only,
           // since one cannot be a reprint of a sale made while it waited;
           // the additional receipt prints
  kLate,   // left by an agent that ended: neither the rule nor the receipt
};

struct CaptureUploadHooks {
  // A capture to be uploaded: its checks (size, Chinese text, payment
  // voucher) and, as `age` says, the duplicate rule judged at `tick` and
  // the additional receipt. True with the signed request body to upload;
  // false when the capture is refused.
  std::function<bool(const std::string& bytes, const std::string& path, uint32_t tick, CaptureAge age,
                     std::string* body, const std::atomic<bool>& abort)>
      prepare;
  // Sends one signed request body; returns the reply code. A transfer must
  // end soon after `abort` becomes true.
  std::function<int(const std::string& body, const std::atomic<bool>& abort)> send;
};

struct UploaderSettings {
  // Pause after the first failed attempt, doubled after each further one,
  // up to the cap.
  uint32_t first_retry_ms = 5000;
  uint32_t max_retry_ms = 300000;
};

class CaptureUploader {
 public:
  // `outbox` is not owned and must be open and outlive this object.
  CaptureUploader(CaptureUploadHooks hooks, UploadOutbox* outbox, UploaderSettings settings = {});
  ~CaptureUploader();
  CaptureUploader(const CaptureUploader&) = delete;
  CaptureUploader& operator=(const CaptureUploader&) = delete;

  void Start();
  // Ends the worker: a transfer in flight is aborted, a capture being
  // handled is finished or left where it is, and what is not sent stays in
  // the outbox. Joins the worker.
  void Stop();

  // A finished capture file, handled after every one handed over before.
  // `own`: the file is the agent's own and is removed once it is in the
  // outbox (or refused); a file someone else handed over is left alone.
  void Handover(const std::string& path, uint32_t tick, CaptureAge age, bool own);

  // Something reached the cloud: the outbox is tried at once.
  void CloudReachable();

  // Captures handed over and not yet handled.
  size_t Queued();

  // Test help: true once nothing is queued, no capture is being handled and
  // the outbox is empty or waits for its next try.
  bool WaitIdle(int timeout_ms);

 private:
  struct Item {
    std::string path;
    uint32_t tick;
    CaptureAge age;
    bool own;
  };
  void Worker();
  void HandleCapture(const Item& item);
  // True when the oldest entry was dealt with (taken or refused), false
  // when the cloud was not reached.
  bool SendOldest();
  // Caller holds mu_: the next try after the growing pause.
  void ScheduleRetryLocked();

  CaptureUploadHooks hooks_;
  UploadOutbox* outbox_;
  UploaderSettings settings_;

  std::mutex mu_;
  std::condition_variable cv_;
  std::condition_variable idle_cv_;
  std::deque<Item> queue_;
  bool kick_ = false;
  bool busy_ = false;
  bool first_attempt_failed_ = false;  // the capture being handled found no cloud
  std::atomic<bool> stop_{false};
  std::chrono::steady_clock::time_point next_try_{};
  uint32_t backoff_ms_ = 0;
  std::thread worker_;
};

}  // namespace tillcast::capture
