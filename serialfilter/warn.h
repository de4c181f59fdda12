// One line on standard error per event, prefixed with the program's role
// ("SerialFilter" for the driver, "SerialFilter ports" for the port keeper).
// Standard error is the driver's log: a file, the journal, or /dev/null.
#pragma once

namespace tillcast::serialfilter {

// Not thread-safe: set once at start.
void SetWarnPrefix(const char* prefix);

__attribute__((format(printf, 1, 2))) void Warn(const char* fmt, ...);

}  // namespace tillcast::serialfilter
