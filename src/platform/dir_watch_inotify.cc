#include <dirent.h>
#include <errno.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <map>

#include "platform/dir_watch.h"
#include "platform/scoped_fd.h"

namespace tillcast::platform {
namespace {

constexpr uint32_t kMask =
    IN_CREATE | IN_DELETE | IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_FROM | IN_MOVED_TO | IN_ONLYDIR;
constexpr int kMaxWatches = 4096;

class InotifyDirWatcher final : public DirWatcher {
 public:
  bool Open(const std::string& folder) override {
    root_ = folder;
    while (!root_.empty() && root_.back() == '/') root_.pop_back();
    fd_.reset(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!fd_.valid()) return false;
    return AddTree("", 0);
  }

  // Only an overflow comes back as an empty batch: reads that hold nothing
  // to report (folder events, a spurious wake-up) wait for the next one.
  DirWatchResult Next(const WaitEvent& stop, std::vector<DirChange>* batch) override {
    batch->clear();
    while (batch->empty()) {
      pollfd p[2] = {{stop.native(), POLLIN, 0}, {fd_.get(), POLLIN, 0}};
      int n;
      do {
        n = poll(p, 2, -1);
      } while (n < 0 && errno == EINTR);
      if (n < 0) return DirWatchResult::kFailed;
      if (p[0].revents & POLLIN) return DirWatchResult::kStopped;
      alignas(inotify_event) char buf[4096];
      const ssize_t len = read(fd_.get(), buf, sizeof(buf));
      if (len < 0) {
        if (errno == EAGAIN || errno == EINTR) continue;
        return DirWatchResult::kFailed;
      }
      for (ssize_t off = 0; off + static_cast<ssize_t>(sizeof(inotify_event)) <= len;) {
        const auto* ev = reinterpret_cast<const inotify_event*>(buf + off);
        off += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
        if (off > len) break;
        if (ev->mask & IN_Q_OVERFLOW) {
          batch->clear();
          return DirWatchResult::kChanges;
        }
        if (ev->mask & IN_IGNORED) {
          dirs_.erase(ev->wd);
          continue;
        }
        auto dir = dirs_.find(ev->wd);
        if (dir == dirs_.end() || ev->len == 0) continue;
        const std::string name = dir->second.empty() ? std::string(ev->name) : dir->second + "/" + ev->name;
        if (ev->mask & IN_ISDIR) {
          if (ev->mask & (IN_CREATE | IN_MOVED_TO)) AddTree(name, 0);
          continue;
        }
        uint32_t action = 0;
        if (ev->mask & IN_CREATE)
          action = kFileAdded;
        else if (ev->mask & IN_DELETE)
          action = kFileRemoved;
        else if (ev->mask & (IN_MODIFY | IN_CLOSE_WRITE))
          action = kFileModified;
        else if (ev->mask & IN_MOVED_FROM)
          action = kFileRenamedOld;
        else if (ev->mask & IN_MOVED_TO)
          action = kFileRenamedNew;
        if (action) batch->push_back({action, name});
      }
    }
    return DirWatchResult::kChanges;
  }

 private:
  // Watches `rel` (relative to the root) and the folders below it.
  bool AddTree(const std::string& rel, int depth) {
    if (depth > 32 || static_cast<int>(dirs_.size()) >= kMaxWatches) return false;
    const std::string path = rel.empty() ? root_ : root_ + "/" + rel;
    const int wd = inotify_add_watch(fd_.get(), path.c_str(), kMask);
    if (wd < 0) return false;
    dirs_[wd] = rel;
    if (DIR* d = opendir(path.c_str())) {
      while (const dirent* e = readdir(d)) {
        const std::string n = e->d_name;
        if (n == "." || n == ".." || e->d_type != DT_DIR) continue;
        AddTree(rel.empty() ? n : rel + "/" + n, depth + 1);
      }
      closedir(d);
    }
    return true;
  }

  std::string root_;
  ScopedFd fd_;
  std::map<int, std::string> dirs_;
};

}  // namespace

std::unique_ptr<DirWatcher> CreateDirWatcher() { return std::make_unique<InotifyDirWatcher>(); }

}  // namespace tillcast::platform
