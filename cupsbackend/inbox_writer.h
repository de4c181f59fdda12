// The backend's side of the inbox folder: made when missing, copies written
// under a hidden temporary name and renamed there once finished, the folder
// kept within bounds (oldest copies dropped first).
//
// The backend runs as root in a folder that members of the group `tillcast`
// may write: nothing here follows a link or writes over an existing name.
// Not thread-safe; the backend is one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tillcast::cupsbackend {

struct InboxLimits {
  size_t max_files = 1000;
  uint64_t max_bytes = 256ull << 20;
};
// $TILLCAST_CUPS_INBOX_MAX_FILES and $TILLCAST_CUPS_INBOX_MAX_MB over the
// defaults.
InboxLimits InboxLimitsFromEnv();

// Creates `folder` (and a missing parent) when it does not exist: mode 2770,
// group `tillcast` when that group exists. False with `*error` when it is
// not a folder (a link is refused) or cannot be made.
bool EnsureInbox(const std::string& folder, std::string* error);

// One copy being written.
class CopyFile {
 public:
  CopyFile() = default;
  ~CopyFile();  // an unpublished copy is removed
  CopyFile(const CopyFile&) = delete;
  CopyFile& operator=(const CopyFile&) = delete;

  // A new hidden file in `folder` holding `header`.
  bool Open(const std::string& folder, const std::string& header, std::string* error);
  // Appends document bytes. Once the document passes `max_document`, or a
  // write fails, the copy is given up (failed() is true, why() says why).
  void Write(const void* data, size_t size);
  // Flushes the copy and renames it to `name` in the folder.
  bool Publish(const std::string& name, std::string* error);
  // Removes the temporary file.
  void Discard();

  bool failed() const { return failed_; }
  const std::string& why() const { return why_; }
  uint64_t size() const { return total_; }
  void set_max_document(uint64_t bytes) { max_document_ = bytes; }

 private:
  int fd_ = -1;
  std::string folder_;
  std::string temp_;
  uint64_t body_ = 0;
  uint64_t total_ = 0;
  uint64_t max_document_ = 0;
  bool failed_ = false;
  std::string why_;
};

// Drops the oldest finished copies until one more of `incoming` bytes fits
// the limits; returns how many were dropped.
size_t MakeRoom(const std::string& folder, const InboxLimits& limits, uint64_t incoming);

// Writes all `size` bytes to `fd` (short writes and EINTR retried).
bool WriteFully(int fd, const void* data, size_t size);

// Removes hidden temporaries older than `max_age_s` (left by a backend that
// was killed while copying).
void RemoveStaleTemporaries(const std::string& folder, int max_age_s);

}  // namespace tillcast::cupsbackend
