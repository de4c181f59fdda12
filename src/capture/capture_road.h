// The capture road of the agent, from the first captured byte to the cloud:
// the pending capture state (CaptureFlow), the upload worker
// (CaptureUploader) and the outbox on disk (UploadOutbox), wired together,
// plus the recovery of what an ended run left behind.
//
// Nothing captured is lost on this road: a capture file is removed only once
// its upload is in the outbox (or the capture was refused by the checks),
// and an outbox entry only once the cloud has taken it or refused it for
// good.
//
// Thread-safety: as its parts; Start and Stop from one thread.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "capture/capture_flow.h"
#include "capture/capture_uploader.h"
#include "capture/upload_outbox.h"

namespace tillcast::capture {

class CaptureRoad {
 public:
  struct Settings {
    std::string data_folder;        // capture files, outbox/, rejected/
    std::string spool_copy_folder;  // the spool monitor's copies ("" = none)
    UploaderSettings uploader;
    OutboxLimits limits;
  };

  // `start_timer` asks the UI thread to run the upload timer (see
  // CaptureFlow); `clock` is not owned (null = the system clock).
  CaptureRoad(Settings settings, CaptureUploadHooks hooks, std::function<void()> start_timer,
              platform::Clock* clock = nullptr);
  ~CaptureRoad();
  CaptureRoad(const CaptureRoad&) = delete;
  CaptureRoad& operator=(const CaptureRoad&) = delete;

  // Opens the outbox, hands over what an ended run left (capture files and
  // spool copies, uploaded late: checked, but without an additional
  // receipt), oldest first, and starts the worker. Call before capture
  // starts, so no new capture overtakes them.
  void Start();
  // Stops the worker (see CaptureUploader::Stop).
  void Stop();

  CaptureFlow& flow() { return flow_; }
  // A CUPS job's copy that waited in the inbox for the agent: uploaded as a
  // capture of its own, checked but without an additional receipt (its
  // sale is past).
  void TakeUpWaitingCupsCopy(const std::string& path);
  // A file someone else asks to upload (it is left where it is).
  void UploadFile(const std::string& path);
  void CloudReachable() { uploader_.CloudReachable(); }

  // Receipts waiting: handed over or in the outbox.
  size_t Waiting();
  size_t Rejected() { return outbox_.RejectedCount(); }
  bool WaitIdle(int timeout_ms) { return uploader_.WaitIdle(timeout_ms); }
  UploadOutbox& outbox() { return outbox_; }

 private:
  void Recover();

  Settings settings_;
  platform::Clock* clock_;
  UploadOutbox outbox_;
  CaptureUploader uploader_;
  CaptureFlow flow_;
};

}  // namespace tillcast::capture
