// File checks and copies for the spool monitor.
#pragma once

#include <cstdint>
#include <string>

namespace tillcast::platform {

struct FileStamp {
  bool exists = false;
  int64_t mtime_ns = 0;
  uint64_t size = 0;
};

// Thread-safe.
FileStamp StatFile(const std::string& path);

// Copies `src` over `dst` (creating the missing folders of `dst` with mode
// 0700; the copy is 0600 and never written through a link) and gives the
// copy the source's modification time. False when the source cannot be read or
// the copy cannot be written whole.
bool CopyFileKeepingTime(const std::string& src, const std::string& dst);

}  // namespace tillcast::platform
