#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "platform/private_file.h"

namespace tillcast::platform {
namespace {

bool Fail(int* err) {
  if (err != nullptr) *err = errno;
  return false;
}

}  // namespace

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool MakePrivateFolder(const std::string& path, int* err) {
  if (mkdir(path.c_str(), 0700) == 0) return true;
  struct stat st {};
  if (errno == EEXIST && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return true;
  return Fail(err);
}

bool MakePrivateFolders(const std::string& path, int* err) {
  if (path.empty()) {
    errno = ENOENT;
    return Fail(err);
  }
  for (size_t pos = path.find('/', 1);; pos = path.find('/', pos + 1)) {
    const std::string part = pos == std::string::npos ? path : path.substr(0, pos);
    if (!part.empty() && part.back() != '/' && !MakePrivateFolder(part, err)) return false;
    if (pos == std::string::npos) return true;
  }
}

bool RestrictFolderToOwner(const std::string& path, int* err) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return Fail(err);
  if (!S_ISDIR(st.st_mode) || st.st_uid != geteuid()) {
    errno = EPERM;
    return Fail(err);
  }
  if ((st.st_mode & 077) == 0) return true;
  return chmod(path.c_str(), st.st_mode & 07700) == 0 || Fail(err);
}

bool IsPrivateFolder(const std::string& path, std::string* why) {
  struct stat st {};
  char text[160];
  if (lstat(path.c_str(), &st) != 0) {
    std::snprintf(text, sizeof(text), "cannot be read (errno %d)", errno);
  } else if (S_ISLNK(st.st_mode)) {
    std::snprintf(text, sizeof(text), "is a link");
  } else if (!S_ISDIR(st.st_mode)) {
    std::snprintf(text, sizeof(text), "is not a folder");
  } else if (st.st_uid != geteuid()) {
    std::snprintf(text, sizeof(text), "belongs to user %u", static_cast<unsigned>(st.st_uid));
  } else if ((st.st_mode & 0777) != 0700) {
    std::snprintf(text, sizeof(text), "has mode %03o, not 0700", static_cast<unsigned>(st.st_mode & 0777));
  } else {
    return true;
  }
  if (why != nullptr) *why = text;
  return false;
}

FILE* OpenPrivateFile(const std::string& path, bool append) {
  const int how = append ? O_APPEND : O_TRUNC;
  ScopedFd fd(open(path.c_str(), O_WRONLY | O_CREAT | how | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd.valid()) return nullptr;
  FILE* f = fdopen(fd.get(), append ? "ab" : "wb");
  if (f != nullptr) fd.release();
  return f;
}

bool CreateNewFile(const std::string& path, ScopedFd* out, int* err) {
  ScopedFd fd(open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd.valid()) return Fail(err);
  *out = std::move(fd);
  return true;
}

bool WriteAll(int fd, const void* data, size_t size, int* err) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = write(fd, p, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Fail(err);
    }
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool SyncFile(int fd, int* err) { return fsync(fd) == 0 || Fail(err); }

bool SyncFolder(const std::string& folder, int* err) {
  ScopedFd fd(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.valid()) return Fail(err);
  return fsync(fd.get()) == 0 || Fail(err);
}

bool WriteFileDurably(const std::string& path, const std::string& data, bool replace, int* err) {
  std::string tmp = path + ".XXXXXX";
  // mkstemp: a name of its own (0600, O_EXCL), so concurrent writers never
  // share a temporary file.
  ScopedFd fd(mkostemp(tmp.data(), O_CLOEXEC));
  if (!fd.valid()) return Fail(err);
  bool ok = WriteAll(fd.get(), data.data(), data.size(), err) && SyncFile(fd.get(), err);
  if (ok && close(fd.release()) != 0) ok = Fail(err);
  if (ok) {
    if (replace) {
      if (rename(tmp.c_str(), path.c_str()) != 0) ok = Fail(err);
    } else {
      // link() refuses an existing name, where rename would replace it.
      if (link(tmp.c_str(), path.c_str()) != 0) ok = Fail(err);
      unlink(tmp.c_str());
    }
  }
  if (!ok) {
    const int saved = errno;
    unlink(tmp.c_str());
    errno = saved;
    return false;
  }
  return SyncFolder(FolderOf(path), err);
}

bool RemoveDurably(const std::string& path, int* err) {
  if (unlink(path.c_str()) != 0) return Fail(err);
  return SyncFolder(FolderOf(path), err);
}

}  // namespace tillcast::platform
