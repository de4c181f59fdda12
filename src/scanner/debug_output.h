// The keyboard filter's diagnostics, kept off the agent's log because they
// name every key typed. Silent unless $TILLCAST_SCANNER_DEBUG is set: "1"
// writes to stderr, any other value except "0" names a file to append to.
//
// Thread-safe.
#pragma once

#include <functional>
#include <string>

namespace tillcast {

bool ScannerDebugEnabled();

// Writes one piece of text, formatted, with no line end added.
void ScannerDebug(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Test hook: every piece goes to `sink` while it is set (null: back to the
// environment's choice).
void SetScannerDebugSink(std::function<void(const std::string&)> sink);

}  // namespace tillcast
