#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <strings.h>
#include <unistd.h>

#include "platform/env.h"
#include "platform/private_file.h"
#include "platform/user_values.h"

namespace tillcast::platform {
namespace {

// "Software\\Zellora" -> "Zellora"; further backslashes become folders.
std::string KeyToRelative(const std::string& key) {
  std::string k = key;
  const std::string prefix = "Software\\";
  if (k.size() >= prefix.size() && strncasecmp(k.c_str(), prefix.c_str(), prefix.size()) == 0)
    k = k.substr(prefix.size());
  for (char& c : k)
    if (c == '\\') c = '/';
  return k;
}

}  // namespace

PosixUserValueStore::PosixUserValueStore(std::string root) : root_(root.empty() ? UserConfigRoot() : std::move(root)) {}

std::string PosixUserValueStore::PathOf(const std::string& key, const std::string& name) const {
  return root_ + "/" + KeyToRelative(key) + "/" + name;
}

bool PosixUserValueStore::Read(const std::string& key, const std::string& name, std::string* value) {
  const int fd = open(PathOf(key, name).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  std::string data;
  char buf[4096];
  bool ok = true;
  for (;;) {
    const ssize_t n = read(fd, buf, sizeof(buf));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ok = false;
      break;
    }
    if (n == 0) break;
    data.append(buf, static_cast<size_t>(n));
    if (data.size() > kMaxUserValueBytes) {
      ok = false;  // does not fit the value buffer: the query fails
      break;
    }
  }
  close(fd);
  if (!ok) return false;
  *value = std::move(data);
  return true;
}

bool PosixUserValueStore::Write(const std::string& key, const std::string& name, const std::string& value) {
  const std::string path = PathOf(key, name);
  int err = 0;
  // The value is a device key: its folder and file are the user's alone,
  // and each write has a temporary file of its own, so two writers at once
  // never share (or truncate) one.
  if (!MakePrivateFolders(path.substr(0, path.rfind('/')), &err)) return false;
  return WriteFileDurably(path, value, true, &err);
}

}  // namespace tillcast::platform
