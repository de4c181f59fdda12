#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include "platform/terminate_signals.h"

namespace tillcast::platform {
namespace {

int g_pipe[2] = {-1, -1};

// Only writes a byte: async-signal-safe.
void OnTerminate(int sig) {
  const int saved = errno;  // the interrupted code may be about to read it
  const char c = static_cast<char>(sig);
  (void)!write(g_pipe[1], &c, 1);
  errno = saved;
}

}  // namespace

int WatchTerminateSignals() {
  if (g_pipe[0] < 0 && pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return -1;
  struct sigaction sa {};
  sa.sa_handler = OnTerminate;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  return g_pipe[0];
}

void DrainTerminateSignals() {
  char buf[16];
  while (g_pipe[0] >= 0 && read(g_pipe[0], buf, sizeof(buf)) > 0) {
  }
}

void RestoreTerminateSignals() {
  signal(SIGTERM, SIG_DFL);
  signal(SIGINT, SIG_DFL);
}

}  // namespace tillcast::platform
