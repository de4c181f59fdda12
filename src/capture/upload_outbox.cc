#include "capture/upload_outbox.h"

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "base/log.h"
#include "platform/paths.h"
#include "platform/private_file.h"

namespace tillcast::capture {
namespace {

namespace fs = std::filesystem;

constexpr char kSuffix[] = ".upl";

// "000000000042.upl" -> 42; 0 for a name that is no entry.
uint64_t SeqOf(const std::string& name) {
  if (name.size() <= sizeof(kSuffix) - 1 || name.compare(name.size() - 4, 4, kSuffix) != 0) return 0;
  const std::string digits = name.substr(0, name.size() - 4);
  if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos) return 0;
  return std::strtoull(digits.c_str(), nullptr, 10);
}

std::string NameOf(uint64_t seq) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%012" PRIu64 "%s", seq, kSuffix);
  return buf;
}

bool OlderThanDays(const fs::path& p, uint32_t days) {
  if (days == 0) return false;
  std::error_code ec;
  const auto written = fs::last_write_time(p, ec);
  if (ec) return false;
  return fs::file_time_type::clock::now() - written > std::chrono::hours(24) * days;
}

struct Listed {
  uint64_t seq;
  fs::path path;
  uint64_t bytes;
};

// The entries of a folder, oldest first. With `tidy`, half-written
// temporary files of a run that ended during a write are removed (only the
// outbox's owner may: another process's write may be under way).
std::vector<Listed> ListEntries(const std::string& folder, bool tidy = true) {
  std::vector<Listed> out;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(folder, ec)) {
    const std::string name = e.path().filename().string();
    if (name.find(".upl.") != std::string::npos || name.find(".why.") != std::string::npos) {
      if (tidy) fs::remove(e.path(), ec);
      continue;
    }
    const uint64_t seq = SeqOf(name);
    if (seq == 0) continue;
    // Whatever holds an entry's name counts (what cannot be read is set
    // aside when its turn comes).
    const uint64_t size = e.is_regular_file(ec) ? static_cast<uint64_t>(e.file_size(ec)) : 0;
    out.push_back({seq, e.path(), size});
  }
  std::sort(out.begin(), out.end(), [](const Listed& a, const Listed& b) { return a.seq < b.seq; });
  return out;
}

}  // namespace

OutboxSummary SummarizeOutbox(const std::string& outbox_folder, const std::string& rejected_folder) {
  OutboxSummary s;
  std::error_code ec;
  for (const Listed& e : ListEntries(outbox_folder, false)) {
    ++s.waiting;
    s.waiting_bytes += e.bytes;
    const auto written = fs::last_write_time(e.path, ec);
    if (!ec) {
      const auto age = fs::file_time_type::clock::now() - written;
      s.oldest_age_seconds =
          std::max<int64_t>(s.oldest_age_seconds, std::chrono::duration_cast<std::chrono::seconds>(age).count());
    }
  }
  const std::vector<Listed> rejected = ListEntries(rejected_folder, false);
  s.rejected = rejected.size();
  if (!rejected.empty()) {
    const fs::path& newest = rejected.back().path;
    s.newest_rejected = newest.filename().string();
    std::string why;
    int err = 0;
    const std::string why_path = (newest.parent_path() / (newest.stem().string() + ".why")).string();
    if (platform::ReadWholeFile(why_path, &why, &err)) {
      while (!why.empty() && (why.back() == '\n' || why.back() == '\r')) why.pop_back();
      s.newest_rejected_why = why;
    }
  }
  return s;
}

UploadOutbox::UploadOutbox(std::string outbox_folder, std::string rejected_folder, OutboxLimits limits)
    : folder_(std::move(outbox_folder)), rejected_(std::move(rejected_folder)), limits_(limits) {}

