// The pending capture state: captured printer output is appended to one
// capture file per burst, and the file is handed over for upload once no
// data has come for kQuietMs.
//
// Capture files are the agent's own: created new (never over an existing
// name, never through a link), mode 0600, named "parallel<tick>.dat" or
// "spl_<tick>.dat" in the data folder; when the name is taken (a file an
// earlier run left, or something planted there) the next tick's name is
// used.
//
// Thread-safety: OnDriverData runs on the serial watcher's worker,
// OnSpoolFile on the spool monitor's thread, OnUploadTimer on the UI
// thread. One lock serialises the state: a file is taken out of the state
// (under the lock) before it is handed over, so no data is appended to a
// file handed over, and data that arrives meanwhile starts a new file. The
// handover function runs under that lock and must not block.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "platform/clock.h"
#include "platform/scoped_fd.h"

namespace tillcast::capture {

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
    // A finished capture file and the tick at which the quiet rule let it
    // go, in capture order. Must not block.
    std::function<void(const std::string& path, uint32_t tick)> handover;
    // A capture of bytes the till printed well before they arrived: a CUPS
    // job its queue held back (the printer was away; its own capture file,
    // the tick when CUPS took it) or bytes the driver kept while no agent
    // listened (the tick when they arrived). See CaptureAge::kHeld. Must not
    // block.
    std::function<void(const std::string& path, uint32_t tick)> handover_held;
  };

  explicit CaptureFlow(Hooks hooks);

  // Replaces the start_timer hook (the window that runs the timer came or
  // went). Once it returns, the old hook is no longer running.
  void SetStartTimer(std::function<void()> start_timer);

  // A payload of the capture driver (serial or parallel; `source` unused).
  void OnDriverData(uint32_t source, const uint8_t* data, int32_t length);
  // A finished spool copy: its text, or the spool file itself when no text
  // can be extracted, goes to the pending file; the copy is deleted.
  void OnSpoolFile(const std::string& path);
  // A CUPS job's copy (cups_copy.h) that arrived while the agent runs: what
  // it gives to capture (cups_capture.h) is appended to the pending file,
  // as a spool file's text is; a job its queue held back goes to a capture
  // file of its own and handover_held. The copy is removed, also when it
  // gives nothing; one that cannot be read now is left.
  void OnCupsCopy(const std::string& path);
  // One tick of the upload timer. Returns true when the timer is to stop
  // (the pending file was handed over and nothing is pending).
  bool OnUploadTimer();

  // A spool copy an ended run left: converted as OnSpoolFile does into a
  // capture file of its own (not the pending one); its path, "" when
  // nothing could be made of it. The copy is deleted.
  std::string ConvertLeftoverSpoolCopy(const std::string& path);
  // A CUPS job's copy that waited for the agent: into a capture file of its
  // own; its path, "" when it gives nothing to capture. The copy is removed
  // once its capture file is on disk (or it gave nothing).
  std::string ConvertWaitingCupsCopy(const std::string& path);

  std::string PendingFile();
  uint32_t LastCaptureTick();
  bool UploadTimerRunning();

 private:
  // Caller holds lock_.
  void EnsurePendingName(const char* prefix);
  bool OpenPendingLocked();
  void AppendLocked(const void* data, size_t size);
  void MarkDataLocked();
  // A capture file of its own holding `content`, flushed; "" on failure.
  std::string WriteOwnCaptureFile(const std::string& content);
  // `content`, read from the CUPS copy at `path`, into a capture file of its
  // own; the copy is removed once that is on disk. "" (copy kept) on failure.
  std::string TakeUpCupsCopy(const std::string& path, const std::string& content);

  Hooks hooks_;
  std::mutex lock_;
  std::string pendingCaptureFile;
  const char* pendingPrefix_ = "parallel";
  bool pendingHeld_ = false;  // the pending file holds bytes the driver kept
  platform::ScopedFd pendingFd_;
  uint32_t lastCaptureTick = 0;
  bool uploadTimerRunning = false;
};

// The spool copy's text (through the spool file converter and the metafile
// parser) in the ANSI code page; false when no text can be extracted.
bool SpoolCopyText(const std::string& path, std::string* text);

}  // namespace tillcast::capture
