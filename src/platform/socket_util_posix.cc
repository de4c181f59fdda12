#include <sys/socket.h>

#include "platform/socket_util.h"

namespace tillcast::platform {

bool ShutdownSocket(int fd) { return fd >= 0 && shutdown(fd, SHUT_RDWR) == 0; }

}  // namespace tillcast::platform
