#include "capture/spool_monitor.h"

#include <strings.h>

#include <chrono>

#include "base/log.h"
#include "base/text_util.h"
#include "platform/file_copy.h"
#include "platform/env.h"
#include "platform/private_file.h"

namespace tillcast {

using capture::DirChange;

std::string SpoolFolder() { return platform::EnvOr("TILLCAST_SPOOL_DIR", "/var/spool/tillcast/PRINTERS"); }

std::string SpoolCopyFolder() { return GetDataFolder() + "/PRINTERS"; }

namespace {

bool HasSpoolExtension(const std::string& name) {
  const size_t slash = name.rfind('/');
  const size_t dot = name.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return false;
  return strcasecmp(name.c_str() + dot, ".SPL") == 0;
}

// File names are UTF-8 on disk; the log is in the ANSI code page.
std::string ForLog(const std::string& name) {
  const std::string ansi = Utf8ToAnsi(name);
  return ansi.empty() ? name : ansi;
}

// Characters of a UTF-8 name (continuation bytes not counted).
size_t CharCount(const std::string& utf8) {
  size_t n = 0;
  for (const char c : utf8) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return n;
}

std::string Join(const std::string& folder, const std::string& name) {
  return !folder.empty() && folder.back() == '/' ? folder + name : folder + "/" + name;
}

}  // namespace

SpoolMonitor::SpoolMonitor(std::string spool_folder, std::string copy_folder,
                           std::function<std::unique_ptr<capture::DirWatcher>()> make_watcher)
    : spool_folder_(std::move(spool_folder)),
      copy_folder_(std::move(copy_folder)),
      make_watcher_(make_watcher ? std::move(make_watcher) : capture::CreateDirWatcher) {}

SpoolMonitor::~SpoolMonitor() {
  Stop();
  if (thread_.joinable()) thread_.join();
}

void SpoolMonitor::SetCallback(SpoolFileCallback f) {
  std::lock_guard<std::mutex> l(callback_mu_);
  on_spool_file_ = std::move(f);
}

bool SpoolMonitor::Start() {
  if (running_.load()) return true;
  if (thread_.joinable()) thread_.join();
  if (spool_folder_.empty()) spool_folder_ = SpoolFolder();
  if (copy_folder_.empty()) copy_folder_ = SpoolCopyFolder();
  stop_event_ = capture::WaitEvent::Create();
  if (!stop_event_) return true;  // no descriptor to spare: nothing watched
  stopping_.store(false);
  running_.store(true);
  thread_ = std::thread([this] { Run(); });
  return true;
}

void SpoolMonitor::Stop() {
  stopping_.store(true);
  if (!running_.load()) {
    if (thread_.joinable()) thread_.join();
    return;
  }
  stop_event_->Signal();
  for (int i = 0; i < 10 && running_.load(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(300));
  if (!running_.load() && thread_.joinable()) thread_.join();
}

bool SpoolMonitor::SleepOrStop(int ms) {
  if (!stop_event_) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    return stopping_.load();
  }
  std::vector<size_t> ready;
  return capture::WaitAny({stop_event_.get()}, ms, &ready) == capture::WaitResult::kSignalled || stopping_.load();
}

void SpoolMonitor::Run() {
  // The copies are customers' receipts: the folder is the user's alone.
  int err = 0;
  platform::MakePrivateFolders(copy_folder_, &err);
  Log(LOG_INFO, "start spl monitor! \n");
  std::unique_ptr<capture::DirWatcher> watcher = make_watcher_();
  if (watcher && watcher->Open(spool_folder_)) {
    std::vector<DirChange> batch;
    while (!stopping_.load()) {
      const capture::DirWatchResult r = watcher->Next(*stop_event_, &batch);
      if (r == capture::DirWatchResult::kStopped) break;
      if (r == capture::DirWatchResult::kFailed) {
        SleepOrStop(10);
        continue;
      }
      if (!batch.empty()) HandleChanges(batch);
    }
    // Also when the stop came during a copy loop rather than in the wait.
    if (stopping_.load()) Log(LOG_INFO, "stoped spl monitor! \n");
  }
  running_.store(false);
}

void SpoolMonitor::HandleChanges(const std::vector<DirChange>& batch) {
  for (const DirChange& c : batch) {
    if (stopping_.load()) break;
    if (CharCount(c.name) >= kMaxName) continue;  // would not fit a path buffer
    if (!HasSpoolExtension(c.name)) break;
    const std::string source = Join(spool_folder_, c.name);
    const std::string copy = Join(copy_folder_, c.name);
    const std::string shown = ForLog(c.name);
    switch (c.action) {
      case capture::kFileAdded: Log(LOG_INFO, "add file %s \n", shown.c_str()); break;
      case capture::kFileRemoved:
        Log(LOG_INFO, "removed file %s \r\n", shown.c_str());
        Deliver(copy);
        break;
      case capture::kFileModified:
        Log(LOG_INFO, "modified file %s \n", shown.c_str());
        CopyLoop(source, copy);
        break;
      case capture::kFileRenamedOld: Log(LOG_INFO, "renamed old file %s \r\n", shown.c_str()); break;
      case capture::kFileRenamedNew: Log(LOG_INFO, "renamed new file %s \r\n", shown.c_str()); break;
      default: break;
    }
  }
}

void SpoolMonitor::CopyLoop(const std::string& source, const std::string& copy) {
  bool copy_needed = true;
  while (!stopping_.load()) {
    if (!capture::StatFile(source).exists || !copy_needed) break;
    // A source that cannot be copied (unreadable, or gone mid-copy) would
    // otherwise be retried forever and hold up every later job.
    if (!capture::CopyFileKeepingTime(source, copy)) break;
    copy_needed = false;
    // The copy is done once the source stays as copied for 300 ms. Time
    // and size to the nanosecond: a write within the same second as the
    // copy must not go unnoticed.
    for (int i = 0; i < 30; ++i) {
      if (SleepOrStop(10)) break;
      const capture::FileStamp s = capture::StatFile(source);
      const capture::FileStamp d = capture::StatFile(copy);
      if (!s.exists || s.mtime_ns != d.mtime_ns || s.size != d.size) {
        copy_needed = true;
        break;
      }
    }
  }
  if (!capture::StatFile(source).exists) Deliver(copy);
}

void SpoolMonitor::Deliver(const std::string& copy) {
  SpoolFileCallback cb;
  {
    std::lock_guard<std::mutex> l(callback_mu_);
    cb = on_spool_file_;
  }
  if (cb) cb(copy);
}

}  // namespace tillcast
