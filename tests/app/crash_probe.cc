// Crashes on purpose after installing the crash reporter.
#include <signal.h>

#include "crashreport.h"

namespace {
__attribute__((noinline)) void CrashHere() { raise(SIGSEGV); }
}  // namespace

int main() {
  Install(nullptr, "crash@tillcast.example", "crash_probe_app", 0);
  CrashHere();
  return 0;
}
