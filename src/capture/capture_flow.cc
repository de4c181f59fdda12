#include "capture/capture_flow.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "base/log.h"
#include "base/text_util.h"
#include "capture/cups_capture.h"
#include "capture/driver_protocol.h"
#include "capture/emf_parser.h"
#include "capture/spool_converter.h"
#include "platform/paths.h"
#include "platform/private_file.h"

namespace tillcast::capture {
namespace {

std::string CaptureName(const std::string& folder, const char* prefix, uint32_t tick) {
  char name[260];
  std::snprintf(name, sizeof(name), "%s/%s%d.dat", folder.c_str(), prefix, static_cast<int>(tick));
  return name;
}

// Creates a capture file new under `*path`, or under the names of the next
// ticks when that one is taken.
bool CreateCaptureFile(const std::string& folder, const char* prefix, uint32_t tick, std::string* path,
                       platform::ScopedFd* fd) {
  int err = 0;
  for (uint32_t n = 0; n < 1000; ++n) {
    const std::string candidate = n == 0 ? *path : CaptureName(folder, prefix, tick + n);
    if (platform::CreateNewFile(candidate, fd, &err)) {
      if (n > 0) Log(LOG_WARNING, "capture file %s exists; capturing into %s", path->c_str(), candidate.c_str());
      *path = candidate;
      return true;
    }
    if (err != EEXIST && err != ELOOP) break;
  }
  Log(LOG_ERROR, "capture file %s cannot be created, errno:%d", path->c_str(), err);
  return false;
}

}  // namespace

bool SpoolCopyText(const std::string& path, std::string* text) {
  if (path.size() < 4) return false;
  const std::string emf = path.substr(0, path.size() - 4) + ".emf";
  SpoolFileConverter converter(path, emf);
  if (!converter.Convert()) return false;
  EMFParser parser(emf);
  *text = ToNarrowLossy(parser.Parse());
  std::remove(emf.c_str());
  return true;
}

CaptureFlow::CaptureFlow(Hooks hooks) : hooks_(std::move(hooks)) {
  if (hooks_.clock == nullptr) hooks_.clock = platform::SystemClock();
}

void CaptureFlow::SetStartTimer(std::function<void()> start_timer) {
  std::lock_guard<std::mutex> l(lock_);
  hooks_.start_timer = std::move(start_timer);
}

void CaptureFlow::EnsurePendingName(const char* prefix) {
  if (!pendingCaptureFile.empty()) return;
  pendingPrefix_ = prefix;
  pendingCaptureFile = CaptureName(hooks_.data_folder, prefix, hooks_.clock->TickCount());
}

bool CaptureFlow::OpenPendingLocked() {
  if (pendingFd_.valid()) return true;
  return CreateCaptureFile(hooks_.data_folder, pendingPrefix_, hooks_.clock->TickCount(), &pendingCaptureFile,
                           &pendingFd_);
}

void CaptureFlow::AppendLocked(const void* data, size_t size) {
  int err = 0;
  if (!OpenPendingLocked()) return;
  if (!platform::WriteAll(pendingFd_.get(), data, size, &err))
    Log(LOG_ERROR, "capture file %s: %zu bytes not written, errno:%d", pendingCaptureFile.c_str(), size, err);
}

void CaptureFlow::MarkDataLocked() {
  lastCaptureTick = hooks_.clock->TickCount();
  if (!uploadTimerRunning) {
    uploadTimerRunning = true;
    if (hooks_.start_timer) hooks_.start_timer();
  }
}

void CaptureFlow::OnDriverData(uint32_t source, const uint8_t* data, int32_t length) {
  std::lock_guard<std::mutex> l(lock_);
  EnsurePendingName("parallel");
  Log(LOG_INFO, "ui::LoginWnd::DriverParallelEvtCallbackEx: recv len= %d \n", length);
  if (length <= 0 || data == nullptr) return;
  if ((source & driver::kSourceHeld) != 0 && !pendingHeld_) {
    pendingHeld_ = true;
    Log(LOG_INFO, "capture: %d bytes the driver kept while no agent listened", length);
  }
  AppendLocked(data, static_cast<size_t>(length));
  MarkDataLocked();
}

void CaptureFlow::OnSpoolFile(const std::string& path) {
  // The monitor may announce a job more than once (one per file event); the
  // first announcement takes the copy and deletes it, the others find none.
  if (!platform::PathExists(path)) return;
  // The conversion runs outside the lock: it may take a while and touches
  // only the copy and its metafile.
  std::string text;
  const bool converted = SpoolCopyText(path, &text);
  std::string raw;
  int err = 0;
  if (!converted && !platform::ReadWholeFile(path, &raw, &err))
    Log(LOG_ERROR, "spool copy %s could not be forwarded, errno:%d", path.c_str(), err);
  std::lock_guard<std::mutex> l(lock_);
  EnsurePendingName("spl_");
  if (converted) {
    AppendLocked(text.data(), text.size());
  } else {
    // The spool file itself replaces whatever the pending file held.
    if (pendingFd_.valid()) {
      pendingFd_.reset();
      std::remove(pendingCaptureFile.c_str());
    }
    AppendLocked(raw.data(), raw.size());
  }
  std::remove(path.c_str());
  MarkDataLocked();
}

void CaptureFlow::OnCupsCopy(const std::string& path) {
  // Read and converted outside the lock: a PDF may take a while.
  std::string content;
  CupsCopyHeader header;
  const CupsCopyResult r = TakeCupsCopy(path, &content, &header);
  if (r == CupsCopyResult::kKeep) return;
  if (r == CupsCopyResult::kSkip || content.empty()) {
    std::remove(path.c_str());
    return;
  }
  uint64_t waited = 0;
  if (hooks_.handover_held && CupsCopyWasHeld(header, &waited)) {
    // Printed long ago and let go now, often together with other held jobs
    // and beside the next sale: a sale of its own, not a reprint of those.
    const std::string file = TakeUpCupsCopy(path, content);
    if (file.empty()) return;
    Log(LOG_INFO, "cups job %s of queue %s waited %llu ms in its queue: captured on its own", header.job.c_str(),
        header.queue.c_str(), static_cast<unsigned long long>(waited));
    // When CUPS took it, on the tick count (the backend started it moments ago).
    hooks_.handover_held(file, hooks_.clock->TickCount() - static_cast<uint32_t>(waited));
    return;
  }
  std::lock_guard<std::mutex> l(lock_);
  EnsurePendingName("spl_");
  AppendLocked(content.data(), content.size());
  std::remove(path.c_str());
  MarkDataLocked();
}

std::string CaptureFlow::WriteOwnCaptureFile(const std::string& content) {
  std::string file = CaptureName(hooks_.data_folder, "spl_", hooks_.clock->TickCount());
  platform::ScopedFd fd;
  if (!CreateCaptureFile(hooks_.data_folder, "spl_", hooks_.clock->TickCount(), &file, &fd)) return {};
  int err = 0;
  if (!platform::WriteAll(fd.get(), content.data(), content.size(), &err) || !platform::SyncFile(fd.get(), &err)) {
    Log(LOG_ERROR, "capture file %s could not be written, errno:%d", file.c_str(), err);
    std::remove(file.c_str());
    return {};
  }
  return file;
}

std::string CaptureFlow::ConvertLeftoverSpoolCopy(const std::string& path) {
  std::string content;
  int err = 0;
  if (!SpoolCopyText(path, &content) && !platform::ReadWholeFile(path, &content, &err)) return {};
  const std::string file = WriteOwnCaptureFile(content);
  if (file.empty()) {
    Log(LOG_ERROR, "spool copy %s could not be taken up", path.c_str());
    return {};
  }
  std::remove(path.c_str());
  return file;
}

std::string CaptureFlow::ConvertWaitingCupsCopy(const std::string& path) {
  std::string content;
  const CupsCopyResult r = TakeCupsCopy(path, &content);
  if (r == CupsCopyResult::kKeep) return {};
  if (r == CupsCopyResult::kSkip || content.empty()) {
    std::remove(path.c_str());
    return {};
  }
  return TakeUpCupsCopy(path, content);
}

std::string CaptureFlow::TakeUpCupsCopy(const std::string& path, const std::string& content) {
  const std::string file = WriteOwnCaptureFile(content);
  if (file.empty()) {
    Log(LOG_ERROR, "cups copy %s could not be taken up; kept for the next start", path.c_str());
    return {};
  }
  // The copy goes only once its capture file is on disk.
  int err = 0;
  platform::RemoveDurably(path, &err);
  return file;
}

bool CaptureFlow::OnUploadTimer() {
  std::lock_guard<std::mutex> l(lock_);
  if (!uploadTimerRunning) return true;
  const uint32_t now = hooks_.clock->TickCount();
  if (now - lastCaptureTick < kQuietMs) return false;
  std::string file;
  file.swap(pendingCaptureFile);
  uploadTimerRunning = false;
  const bool held = pendingHeld_;
  pendingHeld_ = false;
  // A zero-length payload names a file without creating it: nothing to send.
  if (pendingFd_.valid()) {
    pendingFd_.reset();
    // Bytes that waited in the driver were printed before the sale the
    // till makes next: the reprint rule must not pair the two.
    if (held && hooks_.handover_held)
      hooks_.handover_held(file, now);
    else if (hooks_.handover)
      hooks_.handover(file, now);
  }
  return true;
}

std::string CaptureFlow::PendingFile() {
  std::lock_guard<std::mutex> l(lock_);
  return pendingCaptureFile;
}

uint32_t CaptureFlow::LastCaptureTick() {
  std::lock_guard<std::mutex> l(lock_);
  return lastCaptureTick;
}

bool CaptureFlow::UploadTimerRunning() {
  std::lock_guard<std::mutex> l(lock_);
  return uploadTimerRunning;
}

}  // namespace tillcast::capture
