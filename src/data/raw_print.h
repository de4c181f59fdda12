// How a cloud job's raw bytes are handed to the printer module, and what
// comes back: the printer module installs a RawPrinter in DataMgr.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tillcast {

enum class RawPrintResult {
  kPrinted,
  kFailed,       // the port opened but the document did not get through
  kUnavailable,  // the port never opened, or a serial printer did not answer
};

// One try of a raw document.
struct RawPrintTry {
  int32_t openAttempts = 0;    // opens, 100 ms apart; 0: the configured count
  bool quiet = false;          // no line per failed open (the retries of a held job)
  std::function<bool()> stop;  // true ends the waits between opens early
};

using RawPrinter = std::function<RawPrintResult(const std::vector<unsigned char>& bytes, const RawPrintTry& how)>;

// A raw job whose printer was unavailable: what its retries print.
struct HeldPrintJob {
  std::string jobId;
  std::vector<unsigned char> bytes;
};

}  // namespace tillcast
