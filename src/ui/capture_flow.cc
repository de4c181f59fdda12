#include "ui/capture_flow.h"

#include <unistd.h>

#include <cstdio>

#include "app/log.h"
#include "app/text_util.h"
#include "capture/emf_parser.h"
#include "capture/spool_converter.h"
#include "platform/file_copy.h"

namespace tillcast::ui {

CaptureFlow::CaptureFlow(Hooks hooks) : hooks_(std::move(hooks)) {
  if (hooks_.clock == nullptr) hooks_.clock = platform::SystemClock();
}

void CaptureFlow::EnsurePendingName(const char* prefix) {
  if (!pendingCaptureFile.empty()) return;
  char name[260];
  std::snprintf(name, sizeof(name), "%s/%s%d.dat", hooks_.data_folder.c_str(), prefix,
                static_cast<int>(hooks_.clock->TickCount()));
  pendingCaptureFile = name;
}

void CaptureFlow::MarkDataLocked() {
  lastCaptureTick = hooks_.clock->TickCount();
  if (!uploadTimerRunning) {
    uploadTimerRunning = true;
    if (hooks_.start_timer) hooks_.start_timer();
  }
}

void CaptureFlow::OnDriverData(uint32_t, const uint8_t* data, int32_t length) {
  std::lock_guard<std::mutex> l(lock_);
  EnsurePendingName("parallel");
  Log(LOG_INFO, "ui::LoginWnd::DriverParallelEvtCallbackEx: recv len= %d \n", length);
  if (length <= 0 || data == nullptr) return;
  WriteBufferToFile(pendingCaptureFile, data, static_cast<size_t>(length), true, true);
  MarkDataLocked();
}

void CaptureFlow::OnSpoolFile(const std::string& path) {
  // The monitor may announce a job more than once (one per file event); the
  // first announcement takes the copy and deletes it, the others find none.
  if (access(path.c_str(), F_OK) != 0) return;
  // The conversion runs outside the lock: it may take a while and touches
  // only the copy and its metafile.
  std::string text;
  bool converted = false;
  if (path.size() >= 4) {
    const std::string emf = path.substr(0, path.size() - 4) + ".emf";
    SpoolFileConverter converter(path, emf);
    if (converter.Convert()) {
      converted = true;
      EMFParser parser(emf);
      text = ToNarrowLossy(parser.Parse());
      unlink(emf.c_str());
    }
  }
  std::lock_guard<std::mutex> l(lock_);
  EnsurePendingName("spl_");
  if (converted) {
    WriteBufferToFile(pendingCaptureFile, text.data(), text.size(), true, true);
  } else if (!platform::CopyFileKeepingTime(path, pendingCaptureFile)) {
    Log(LOG_ERROR, "spool copy %s could not be forwarded", path.c_str());
  }
  unlink(path.c_str());
  MarkDataLocked();
}

bool CaptureFlow::OnUploadTimer() {
  std::string file;
  {
    std::lock_guard<std::mutex> l(lock_);
    if (!uploadTimerRunning) return true;
    if (hooks_.clock->TickCount() - lastCaptureTick < kQuietMs) return false;
    file.swap(pendingCaptureFile);
    uploadTimerRunning = false;
  }
  // A zero-length payload names a file without creating it: nothing to send.
  if (access(file.c_str(), F_OK) == 0) {
    if (hooks_.upload) hooks_.upload(file);
    unlink(file.c_str());
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

}  // namespace tillcast::ui
