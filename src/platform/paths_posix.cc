#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>

#include "platform/paths.h"
#include "platform/private_file.h"

namespace tillcast::platform {

std::string ExecutablePath() {
  char buf[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
  if (n <= 0) return {};
  return std::string(buf, static_cast<size_t>(n));
}

bool PathExists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0;
}

bool IsDirectory(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool MakeDirectory(const std::string& path) { return mkdir(path.c_str(), 0755) == 0 || errno == EEXIST; }

bool MakeDirectories(const std::string& path) {
  if (path.empty() || PathExists(path)) return true;
  for (size_t pos = 1; pos <= path.size(); ++pos) {
    pos = path.find('/', pos);
    if (pos == std::string::npos) pos = path.size();
    if (!MakeDirectory(path.substr(0, pos))) return false;
  }
  return true;
}

bool ReplaceFileAtomically(const std::string& path, const std::string& data, int* err) {
  return WriteFileDurably(path, data, true, err);
}

bool SetCurrentFolder(const std::string& path) { return chdir(path.c_str()) == 0; }

bool ReadWholeFile(const std::string& path, std::string* out, int* err) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) {
    if (err) *err = errno;
    return false;
  }
  out->clear();
  char buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof(buf), f)) > 0) out->append(buf, n);
  const bool ok = !std::ferror(f);
  if (!ok && err) *err = errno;
  std::fclose(f);
  return ok;
}

}  // namespace tillcast::platform
