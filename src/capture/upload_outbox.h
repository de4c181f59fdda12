// Uploads that wait for the cloud, kept on disk until the cloud has taken
// them: one file per receipt in the outbox folder, holding the signed
// request body of its first attempt (so a repeat is byte for byte the same
// request and the cloud can recognise it), named by a sequence number that
// orders them oldest first. Entries the cloud refuses for good, and entries
// that cannot be read, move to the rejected folder and stay there, counted.
//
// Both folders are bounded by count, bytes and age; what a bound drops is
// said in one log line. Everything survives restarts: Open() takes up what
// an earlier run left.
//
// Thread-safe: one lock guards the index; disk writes happen under it (the
// outbox is used by one worker and read for status by the UI).
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

namespace tillcast::capture {

struct FolderLimits {
  size_t max_count = 0;
  uint64_t max_bytes = 0;
  uint32_t max_age_days = 0;  // 0 = no age limit
};

struct OutboxLimits {
  // A week of a busy shop's receipts offline, with room for logos.
  FolderLimits outbox{5000, 512ull << 20, 30};
  FolderLimits rejected{1000, 128ull << 20, 90};
  // A single entry larger than this is not kept (quarantined instead).
  uint64_t max_entry_bytes = 64ull << 20;
};

// What the two folders hold, read without touching them (for a look from
// another process while the agent runs).
struct OutboxSummary {
  size_t waiting = 0;
  uint64_t waiting_bytes = 0;
  int64_t oldest_age_seconds = 0;  // of the oldest waiting entry's file
  size_t rejected = 0;
  std::string newest_rejected;      // its entry name, "" when none
  std::string newest_rejected_why;  // the reason written beside it
};
OutboxSummary SummarizeOutbox(const std::string& outbox_folder, const std::string& rejected_folder);

class UploadOutbox {
 public:
  UploadOutbox(std::string outbox_folder, std::string rejected_folder, OutboxLimits limits = {});

  // Creates the folders (0700) and indexes what they hold; entries an
  // earlier run left are kept, oldest first. False when the outbox folder
  // cannot be made.
  bool Open();

  enum class AddResult {
    kAdded,        // stored durably (file and folder flushed) as the newest
    kQuarantined,  // larger than an entry may be: kept in the rejected folder
    kFailed,       // could not be written (disk full...): nothing left behind
  };
  AddResult Add(const std::string& body, std::string* name = nullptr);

  // The oldest entry. False when there is none. An entry that cannot be
  // read is moved to the rejected folder and the next one is given.
  bool Front(std::string* name, std::string* body);
  // The entry was taken by the cloud.
  void Remove(const std::string& name);
  // The cloud refused the entry for good: moved to the rejected folder,
  // with `why` beside it.
  void Reject(const std::string& name, const std::string& why);

  size_t Count();
  uint64_t Bytes();
  size_t RejectedCount();

  const std::string& folder() const { return folder_; }
  const std::string& rejected_folder() const { return rejected_; }

 private:
  struct Entry {
    uint64_t seq;
    std::string name;
    uint64_t bytes;
  };
  // Caller holds mu_.
  void RejectLocked(const std::string& name, const std::string& why);
  void EnforceLocked();
  void EnforceRejectedLocked();
  std::string PathOf(const std::string& name) const { return folder_ + "/" + name; }
  // "<rejected>/000000000042.why": why the entry of that number was set
  // aside.
  std::string WhyPath(const std::string& name) const {
    return rejected_ + "/" + name.substr(0, name.size() - 4) + ".why";
  }

  std::string folder_;
  std::string rejected_;
  OutboxLimits limits_;
  std::mutex mu_;
  std::deque<Entry> entries_;  // oldest first
  uint64_t bytes_ = 0;
  uint64_t next_seq_ = 1;
  size_t rejected_count_ = 0;
};

}  // namespace tillcast::capture
