#include "keeper_protocol.h"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>

#include <cstring>

namespace tillcast::serialfilter {

bool SendKeeperMessage(int sock, const std::string& bytes, const std::vector<int>& fds) {
  if (fds.size() > kKeeperMaxFds) return false;
  iovec iov{const_cast<char*>(bytes.data()), bytes.size()};
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kKeeperMaxFds)];
  if (!fds.empty()) {
    std::memset(control, 0, sizeof(control));
    msg.msg_control = control;
    msg.msg_controllen = CMSG_SPACE(sizeof(int) * fds.size());
    cmsghdr* c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int) * fds.size());
    std::memcpy(CMSG_DATA(c), fds.data(), sizeof(int) * fds.size());
  }
  ssize_t n;
  do {
    n = sendmsg(sock, &msg, MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  return n == static_cast<ssize_t>(bytes.size());
}

bool ReceiveKeeperMessage(int sock, int timeout_ms, std::string* bytes, std::vector<platform::ScopedFd>* fds) {
  pollfd p{sock, POLLIN, 0};
  int ready;
  do {
    ready = poll(&p, 1, timeout_ms);
  } while (ready < 0 && errno == EINTR);
  if (ready <= 0) return false;
  std::string buf(kKeeperMaxMessage + 1, '\0');
  iovec iov{buf.data(), buf.size()};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kKeeperMaxFds)];
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = sizeof(control);
  ssize_t n;
  do {
    n = recvmsg(sock, &msg, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return false;
  // Descriptors are taken over first, so none leaks on a bad message.
  for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
    const size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
    for (size_t i = 0; i < count; ++i) {
      int fd = -1;
      std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof(int));
      fds->emplace_back(fd);
    }
  }
  if (msg.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) return false;
  bytes->assign(buf.data(), static_cast<size_t>(n));
  return true;
}

}  // namespace tillcast::serialfilter
