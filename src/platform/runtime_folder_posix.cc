// The runtime folder: where the single-instance lock and the local endpoint
// live. A name in /tmp can be made by anyone first, so a folder is only
// used when it is plainly ours alone.
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>

#include "platform/env.h"
#include "platform/private_file.h"

namespace tillcast::platform {
namespace {

std::mutex g_warningLock;
std::string g_warning;  // guarded by g_warningLock

void SetWarning(std::string text) {
  std::lock_guard<std::mutex> l(g_warningLock);
  g_warning = std::move(text);
}

}  // namespace

std::string RuntimeFolder() {
  std::string dir = EnvOr("XDG_RUNTIME_DIR", "");
  if (dir.empty()) {
    dir = "/tmp/tillcast-" + std::to_string(geteuid());
    mkdir(dir.c_str(), 0700);  // an existing one is judged below like any other
  }
  std::string why;
  if (IsPrivateFolder(dir, &why)) {
    SetWarning({});
    return dir;
  }
  // A private folder of our own instead: under the data folder, which no
  // one else can reach.
  const std::string fallback = UserDataRoot() + "/Tillcast/run";
  int err = 0;
  MakePrivateFolders(fallback, &err);
  SetWarning("runtime folder " + dir + " " + why + ": not used, " + fallback + " instead");
  return fallback;
}

std::string RuntimeFolderWarning() {
  std::lock_guard<std::mutex> l(g_warningLock);
  return g_warning;
}

}  // namespace tillcast::platform
