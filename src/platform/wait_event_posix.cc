#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

#include "platform/wait_event.h"

namespace tillcast::platform {

std::unique_ptr<WaitEvent> WaitEvent::Create() {
  const int fd = eventfd(0, EFD_SEMAPHORE | EFD_NONBLOCK | EFD_CLOEXEC);
  if (fd < 0) return nullptr;
  return std::unique_ptr<WaitEvent>(new WaitEvent(fd));
}

WaitEvent::~WaitEvent() { close(fd_); }

void WaitEvent::Signal() {
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t n = write(fd_, &one, sizeof(one));
}

bool WaitEvent::TryConsume() {
  uint64_t v = 0;
  for (;;) {
    const ssize_t n = read(fd_, &v, sizeof(v));
    if (n == sizeof(v)) return true;
    if (n < 0 && errno == EINTR) continue;
    return false;
  }
}

WaitResult WaitAny(const std::vector<const WaitEvent*>& events, int timeout_ms, std::vector<size_t>* ready) {
  std::vector<pollfd> fds;
  fds.reserve(events.size());
  for (const WaitEvent* e : events) fds.push_back({e->native(), POLLIN, 0});
  int n;
  do {
    n = poll(fds.data(), fds.size(), timeout_ms);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return WaitResult::kFailed;
  if (n == 0) return WaitResult::kTimeout;
  ready->clear();
  for (size_t i = 0; i < fds.size(); ++i)
    if (fds[i].revents & POLLIN) ready->push_back(i);
  return ready->empty() ? WaitResult::kFailed : WaitResult::kSignalled;
}

}  // namespace tillcast::platform
