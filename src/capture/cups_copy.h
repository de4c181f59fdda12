// The copy of a CUPS job that the `tillcast` CUPS backend leaves for the
// agent in the inbox folder, and how both sides name and read it.
//
// A copy is one file: a header of text lines, an empty line, then the
// document's bytes exactly as CUPS had them:
//
//   TILLCAST-CUPS-COPY 1
//   type: text/plain            (the document's MIME type)
//   source: document            ("document": the job's spooled file;
//                                "stream": the bytes sent to the device)
//   queue: Till
//   job: 12
//   document: 1
//   user: cashier
//   title: receipt.txt
//   submitted: 1796617921003    (milliseconds since 1970 when CUPS took the
//                                job: its spooled document's time; empty
//                                when the copy is made of the stream)
//   started: 1796617927002      (when the backend was started for the
//                                attempt that printed it)
//
//   <document bytes>
//
// Copies are written under a name starting with "." and renamed, finished,
// to "<14-digit milliseconds>-<job>-<document>.copy", so the inbox never
// shows a half-written copy and names sort in the order jobs were printed.
//
// Shared by the backend (a program of its own) and the agent: depends on
// nothing but the standard library. Thread-safe (pure functions).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tillcast::capture {

inline constexpr const char* kCupsCopyMagic = "TILLCAST-CUPS-COPY 1";
inline constexpr const char* kCupsCopySuffix = ".copy";
// A header never needs more; a longer one is not a copy.
inline constexpr size_t kCupsCopyMaxHeader = 4096;
// The largest document the backend copies (receipts are a few KB).
inline constexpr size_t kCupsCopyMaxDocument = 32u << 20;

struct CupsCopyHeader {
  std::string type;
  std::string source;
  std::string queue;
  std::string job;
  std::string document;
  std::string user;
  std::string title;
  std::string submitted;
  std::string started;
};

// A job that reached the printer this long after CUPS took it was held by
// its queue (the printer away, the queue stopped or busy): the till printed
// it well before the copy arrives.
inline constexpr uint64_t kCupsHeldAfterMs = 5000;

// When the job's wait in its queue (from submitted to started) was longer
// than kCupsHeldAfterMs: true with that wait in `*waited_ms`. False for a
// copy that came through at once or does not say when it was submitted.
bool CupsCopyWasHeld(const CupsCopyHeader& header, uint64_t* waited_ms);

// The header, ending with its empty line. Values lose control characters
// and are cut to 200 bytes.
std::string FormatCupsCopyHeader(const CupsCopyHeader& header);

// Reads the header of a copy (`bytes` from its start); `*body_offset` is
// where the document begins. False when `bytes` is not a copy.
bool ParseCupsCopyHeader(const std::string& bytes, CupsCopyHeader* header, size_t* body_offset);

// "00001796617927058-12-1.copy".
std::string CupsCopyName(uint64_t unix_ms, long job, int document);

// A finished copy's name: no folder part, no leading ".", the suffix.
bool IsCupsCopyName(const std::string& name);

// $TILLCAST_CUPS_INBOX, default /var/spool/tillcast/cups.
std::string CupsInboxFolder();

}  // namespace tillcast::capture