bool UploadOutbox::Open() {
  std::lock_guard<std::mutex> l(mu_);
  int err = 0;
  if (!platform::MakePrivateFolder(folder_, &err)) {
    Log(LOG_ERROR, "outbox folder %s cannot be made, errno:%d", folder_.c_str(), err);
    return false;
  }
  if (!platform::MakePrivateFolder(rejected_, &err))
    Log(LOG_ERROR, "rejected folder %s cannot be made, errno:%d", rejected_.c_str(), err);
  entries_.clear();
  bytes_ = 0;
  for (const Listed& e : ListEntries(folder_)) {
    entries_.push_back({e.seq, e.path.filename().string(), e.bytes});
    bytes_ += e.bytes;
  }
  const std::vector<Listed> rejected = ListEntries(rejected_);
  rejected_count_ = rejected.size();
  // Numbers go on after both folders' entries, so a name is never reused.
  next_seq_ = 1;
  if (!entries_.empty()) next_seq_ = entries_.back().seq + 1;
  if (!rejected.empty()) next_seq_ = std::max(next_seq_, rejected.back().seq + 1);
  if (!entries_.empty()) Log(LOG_INFO, "outbox: %zu receipts from an earlier run wait for the cloud", entries_.size());
  EnforceLocked();
  return true;
}

UploadOutbox::AddResult UploadOutbox::Add(const std::string& body, std::string* name) {
  std::lock_guard<std::mutex> l(mu_);
  const std::string entry = NameOf(next_seq_);
  if (body.size() > limits_.max_entry_bytes) {
    // Never sent, never retried: kept aside for someone to look at.
    int err = 0;
    if (platform::WriteFileDurably(rejected_ + "/" + entry, body, false, &err)) {
      ++next_seq_;
      ++rejected_count_;
      Log(LOG_ERROR, "outbox: upload of %zu bytes is larger than %" PRIu64 " bytes, kept in %s as %s", body.size(),
          limits_.max_entry_bytes, rejected_.c_str(), entry.c_str());
      EnforceRejectedLocked();
      return AddResult::kQuarantined;
    }
    Log(LOG_ERROR, "outbox: upload of %zu bytes could not be kept aside, errno:%d", body.size(), err);
    return AddResult::kFailed;
  }
  int err = 0;
  if (!platform::WriteFileDurably(PathOf(entry), body, false, &err)) {
    Log(LOG_ERROR, "outbox: %s cannot be written, errno:%d", PathOf(entry).c_str(), err);
    return AddResult::kFailed;
  }
  entries_.push_back({next_seq_, entry, body.size()});
  bytes_ += body.size();
  ++next_seq_;
  if (name != nullptr) *name = entry;
  EnforceLocked();
  return AddResult::kAdded;
}

bool UploadOutbox::Front(std::string* name, std::string* body) {
  std::lock_guard<std::mutex> l(mu_);
  while (!entries_.empty()) {
    const Entry e = entries_.front();
    int err = 0;
    if (platform::ReadWholeFile(PathOf(e.name), body, &err)) {
      *name = e.name;
      return true;
    }
    if (!platform::PathExists(PathOf(e.name))) {
      // Gone under us (someone cleaned the folder): nothing to keep.
      Log(LOG_WARNING, "outbox: %s disappeared", e.name.c_str());
      bytes_ -= e.bytes;
      entries_.pop_front();
      continue;
    }
    RejectLocked(e.name, "unreadable, errno " + std::to_string(err));
  }
  return false;
}

void UploadOutbox::Remove(const std::string& name) {
  std::lock_guard<std::mutex> l(mu_);
  for (auto it = entries_.begin(); it != entries_.end(); ++it) {
    if (it->name != name) continue;
    int err = 0;
    if (!platform::RemoveDurably(PathOf(name), &err))
      Log(LOG_WARNING, "outbox: %s could not be removed, errno:%d", name.c_str(), err);
    bytes_ -= it->bytes;
    entries_.erase(it);
    return;
  }
}

void UploadOutbox::Reject(const std::string& name, const std::string& why) {
  std::lock_guard<std::mutex> l(mu_);
  RejectLocked(name, why);
}

