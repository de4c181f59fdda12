#include "capture/cups_inbox.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "base/log.h"
#include "capture/cups_copy.h"

namespace tillcast::capture {
namespace {

bool Before(const timespec& a, const timespec& b) {
  return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

}  // namespace

CupsInbox::CupsInbox(Settings settings) : settings_(std::move(settings)) {
  if (settings_.folder.empty()) settings_.folder = CupsInboxFolder();
  while (settings_.folder.size() > 1 && settings_.folder.back() == '/') settings_.folder.pop_back();
  if (!settings_.make_watcher) settings_.make_watcher = platform::CreateDirWatcher;
}

CupsInbox::~CupsInbox() { Stop(); }

void CupsInbox::SetCallback(Callback f) {
  std::lock_guard<std::mutex> l(mu_);
  callback_ = std::move(f);
}

bool CupsInbox::Start() {
  if (thread_.joinable()) return true;
  stop_event_ = platform::WaitEvent::Create();
  if (!stop_event_) return false;
  stopping_.store(false);
  clock_gettime(CLOCK_REALTIME, &started_);
  thread_ = std::thread([this] { Run(); });
  return true;
}

void CupsInbox::Stop() {
  stopping_.store(true);
  if (stop_event_) stop_event_->Signal();
  if (thread_.joinable()) thread_.join();
  std::lock_guard<std::mutex> l(mu_);
  watching_ = false;
}

bool CupsInbox::WaitWatching(int timeout_ms) {
  std::unique_lock<std::mutex> l(mu_);
  return watching_cv_.wait_for(l, std::chrono::milliseconds(timeout_ms), [this] { return watching_; });
}

bool CupsInbox::SleepOrStop(uint32_t ms) {
  std::vector<size_t> ready;
  return platform::WaitAny({stop_event_.get()}, static_cast<int>(ms), &ready) == platform::WaitResult::kSignalled ||
         stopping_.load();
}

void CupsInbox::Run() {
  bool reported = false;
  while (!stopping_.load()) {
    std::unique_ptr<platform::DirWatcher> watcher = settings_.make_watcher();
    if (!watcher || !watcher->Open(settings_.folder)) {
      if (!reported) {
        Log(LOG_WARNING, "cups inbox %s cannot be watched, errno:%d; tried again every %u ms", settings_.folder.c_str(),
            errno, settings_.retry_ms);
        reported = true;
      }
      if (SleepOrStop(settings_.retry_ms)) break;
      continue;
    }
    Log(LOG_INFO, "watching the cups inbox %s", settings_.folder.c_str());
    reported = false;
    // Watching first, then reading the folder: a copy arriving in between
    // is seen by both, and the second announcement finds it taken.
    Drain();
    {
      std::lock_guard<std::mutex> l(mu_);
      watching_ = true;
    }
    watching_cv_.notify_all();
    std::vector<platform::DirChange> batch;
    while (!stopping_.load()) {
      const platform::DirWatchResult r = watcher->Next(*stop_event_, &batch);
      if (r == platform::DirWatchResult::kStopped) return;
      if (r == platform::DirWatchResult::kFailed) {
        if (SleepOrStop(10)) return;
        continue;
      }
      // Changes the system could not keep: whatever arrived is in the
      // folder.
      if (batch.empty()) Drain();
      for (const platform::DirChange& c : batch) {
        if (stopping_.load()) return;
        if (c.action == platform::kFileRenamedNew && IsCupsCopyName(c.name))
          Announce(settings_.folder + "/" + c.name, false);
      }
    }
  }
}

void CupsInbox::Drain() {
  std::vector<std::pair<std::string, bool>> found;
  DIR* d = opendir(settings_.folder.c_str());
  if (d == nullptr) return;
  while (const dirent* e = readdir(d)) {
    const std::string name = e->d_name;
    if (!IsCupsCopyName(name)) continue;
    struct stat st {};
    if (fstatat(dirfd(d), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) continue;
    found.emplace_back(name, Before(st.st_mtim, started_));
  }
  closedir(d);
  // Names begin with the time the copy was made.
  std::sort(found.begin(), found.end());
  if (!found.empty()) Log(LOG_INFO, "cups inbox: %zu copies found", found.size());
  for (const auto& [name, waited] : found) {
    if (stopping_.load()) return;
    Announce(settings_.folder + "/" + name, waited);
  }
}

void CupsInbox::Announce(const std::string& path, bool waited) {
  Callback cb;
  {
    std::lock_guard<std::mutex> l(mu_);
    cb = callback_;
  }
  if (cb) cb(path, waited);
}

}  // namespace tillcast::capture
