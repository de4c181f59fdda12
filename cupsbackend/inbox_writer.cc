#include "inbox_writer.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "capture/cups_copy.h"

namespace tillcast::cupsbackend {
namespace {

std::string Errno(int err) { return std::strerror(err); }

size_t EnvNumber(const char* name, size_t fallback) {
  const char* v = std::getenv(name);
  if (v == nullptr || *v == '\0') return fallback;
  char* end = nullptr;
  const unsigned long long n = std::strtoull(v, &end, 10);
  return end != nullptr && *end == '\0' && n > 0 ? static_cast<size_t>(n) : fallback;
}

// The group copies belong to: `tillcast` when it exists.
bool CopyGroup(gid_t* gid) {
  const group* g = getgrnam("tillcast");
  if (g == nullptr) return false;
  *gid = g->gr_gid;
  return true;
}

struct Entry {
  std::string name;
  uint64_t size;
  time_t mtime;
};

// Regular files of `folder` (links and folders are not looked at).
std::vector<Entry> List(const std::string& folder) {
  std::vector<Entry> out;
  DIR* d = opendir(folder.c_str());
  if (d == nullptr) return out;
  while (const dirent* e = readdir(d)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    struct stat st {};
    if (fstatat(dirfd(d), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) continue;
    out.push_back({name, static_cast<uint64_t>(st.st_size), st.st_mtime});
  }
  closedir(d);
  return out;
}

}  // namespace

bool WriteFully(int fd, const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::write(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

InboxLimits InboxLimitsFromEnv() {
  InboxLimits limits;
  limits.max_files = EnvNumber("TILLCAST_CUPS_INBOX_MAX_FILES", limits.max_files);
  limits.max_bytes = static_cast<uint64_t>(EnvNumber("TILLCAST_CUPS_INBOX_MAX_MB", limits.max_bytes >> 20)) << 20;
  return limits;
}

bool EnsureInbox(const std::string& folder, std::string* error) {
  struct stat st {};
  if (lstat(folder.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return true;
    *error = folder + " is not a folder";
    return false;
  }
  if (errno != ENOENT) {
    *error = folder + ": " + Errno(errno);
    return false;
  }
  const size_t slash = folder.find_last_of('/');
  if (slash != std::string::npos && slash > 0) {
    const std::string parent = folder.substr(0, slash);
    if (lstat(parent.c_str(), &st) != 0 && errno == ENOENT) {
      // Only the one missing parent (/var/spool/tillcast): deeper gaps are
      // a wrong setting, not a fresh machine.
      if (mkdir(parent.c_str(), 0755) != 0 && errno != EEXIST) {
        *error = parent + ": " + Errno(errno);
        return false;
      }
    }
  }
  if (mkdir(folder.c_str(), 0770) != 0 && errno != EEXIST) {
    *error = folder + ": " + Errno(errno);
    return false;
  }
  gid_t gid;
  if (geteuid() == 0 && CopyGroup(&gid) && chown(folder.c_str(), 0, gid) != 0) {
    *error = folder + ": " + Errno(errno);
    return false;
  }
  // Set after the owner: chown clears the set-group-ID bit.
  if (chmod(folder.c_str(), 02770) != 0) {
    *error = folder + ": " + Errno(errno);
    return false;
  }
  return true;
}

CopyFile::~CopyFile() { Discard(); }

bool CopyFile::Open(const std::string& folder, const std::string& header, std::string* error) {
  Discard();
  folder_ = folder;
  failed_ = false;
  why_.clear();
  body_ = 0;
  total_ = 0;
  if (max_document_ == 0) max_document_ = capture::kCupsCopyMaxDocument;
  for (int attempt = 0; attempt < 100 && fd_ < 0; ++attempt) {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    temp_ =
        folder + "/.tmp-" + std::to_string(getpid()) + "-" + std::to_string(ts.tv_nsec) + "-" + std::to_string(attempt);
    fd_ = ::open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0640);
    if (fd_ < 0 && errno != EEXIST) break;
  }
  if (fd_ < 0) {
    *error = "a copy cannot be created in " + folder + ": " + Errno(errno);
    temp_.clear();
    return false;
  }
  gid_t gid;
  if (geteuid() == 0 && CopyGroup(&gid)) (void)fchown(fd_, 0, gid);
  (void)fchmod(fd_, 0640);
  if (!WriteFully(fd_, header.data(), header.size())) {
    *error = "the copy cannot be written: " + Errno(errno);
    Discard();
    return false;
  }
  total_ = header.size();
  return true;
}

void CopyFile::Write(const void* data, size_t size) {
  if (fd_ < 0 || failed_ || size == 0) return;
  if (body_ + size > max_document_) {
    failed_ = true;
    why_ = "the document is larger than " + std::to_string(max_document_ >> 20) + " MB";
    return;
  }
  if (!WriteFully(fd_, data, size)) {
    failed_ = true;
    why_ = "the copy cannot be written: " + Errno(errno);
    return;
  }
  body_ += size;
  total_ += size;
}

bool CopyFile::Publish(const std::string& name, std::string* error) {
  if (fd_ < 0 || failed_) {
    *error = failed_ ? why_ : "no copy";
    Discard();
    return false;
  }
  if (fsync(fd_) != 0) {
    *error = "the copy cannot be flushed: " + Errno(errno);
    Discard();
    return false;
  }
  ::close(fd_);
  fd_ = -1;
  const std::string final_path = folder_ + "/" + name;
  // Renamed, so the agent's watch sees it arrive whole; a finished copy is
  // never replaced (a name taken means another copy).
  int rc = renameat2(AT_FDCWD, temp_.c_str(), AT_FDCWD, final_path.c_str(), RENAME_NOREPLACE);
  if (rc != 0 && errno == EINVAL) {
    struct stat st {};
    if (lstat(final_path.c_str(), &st) == 0)
      errno = EEXIST;
    else
      rc = ::rename(temp_.c_str(), final_path.c_str());
  }
  if (rc != 0) {
    *error = final_path + ": " + Errno(errno);
    Discard();
    return false;
  }
  temp_.clear();
  if (const int dir = ::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dir >= 0) {
    (void)fsync(dir);
    ::close(dir);
  }
  return true;
}

void CopyFile::Discard() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
  if (!temp_.empty()) {
    ::unlink(temp_.c_str());
    temp_.clear();
  }
}

size_t MakeRoom(const std::string& folder, const InboxLimits& limits, uint64_t incoming) {
  std::vector<Entry> copies;
  for (auto& e : List(folder))
    if (capture::IsCupsCopyName(e.name)) copies.push_back(std::move(e));
  std::sort(copies.begin(), copies.end(), [](const Entry& a, const Entry& b) { return a.name < b.name; });
  uint64_t bytes = incoming;
  for (const auto& e : copies) bytes += e.size;
  size_t files = copies.size() + 1;
  size_t dropped = 0;
  for (const auto& e : copies) {
    if (files <= limits.max_files && bytes <= limits.max_bytes) break;
    if (::unlink((folder + "/" + e.name).c_str()) != 0) continue;
    --files;
    bytes -= e.size;
    ++dropped;
  }
  return dropped;
}

void RemoveStaleTemporaries(const std::string& folder, int max_age_s) {
  const time_t now = time(nullptr);
  for (const auto& e : List(folder))
    if (e.name.rfind(".tmp-", 0) == 0 && now - e.mtime > max_age_s) ::unlink((folder + "/" + e.name).c_str());
}

}  // namespace tillcast::cupsbackend
