// Payloads in log lines: a job, a reply body, a receipt or a template is
// logged as its first bytes and its length, so no line grows with what the
// cloud sends.
//
// Pure; thread-safe.
#pragma once

#include <cstddef>
#include <string>

namespace tillcast {

// Bytes of a payload a log line shows.
inline constexpr size_t kLogExcerptBytes = 256;

// `text` itself when it is at most `head` bytes; otherwise its first `head`
// bytes (a character cut in two is left out) followed by
// "...(<length> bytes)".
std::string LogExcerpt(const std::string& text, size_t head = kLogExcerptBytes);

}  // namespace tillcast
