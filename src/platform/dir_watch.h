// Watching a folder and its subfolders for file changes, in batches as the
// system reports them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/wait_event.h"

namespace tillcast::platform {

// Action codes of a change.
inline constexpr uint32_t kFileAdded = 1;
inline constexpr uint32_t kFileRemoved = 2;
inline constexpr uint32_t kFileModified = 3;
inline constexpr uint32_t kFileRenamedOld = 4;
inline constexpr uint32_t kFileRenamedNew = 5;

struct DirChange {
  uint32_t action;
  std::string name;  // relative to the watched folder ("sub/x.SPL")
};

enum class DirWatchResult { kChanges, kStopped, kFailed };

// One object per watching thread; not thread-safe.
class DirWatcher {
 public:
  virtual ~DirWatcher() = default;
  // Starts watching `folder` and every folder below it (folders created
  // later included). False when the folder cannot be watched.
  virtual bool Open(const std::string& folder) = 0;
  // Waits for the next batch or for `stop`. A batch the system could not
  // record (overflow) comes back empty.
  virtual DirWatchResult Next(const WaitEvent& stop, std::vector<DirChange>* batch) = 0;
};

// inotify: created 1, deleted 2, modified or closed after writing 3,
// moved away 4, moved in 5. Folder events are not reported.
std::unique_ptr<DirWatcher> CreateDirWatcher();

}  // namespace tillcast::platform
