// The [printer] section of setting.ini: how cloud jobs wait for a printer
// that is unavailable, how a serial printer is asked whether it is there,
// and how big an additional receipt may be.
//
//   [printer]
//   open_attempts=51          ; opens of one print, 100 ms apart
//   hold_seconds=600          ; a cloud job waits this long for its printer
//   hold_retry_ms=2000        ; one open attempt this often while it waits
//   status_timeout_ms=500     ; a serial printer answers DLE EOT 1 this fast; 0 = not asked
//   receipt_max_kb=256        ; a bigger additional receipt is refused
//   receipt_max_pictures=16   ; so is one with more pictures and QR codes
//
// A value that is not a number in its range takes the default.
// Thread-safe: every function may be called from any thread.
#pragma once

#include <cstdint>

namespace tillcast {

struct PrinterSettings {
  int32_t openAttempts = 51;
  int32_t holdSeconds = 600;
  int32_t holdRetryMs = 2000;
  int32_t statusTimeoutMs = 500;  // 0: no status request
  int32_t receiptMaxKb = 256;
  int32_t receiptMaxPictures = 16;
};

// The settings, read from <data folder>/setting.ini on first use.
PrinterSettings GetPrinterSettings();

// Reads <data folder>/setting.ini again.
void ReloadPrinterSettings();

// Replaces the settings in memory (tests).
void SetPrinterSettings(const PrinterSettings& settings);

}  // namespace tillcast
