// Small socket operations the core needs on descriptors owned by libraries.
#pragma once

namespace tillcast::platform {

// Shuts both directions of a connected socket, so that a call blocked on it
// in another thread returns at once. The descriptor stays open.
bool ShutdownSocket(int fd);

}  // namespace tillcast::platform
