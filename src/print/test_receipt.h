// The test receipt of the advanced settings window, printed through the
// bound printer SDK on the port that is open (current). Thread-safe as the
// SDK is; the caller serialises documents (PrinterLock).
#pragma once

#include <string>

namespace tillcast {

// Prints the receipt ending in `port_name` (ANSI); `driver` wraps it in
// one document of a print queue. False when the SDK refused the first
// command (nothing printed).
bool PrintTestReceipt(const std::string& port_name, bool driver);

}  // namespace tillcast