void UploadOutbox::RejectLocked(const std::string& name, const std::string& why) {
  for (auto it = entries_.begin(); it != entries_.end(); ++it) {
    if (it->name != name) continue;
    bytes_ -= it->bytes;
    entries_.erase(it);
    break;
  }
  // The reason first: whoever finds the entry set aside finds it with it.
  int err = 0;
  platform::WriteFileDurably(WhyPath(name), why + "\n", true, &err);
  std::error_code ec;
  fs::rename(PathOf(name), rejected_ + "/" + name, ec);
  if (ec) {
    Log(LOG_ERROR, "outbox: %s could not be moved to %s (%s); removed", name.c_str(), rejected_.c_str(),
        ec.message().c_str());
    fs::remove(PathOf(name), ec);
    fs::remove(WhyPath(name), ec);
    return;
  }
  platform::SyncFolder(rejected_, &err);
  platform::SyncFolder(folder_, &err);
  ++rejected_count_;
  Log(LOG_ERROR, "outbox: receipt %s rejected (%s), kept in %s", name.c_str(), why.c_str(), rejected_.c_str());
  EnforceRejectedLocked();
}

void UploadOutbox::EnforceLocked() {
  size_t dropped = 0;
  uint64_t dropped_bytes = 0;
  const FolderLimits& lim = limits_.outbox;
  while (!entries_.empty()) {
    const Entry& e = entries_.front();
    const bool over = (lim.max_count > 0 && entries_.size() > lim.max_count) ||
                      (lim.max_bytes > 0 && bytes_ > lim.max_bytes) || OlderThanDays(PathOf(e.name), lim.max_age_days);
    if (!over) break;
    std::error_code ec;
    fs::remove(PathOf(e.name), ec);
    ++dropped;
    dropped_bytes += e.bytes;
    bytes_ -= e.bytes;
    entries_.pop_front();
  }
  if (dropped > 0) {
    int err = 0;
    platform::SyncFolder(folder_, &err);
    Log(LOG_ERROR,
        "outbox: %zu waiting receipts (%" PRIu64
        " bytes) dropped, the oldest first: the outbox keeps at most %zu "
        "receipts, %" PRIu64 " bytes, %u days",
        dropped, dropped_bytes, lim.max_count, lim.max_bytes, lim.max_age_days);
  }
}

void UploadOutbox::EnforceRejectedLocked() {
  const FolderLimits& lim = limits_.rejected;
  std::vector<Listed> list = ListEntries(rejected_);
  uint64_t total = 0;
  for (const Listed& e : list) total += e.bytes;
  size_t dropped = 0;
  size_t at = 0;
  while (at < list.size()) {
    const size_t left = list.size() - at;
    const bool over = (lim.max_count > 0 && left > lim.max_count) || (lim.max_bytes > 0 && total > lim.max_bytes) ||
                      OlderThanDays(list[at].path, lim.max_age_days);
    if (!over) break;
    std::error_code ec;
    fs::remove_all(list[at].path, ec);
    fs::remove(WhyPath(list[at].path.filename().string()), ec);
    total -= list[at].bytes;
    ++dropped;
    ++at;
  }
  rejected_count_ = list.size() - at;
  if (dropped > 0)
    Log(LOG_WARNING,
        "rejected folder: %zu oldest receipts dropped: it keeps at most %zu receipts, %" PRIu64 " bytes, %u days",
        dropped, lim.max_count, lim.max_bytes, lim.max_age_days);
}

size_t UploadOutbox::Count() {
  std::lock_guard<std::mutex> l(mu_);
  return entries_.size();
}

uint64_t UploadOutbox::Bytes() {
  std::lock_guard<std::mutex> l(mu_);
  return bytes_;
}

size_t UploadOutbox::RejectedCount() {
  std::lock_guard<std::mutex> l(mu_);
  return rejected_count_;
}

}  // namespace tillcast::capture
