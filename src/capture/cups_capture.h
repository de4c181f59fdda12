// What a CUPS job's copy (cups_copy.h) gives the capture: raw printer bytes
// (ESC/POS) as they are; plain text (UTF-8, UTF-16 with a byte-order mark,
// or already in the ANSI code page) and the text of a PDF as lines in the
// ANSI code page, so receipt rules and checks see what a till's serial
// port would have brought. Other types carry no text the agent can read.
//
// Thread-safe (no shared state but poppler's error sink, set once).
#pragma once

#include <string>

#include "capture/cups_copy.h"

namespace tillcast::capture {

enum class CupsDocumentKind { kRaw, kText, kPdf, kOther };

// By MIME type (parameters such as ";charset=utf-8" ignored).
CupsDocumentKind CupsKindOfType(const std::string& mime_type);

// Text document bytes in the ANSI code page: UTF-8 (a byte-order mark
// dropped) and UTF-16 with a byte-order mark are converted, characters the
// code page lacks becoming "?"; anything else is taken as ANSI already.
std::string CupsTextToAnsi(const std::string& text);

// The text of a PDF, page after page, one line per row of text as laid out
// on the page (trailing blanks removed), in UTF-8. False with `*why` when
// the document cannot be read (broken, protected with a password).
bool PdfTextUtf8(const std::string& pdf, std::string* text, std::string* why);

enum class CupsCopyResult {
  kCapture,  // `*capture` holds what to capture
  kSkip,     // nothing to capture (type, broken document): the copy may go
  kKeep,     // the copy cannot be read, or not removed after: leave it
};

// Reads the copy at `path` (a regular file, never through a link, at most
// a header and kCupsCopyMaxDocument bytes) and makes its capture content.
// Logs what it skips and why. A copy in a folder where the agent may not
// remove files is left (it would be captured again at every start).
// `header`, when given, receives the copy's header.
CupsCopyResult TakeCupsCopy(const std::string& path, std::string* capture, CupsCopyHeader* header = nullptr);

}  // namespace tillcast::capture
