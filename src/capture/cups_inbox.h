// Watches the inbox folder where the `tillcast` CUPS backend leaves a copy
// of each printed job (cups_copy.h). At start, the copies already there
// (printed while no agent ran) are announced, oldest first; then each copy
// is announced as the backend renames it into the folder (inotify
// IN_MOVED_TO). Names that are not finished copies (the backend's hidden
// temporaries, anything else) are never announced. When the system drops
// changes (a full event queue) the folder is read again.
//
// A folder that cannot be watched (missing, no access) is tried again every
// `retry_ms`, with one log line until it works.
//
// Threading: Start, Stop and SetCallback from one controlling thread; the
// callback runs on the watcher's own thread, which Stop joins.
#pragma once

#include <atomic>
#include <condition_variable>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/dir_watch.h"
#include "platform/wait_event.h"

namespace tillcast::capture {

class CupsInbox {
 public:
  // `waited`: the copy was made before the watcher started (its job was
  // printed while no agent was there to take it).
  using Callback = std::function<void(const std::string& path, bool waited)>;

  struct Settings {
    std::string folder;        // "" = CupsInboxFolder()
    uint32_t retry_ms = 5000;  // a folder that cannot be watched is tried again after this
    std::function<std::unique_ptr<platform::DirWatcher>()> make_watcher;  // null = inotify
  };

  explicit CupsInbox(Settings settings);
  ~CupsInbox();  // Stop
  CupsInbox(const CupsInbox&) = delete;
  CupsInbox& operator=(const CupsInbox&) = delete;

  void SetCallback(Callback f);
  // Starts the watcher's thread; false when no stop event can be made.
  bool Start();
  // Ends and joins the thread (a callback in progress finishes first).
  void Stop();

  // Test help: true once the watch is set up and the copies found then
  // have been announced.
  bool WaitWatching(int timeout_ms);
  const std::string& folder() const { return settings_.folder; }

 private:
  void Run();
  // Announces every finished copy in the folder, oldest first.
  void Drain();
  void Announce(const std::string& path, bool waited);
  bool SleepOrStop(uint32_t ms);

  Settings settings_;
  std::atomic<bool> stopping_{false};
  std::unique_ptr<platform::WaitEvent> stop_event_;
  timespec started_{};
  std::mutex mu_;
  std::condition_variable watching_cv_;
  bool watching_ = false;
  Callback callback_;
  std::thread thread_;
};

}  // namespace tillcast::capture
