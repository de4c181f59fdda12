// A SOCK_SEQPACKET listening socket at a path: the driver's control socket
// and the port keeper's socket.
#pragma once

#include <sys/types.h>

#include <string>

#include "platform/scoped_fd.h"

namespace tillcast::serialfilter {

// Binds and listens at `path` (making the folders above it), the socket
// created with `mode`; a stale socket file is replaced. False with `*error`
// when that fails; `*in_use` is true when another process answers there
// (the file is then left alone).
bool BindListener(const std::string& path, unsigned mode, platform::ScopedFd* out, std::string* error, bool* in_use);

// Root, our own user and, unless `group` is -1, members of `group` (as
// their primary or a supplementary group when they connected) may talk to
// us. False (connection to drop) for anyone else.
bool PeerAllowed(int fd, gid_t group = static_cast<gid_t>(-1));

}  // namespace tillcast::serialfilter
