#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

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
