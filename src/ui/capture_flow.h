// The pending capture state of the main window: captured printer output is
// appended to one capture file per burst, and the file is uploaded once no
// data has come for kQuietMs.
//
// Thread-safety: OnDriverData runs on the serial watcher's worker, OnSpoolFile
// on the spool monitor's thread, OnUploadTimer on the UI thread. One lock
// serialises the state: a file's name is taken out of the state (under the
// lock) before its upload starts, so no data is appended to a file being
// uploaded, and data that arrives meanwhile starts a new file.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "platform/clock.h"

namespace tillcast::ui {

class CaptureFlow {
 public:
  static constexpr uint32_t kQuietMs = 300;
  static constexpr uint32_t kTimerPeriodMs = 30;

  struct Hooks {
    platform::Clock* clock = nullptr;  // not owned
    std::string data_folder;           // where capture files go
    // Asks the UI thread to start the upload timer; any thread, must not
    // block.
    std::function<void()> start_timer;
    // Uploads one capture file (UI thread).
    std::function<bool(const std::string& path)> upload;
  };

  explicit CaptureFlow(Hooks hooks);

  // A payload of the capture driver (serial or parallel; `source` unused).
  void OnDriverData(uint32_t source, const uint8_t* data, int32_t length);
  // A finished spool copy: its text, or the spool file itself when no text
  // can be extracted, goes to the pending file; the copy is deleted.
  void OnSpoolFile(const std::string& path);
  // One tick of the upload timer. Returns true when the timer is to stop
  // (the pending file was uploaded and nothing is pending).
  bool OnUploadTimer();

  std::string PendingFile();
  uint32_t LastCaptureTick();
  bool UploadTimerRunning();

 private:
  // Caller holds lock_.
  void EnsurePendingName(const char* prefix);
  void MarkDataLocked();

  Hooks hooks_;
  std::mutex lock_;
  std::string pendingCaptureFile;
  uint32_t lastCaptureTick = 0;
  bool uploadTimerRunning = false;
};

}  // namespace tillcast::ui
