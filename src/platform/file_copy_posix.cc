#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/file_copy.h"
#include "platform/private_file.h"
#include "platform/scoped_fd.h"

namespace tillcast::platform {

FileStamp StatFile(const std::string& path) {
  FileStamp s;
  struct stat st {};
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return s;
  s.exists = true;
  s.mtime_ns = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  s.size = static_cast<uint64_t>(st.st_size);
  return s;
}

bool CopyFileKeepingTime(const std::string& src, const std::string& dst) {
  ScopedFd in(open(src.c_str(), O_RDONLY | O_CLOEXEC));
  if (in.get() < 0) return false;
  struct stat st {};
  if (fstat(in.get(), &st) != 0) return false;
  int err = 0;
  if (const size_t slash = dst.rfind('/'); slash != std::string::npos && slash > 0)
    MakePrivateFolders(dst.substr(0, slash), &err);
  // A copy holds a customer's receipt: private to the user, and never
  // written through a link.
  ScopedFd out(open(dst.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (out.get() < 0) return false;
  char buf[65536];
  for (;;) {
    ssize_t n = read(in.get(), buf, sizeof(buf));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    for (ssize_t done = 0; done < n;) {
      const ssize_t w = write(out.get(), buf + done, static_cast<size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) return false;
      done += w;
    }
  }
  const timespec times[2] = {st.st_atim, st.st_mtim};
  return futimens(out.get(), times) == 0;
}

}  // namespace tillcast::platform
