#include "capture/capture_uploader.h"

#include <algorithm>

#include "base/log.h"
#include "platform/paths.h"
#include "platform/private_file.h"

namespace tillcast::capture {

using Clock = std::chrono::steady_clock;

UploadOutcome ClassifyUploadReply(int code) {
  if (code == 200) return UploadOutcome::kTaken;
  if (code >= 400 && code < 500 && code != 408 && code != 429) return UploadOutcome::kRefused;
  return UploadOutcome::kRetry;
}

CaptureUploader::CaptureUploader(CaptureUploadHooks hooks, UploadOutbox* outbox, UploaderSettings settings)
    : hooks_(std::move(hooks)), outbox_(outbox), settings_(settings), backoff_ms_(settings.first_retry_ms) {}

CaptureUploader::~CaptureUploader() { Stop(); }

void CaptureUploader::Start() {
  std::lock_guard<std::mutex> l(mu_);
  if (worker_.joinable() || stop_.load()) return;
  kick_ = outbox_->Count() > 0;
  worker_ = std::thread([this] { Worker(); });
}

void CaptureUploader::Stop() {
  {
    std::lock_guard<std::mutex> l(mu_);
    stop_.store(true);
  }
  cv_.notify_all();
  if (worker_.joinable()) worker_.join();
  idle_cv_.notify_all();
}

void CaptureUploader::Handover(const std::string& path, uint32_t tick, CaptureAge age, bool own) {
  {
    std::lock_guard<std::mutex> l(mu_);
    queue_.push_back({path, tick, age, own});
  }
  cv_.notify_all();
}

void CaptureUploader::CloudReachable() {
  {
    std::lock_guard<std::mutex> l(mu_);
    kick_ = true;
  }
  cv_.notify_all();
}

size_t CaptureUploader::Queued() {
  std::lock_guard<std::mutex> l(mu_);
  return queue_.size() + (busy_ ? 1 : 0);
}

bool CaptureUploader::WaitIdle(int timeout_ms) {
  std::unique_lock<std::mutex> l(mu_);
  return idle_cv_.wait_for(l, std::chrono::milliseconds(timeout_ms), [&] {
    return stop_.load() || (queue_.empty() && !busy_ && !kick_ && (outbox_->Count() == 0 || Clock::now() < next_try_));
  });
}

void CaptureUploader::Worker() {
  std::unique_lock<std::mutex> l(mu_);
  while (!stop_.load()) {
    if (!queue_.empty()) {
      const Item item = queue_.front();
      queue_.pop_front();
      busy_ = true;
      first_attempt_failed_ = false;
      l.unlock();
      HandleCapture(item);
      l.lock();
      busy_ = false;
      if (first_attempt_failed_) {
        // The cloud was just tried: wait before the outbox tries again.
        kick_ = false;
        ScheduleRetryLocked();
      }
      continue;
    }
    const bool waiting = outbox_->Count() > 0;
    if (waiting && (kick_ || Clock::now() >= next_try_)) {
      kick_ = false;
      busy_ = true;
      l.unlock();
      const bool dealt = SendOldest();
      l.lock();
      busy_ = false;
      if (dealt) {
        backoff_ms_ = settings_.first_retry_ms;
        next_try_ = Clock::time_point{};
      } else if (!stop_.load()) {
        ScheduleRetryLocked();
      }
      continue;
    }
    kick_ = false;
    idle_cv_.notify_all();
    const auto woken = [&] { return stop_.load() || !queue_.empty() || kick_; };
    if (waiting) {
      cv_.wait_until(l, next_try_, woken);
    } else {
      cv_.wait(l, woken);
    }
  }
  idle_cv_.notify_all();
}

void CaptureUploader::HandleCapture(const Item& item) {
  std::string bytes;
  int err = 0;
  if (!platform::ReadWholeFile(item.path, &bytes, &err)) {
    Log(LOG_ERROR, "capture file %s cannot be read, errno:%d", item.path.c_str(), err);
    return;
  }
  std::string body;
  const bool upload = hooks_.prepare && hooks_.prepare(bytes, item.path, item.tick, item.age, &body, stop_);
  if (!upload) {
    if (item.own) platform::RemoveDurably(item.path, &err);
    return;
  }
  // With nothing older waiting, the upload goes out at once: the capture
  // file itself keeps the receipt safe meanwhile (a run that ends now
  // leaves it to the next start). Only a failed upload goes to the outbox,
  // which costs flushing it to disk.
  if (outbox_->Count() == 0 && !stop_.load()) {
    const int code = hooks_.send ? hooks_.send(body, stop_) : -1;
    if (ClassifyUploadReply(code) == UploadOutcome::kTaken) {
      if (item.own) platform::RemoveDurably(item.path, &err);
      return;
    }
    if (ClassifyUploadReply(code) == UploadOutcome::kRefused && !stop_.load()) {
      std::string name;
      if (outbox_->Add(body, &name) == UploadOutbox::AddResult::kAdded)
        outbox_->Reject(name, "the cloud answered " + std::to_string(code));
      if (item.own) platform::RemoveDurably(item.path, &err);
      return;
    }
    std::lock_guard<std::mutex> l(mu_);
    first_attempt_failed_ = true;
  }
  switch (outbox_->Add(body)) {
    case UploadOutbox::AddResult::kAdded:
    case UploadOutbox::AddResult::kQuarantined:
      // Only once the upload is safe in the outbox does the capture go.
      if (item.own && !platform::RemoveDurably(item.path, &err))
        Log(LOG_WARNING, "capture file %s could not be removed, errno:%d", item.path.c_str(), err);
      break;
    case UploadOutbox::AddResult::kFailed:
      // The outbox cannot take it (a full disk): the capture file stays and
      // is taken up at the next start.
      Log(LOG_ERROR, "capture file %s kept for the next start: not uploaded and not stored", item.path.c_str());
      return;
  }
  std::lock_guard<std::mutex> l(mu_);
  kick_ = true;
}

void CaptureUploader::ScheduleRetryLocked() {
  next_try_ = Clock::now() + std::chrono::milliseconds(backoff_ms_);
  Log(LOG_WARNING, "outbox: the cloud is not reached, %zu receipts wait; next try in %u ms", outbox_->Count(),
      backoff_ms_);
  backoff_ms_ = std::min(settings_.max_retry_ms, backoff_ms_ * 2);
}

bool CaptureUploader::SendOldest() {
  std::string name, body;
  if (!outbox_->Front(&name, &body)) return true;
  const int code = hooks_.send ? hooks_.send(body, stop_) : -1;
  if (stop_.load() && code != 200) return false;
  switch (ClassifyUploadReply(code)) {
    case UploadOutcome::kTaken: outbox_->Remove(name); return true;
    case UploadOutcome::kRefused: outbox_->Reject(name, "the cloud answered " + std::to_string(code)); return true;
    case UploadOutcome::kRetry: break;
  }
  return false;
}

}  // namespace tillcast::capture
