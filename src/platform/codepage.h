// Conversions between the ANSI code page, UTF-8 and wide text, on iconv.
//
// The "ANSI code page" of the agent is GBK unless $TILLCAST_CODEPAGE names
// another iconv encoding. Narrow strings inside the agent are in that code
// page; wide strings are wchar_t (UTF-32 here). All functions are
// thread-safe: each call opens its own conversion descriptor.
#pragma once

#include <string>

namespace tillcast::platform {

// The iconv name of the ANSI code page ("GBK" by default).
const std::string& AnsiCodePageName();

// Converts `in` from encoding `from` to encoding `to`. Returns false, with
// `out` unspecified and `*err` set to the errno of the failure, when the
// input is not valid in `from` or cannot be represented in `to`.
bool ConvertEncoding(const char* from, const char* to, const std::string& in, std::string* out, int* err);

// Converts `in` from `from` to `to` without ever losing the whole text: each
// character that is not valid in `from` (one byte of it, or the incomplete
// sequence at the end) or has no form in `to` becomes `replacement` (bytes
// already in `to`), the rest is kept. `*replaced` (may be null) gets the
// number of replacements. False only when the pair of encodings is unknown.
bool ConvertEncodingLossy(const char* from, const char* to, const std::string& in, const std::string& replacement,
                          std::string* out, size_t* replaced = nullptr);

// Narrow text in `code_page` (an iconv name) <-> wide text.
bool NarrowToWide(const std::string& code_page, const std::string& in, std::wstring* out, int* err);
bool WideToNarrow(const std::string& code_page, const std::wstring& in, std::string* out, int* err);

}  // namespace tillcast::platform
