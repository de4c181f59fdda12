#include "warn.h"

#include <cstdarg>
#include <cstdio>

namespace tillcast::serialfilter {
namespace {
const char* g_prefix = "SerialFilter";
}  // namespace

void SetWarnPrefix(const char* prefix) { g_prefix = prefix; }

void Warn(const char* fmt, ...) {
  // One write per line, so lines of the driver and its keeper sharing one
  // log do not interleave.
  char line[1024];
  int n = std::snprintf(line, sizeof(line), "%s: ", g_prefix);
  va_list ap;
  va_start(ap, fmt);
  if (n >= 0 && static_cast<size_t>(n) < sizeof(line))
    n += std::vsnprintf(line + n, sizeof(line) - static_cast<size_t>(n), fmt, ap);
  va_end(ap);
  if (n < 0) return;
  size_t len = static_cast<size_t>(n) < sizeof(line) - 1 ? static_cast<size_t>(n) : sizeof(line) - 2;
  line[len++] = '\n';
  std::fwrite(line, 1, len, stderr);
  std::fflush(stderr);
}

}  // namespace tillcast::serialfilter
