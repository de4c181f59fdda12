// Opening the configured printer port and printing raw documents.
//
// Every print operation creates a PrinterLink on its stack, holds
// PrinterLock() from its first open attempt to the close, and leaves the
// port closed, so other programs can use it between documents.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "data/raw_print.h"
#include "pos_sdk.h"

namespace tillcast {

// One use of the port.
struct PrinterLink {
  bool isDriver = false;  // a print queue (driver mode)
  POS_HANDLE handle = POS_INVALID_HANDLE;
};

// The process-wide printer lock. Never destroyed.
std::mutex& PrinterLock();

// The port settings of the device configuration as the SDK takes them.
struct PortSettings {
  std::string portType;  // ANSI text of PortType
  std::string portName;
  int baudrate = 0;
  int dataBits = 0;
  int stopBits = 0;  // "1" -> 0, "2" -> 2, else 0
  int parity = 0;    // "奇" -> 1, "偶" -> 2, else 0
  int flow = 3;      // "XON/OFF" -> 2, "硬件" -> 1, else 3
};

// Reads PortType, PortName and the serial values from DataMgr.
PortSettings ReadPortSettings();

// The PortType texts, in the ANSI code page. "网口" is a network printer
// whose PortName is "HOST:PORT" (raw TCP, port 9100 when left out); the
// settings windows do not offer it (it is set in cloudconfig.dat).
const std::string& PortTypeSerial();
const std::string& PortTypeParallel();
const std::string& PortTypeDriver();
const std::string& PortTypeNetwork();

// Opens the configured port into `link`; false (with its log line, unless
// `quiet`) when the type is unknown, the SDK is not bound or the open fails.
bool OpenPort(PrinterLink& link);
bool OpenPortWith(const PortSettings& settings, PrinterLink& link, bool quiet = false);

// Tries OpenPort as often as [printer] open_attempts says (kOpenAttempts
// unless set), kOpenRetryPauseMs apart: about five seconds in all. The
// caller holds PrinterLock.
inline constexpr int kOpenAttempts = 51;
inline constexpr int kOpenRetryPauseMs = 100;
bool OpenPortWithRetries(PrinterLink& link);

// While an object lives, OpenPortWithRetries on the calling thread gives
// up its remaining attempts once `*abort` is true, so a thread asked to stop
// (the capture upload worker at quitting) is not held by a printer that is
// not there. Scopes nest; the flag must outlive the object.
class ScopedPrintAbort {
 public:
  explicit ScopedPrintAbort(const std::atomic<bool>* abort);
  ~ScopedPrintAbort();
  ScopedPrintAbort(const ScopedPrintAbort&) = delete;
  ScopedPrintAbort& operator=(const ScopedPrintAbort&) = delete;

 private:
  const std::atomic<bool>* previous_;
};

// Closes the port if open (handle back to -1).
void ClosePort(PrinterLink& link);

// Prints `bytes` raw as one document. Thread-safe.
bool PrintRaw(PrinterLink& link, const std::vector<unsigned char>& bytes);

// PrintRaw for cloud jobs, telling a printer that is not there from one
// that failed: kUnavailable when the port did not open in `how`'s attempts
// (or `how.stop` ended them), or when a serial printer, which opens even
// switched off, did not answer a status request within [printer]
// status_timeout_ms. Nothing is written then. Thread-safe.
RawPrintResult PrintRawTry(PrinterLink& link, const std::vector<unsigned char>& bytes, const RawPrintTry& how);

// True when the printer on the current (open) port answers the real-time
// status request within `timeoutMs`. The caller holds PrinterLock.
bool PrinterAnswersStatus(int timeoutMs);

// Test hook: replaces the pause between open attempts (default: sleep).
// Set before printing starts; nullptr restores the default.
void SetOpenRetryPauseForTest(std::function<void(int ms)> pause);

}  // namespace tillcast
