// Everything the signal handler touches is prepared beforehand in fixed
// buffers: inside the handler only async-signal-safe calls are made.
#include "crashreport.h"

#include <execinfo.h>
#include <fcntl.h>
#include <limits.h>
#include <stdint.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

namespace {

char g_folder[PATH_MAX];
char g_mail[256];
char g_app[512];
volatile sig_atomic_t g_in_handler = 0;
char g_alt_stack[64 * 1024];

const int kSignals[] = {SIGSEGV, SIGABRT, SIGBUS, SIGFPE, SIGILL};

void CopyText(char* dst, size_t cap, const char* src) {
  if (src == nullptr) src = "";
  const size_t n = strnlen(src, cap - 1);
  memcpy(dst, src, n);
  dst[n] = '\0';
}

void WriteText(int fd, const char* s) {
  size_t n = strlen(s);
  while (n > 0) {
    const ssize_t w = write(fd, s, n);
    if (w <= 0) return;
    s += w;
    n -= static_cast<size_t>(w);
  }
}

// Decimal text of v into buf (at least 24 bytes), signal-safe.
const char* Decimal(long long v, char* buf) {
  char tmp[24];
  int i = 0;
  const bool neg = v < 0;
  unsigned long long u = neg ? 0ull - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v);
  do {
    tmp[i++] = static_cast<char>('0' + u % 10);
    u /= 10;
  } while (u && i < 22);
  int j = 0;
  if (neg) buf[j++] = '-';
  while (i) buf[j++] = tmp[--i];
  buf[j] = '\0';
  return buf;
}

void Handler(int sig, siginfo_t* info, void*) {
  if (!g_in_handler) {
    g_in_handler = 1;
    char num[24], path[PATH_MAX + 64];
    path[0] = '\0';
    strcat(path, g_folder);
    strcat(path, "/crash_");
    strcat(path, Decimal(static_cast<long long>(time(nullptr)), num));
    strcat(path, "_");
    strcat(path, Decimal(getpid(), num));
    strcat(path, ".txt");
    const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) {
      WriteText(fd, "application: ");
      WriteText(fd, g_app);
      WriteText(fd, "\r\nmail: ");
      WriteText(fd, g_mail);
      WriteText(fd, "\r\nsignal: ");
      WriteText(fd, Decimal(sig, num));
      WriteText(fd, " (");
      WriteText(fd, sigabbrev_np(sig) ? sigabbrev_np(sig) : "?");
      WriteText(fd, ")\r\naddress: ");
      WriteText(fd, Decimal(static_cast<long long>(reinterpret_cast<uintptr_t>(info ? info->si_addr : nullptr)), num));
      WriteText(fd, "\r\npid: ");
      WriteText(fd, Decimal(getpid(), num));
      WriteText(fd, "\r\nbacktrace:\r\n");
      void* frames[64];
      const int n = backtrace(frames, 64);
      backtrace_symbols_fd(frames, n, fd);
      close(fd);
    }
  }
  // Let the default action end the process with the same signal.
  signal(sig, SIG_DFL);
  raise(sig);
}

}  // namespace

extern "C" int Install(void*, const char* mail, const char* app_name, int) {
  const char* env = getenv("TILLCAST_LOG_DIR");
  if (env != nullptr && *env != '\0') {
    CopyText(g_folder, sizeof(g_folder), env);
  } else {
    char exe[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
    if (n <= 0) return 0;
    exe[n] = '\0';
    char* slash = strrchr(exe, '/');
    if (slash != nullptr) *slash = '\0';
    CopyText(g_folder, sizeof(g_folder), exe);
    strncat(g_folder, "/logs", sizeof(g_folder) - strlen(g_folder) - 1);
  }
  CopyText(g_mail, sizeof(g_mail), mail);
  CopyText(g_app, sizeof(g_app), app_name);
  // backtrace() loads libgcc on first use, which is not signal-safe: do it now.
  void* warm[1];
  backtrace(warm, 1);
  stack_t ss{};
  ss.ss_sp = g_alt_stack;
  ss.ss_size = sizeof(g_alt_stack);
  sigaltstack(&ss, nullptr);  // a stack overflow still gets its report
  struct sigaction sa {};
  sa.sa_sigaction = Handler;
  sa.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&sa.sa_mask);
  for (int s : kSignals) sigaction(s, &sa, nullptr);
  return 1;
}

extern "C" int SetReportFolder(const char* folder) {
  if (folder == nullptr || *folder == '\0') return 0;
  CopyText(g_folder, sizeof(g_folder), folder);
  return 1;
}

extern "C" int SetMail(const char* mail, const char* app_name) {
  CopyText(g_mail, sizeof(g_mail), mail);
  CopyText(g_app, sizeof(g_app), app_name);
  return 1;
}
