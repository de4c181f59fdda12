// Watches the spool folder, keeps a copy of each spool file (.SPL) while the
// spooler writes it, and announces the copy once the spooler deletes the
// original (the job is complete).
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/dir_watch.h"
#include "platform/file_copy.h"
#include "platform/wait_event.h"

namespace tillcast {

namespace capture {
// Platform seams this module builds on.
using platform::CopyFileKeepingTime;
using platform::CreateDirWatcher;
using platform::DirChange;
using platform::DirWatcher;
using platform::DirWatchResult;
using platform::FileStamp;
using platform::kFileAdded;
using platform::kFileModified;
using platform::kFileRemoved;
using platform::kFileRenamedNew;
using platform::kFileRenamedOld;
using platform::StatFile;
using platform::WaitAny;
using platform::WaitEvent;
using platform::WaitResult;
}  // namespace capture

// $TILLCAST_SPOOL_DIR, default /var/spool/tillcast/PRINTERS.
std::string SpoolFolder();
// The data folder + "/PRINTERS".
std::string SpoolCopyFolder();

// Receives the path of a finished copy. May see the same path twice for one
// job (once from the copy loop, once from the removal record).
using SpoolFileCallback = std::function<void(const std::string& copy_path)>;

// Start, Stop and SetCallback belong to one controlling thread; the
// callback runs on the monitor's thread.
class SpoolMonitor {
 public:
  // Empty folders mean SpoolFolder() and SpoolCopyFolder(), read at Start.
  explicit SpoolMonitor(std::string spool_folder = "", std::string copy_folder = "",
                        std::function<std::unique_ptr<capture::DirWatcher>()> make_watcher = nullptr);
  ~SpoolMonitor();  // Stop, then waits for the thread
  SpoolMonitor(const SpoolMonitor&) = delete;
  SpoolMonitor& operator=(const SpoolMonitor&) = delete;

  void SetCallback(SpoolFileCallback f);
  // Starts the monitoring thread; always true.
  bool Start();
  // Asks the thread to end and waits up to 3 s for it.
  void Stop();
  // True while the monitoring thread runs.
  bool Running() const { return running_.load(); }

  // The handling of one change batch (what the thread does with each);
  // also used by tests. The first record without the ".SPL" extension ends
  // the batch.
  void HandleChanges(const std::vector<capture::DirChange>& batch);

  static constexpr size_t kMaxName = 260;

 private:
  void Run();
  void CopyLoop(const std::string& source, const std::string& copy);
  void Deliver(const std::string& copy);
  bool SleepOrStop(int ms);

  std::string spool_folder_;
  std::string copy_folder_;
  std::function<std::unique_ptr<capture::DirWatcher>()> make_watcher_;
  std::atomic<bool> stopping_{true};
  std::atomic<bool> running_{false};
  std::unique_ptr<capture::WaitEvent> stop_event_;
  std::mutex callback_mu_;
  SpoolFileCallback on_spool_file_;
  std::thread thread_;
};

}  // namespace tillcast
