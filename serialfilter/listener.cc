#include "listener.h"

#include <errno.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "ports.h"

namespace tillcast::serialfilter {

using platform::ScopedFd;

bool BindListener(const std::string& path, unsigned mode, ScopedFd* out, std::string* error, bool* in_use) {
  *in_use = false;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof(addr.sun_path)) {
    *error = "socket path unusable: " + path;
    return false;
  }
  std::memcpy(addr.sun_path, path.c_str(), path.size());
  if (!MakeParents(path)) {
    *error = "cannot create the folder of " + path + ": " + std::strerror(errno);
    return false;
  }
  {
    ScopedFd probe(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    if (probe.valid() && connect(probe.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0) {
      *in_use = true;
      *error = "another process serves " + path;
      return false;
    }
  }
  unlink(path.c_str());
  ScopedFd fd(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
  const mode_t old_mask = umask(0777 & ~mode);
  const bool bound = fd.valid() && bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
  umask(old_mask);
  if (!bound || listen(fd.get(), 16) != 0) {
    *error = "cannot bind " + path + ": " + std::strerror(errno);
    return false;
  }
  *out = std::move(fd);
  return true;
}

bool PeerAllowed(int fd, gid_t group) {
  ucred cred{};
  socklen_t len = sizeof(cred);
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) return false;
  if (cred.uid == 0 || cred.uid == getuid()) return true;
  if (group == static_cast<gid_t>(-1)) return false;
  if (cred.gid == group) return true;
  // The supplementary groups the peer had when it connected.
  std::vector<gid_t> groups(64);
  for (int tries = 0; tries < 4; ++tries) {
    socklen_t size = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
    if (getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &size) == 0) {
      groups.resize(size / sizeof(gid_t));
      for (gid_t g : groups)
        if (g == group) return true;
      return false;
    }
    if (errno != ERANGE) return false;
    groups.resize(size / sizeof(gid_t) + 1);
  }
  return false;
}

}  // namespace tillcast::serialfilter
