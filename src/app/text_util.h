// Shared text, path and file helpers.
//
// Narrow strings are in the ANSI code page (GBK by default) unless a name
// says UTF-8; wide strings are wchar_t. All functions are thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tillcast {

// Folder of the executable, without a trailing separator.
std::string GetModuleFolder();

// <$XDG_DATA_HOME or ~/.local/share>/Tillcast, created with its parents on
// the first call and kept for the life of the process.
std::string GetDataFolder();

// Test hook: forget the kept data folder so the next call recomputes it.
void ResetDataFolderForTest();

// ANSI <-> UTF-8. A character that is invalid in the input, or has no form
// in the target, becomes one "?"; the rest of the text is kept. AnsiToUtf8
// reads its input up to the first zero byte; Utf8ToAnsi converts the whole
// input and cuts the result at its first zero byte.
std::string AnsiToUtf8(const std::string& ansi);
std::string Utf8ToAnsi(const std::string& utf8);
// UTF-8 -> ANSI only when every character has its form there (zero bytes
// kept); false with `*ansi` empty otherwise. For texts where a substituted
// "?" would change the meaning (a regular expression).
bool Utf8ToAnsiExact(const std::string& utf8, std::string* ansi);

// ANSI <-> wide. Throw std::system_error carrying the errno on failure.
std::wstring ToWide(const std::string& ansi);
std::string ToNarrow(const std::wstring& wide);
// Wide -> ANSI that never fails: characters the code page lacks become "?".
std::string ToNarrowLossy(const std::wstring& wide);
// ANSI -> wide that never fails: bytes that are no character become U+FFFD.
std::wstring ToWideLossy(const std::string& ansi);

// Wide -> narrow in `code_page` (0 = ANSI, 65001 = UTF-8, n = "CPn"),
// converted in chunks of at most 0x800000 characters. Throws
// std::runtime_error("convert error:<errno>") on failure.
std::string WideToCodePage(const std::wstring& wide, unsigned code_page);

// printf into a string of any length. Logs "string_format 1" .. "5" at INFO.
std::string string_format(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Writes `length` bytes to `path`: appended when `append`, else replacing the
// file; without `binary` every "\n" is stored as "\r\n" (text mode). A new
// file is created with mode 0600; a link is never written through. False
// when the file cannot be opened or the bytes do not all reach it.
bool WriteBufferToFile(const std::string& path, const void* data, size_t length, bool binary, bool append);

// Creates `path` and its missing parents ("/" separates). True when it exists
// afterwards (or the path has no separator at all).
bool CreateDirectoryRecursive(const std::wstring& path);
bool CreateDirectoryRecursive(const std::string& path);

// True when a byte with the high bit set is directly followed, within the
// `length` bytes, by another such byte.
bool IsHasChinese(const void* data, size_t length);

// A secret for a log line: its first two characters and "***" (only "***"
// for secrets of up to four characters; "" stays "").
std::string MaskSecret(const std::string& secret);

// `text` (JSON, possibly broken) with the value of every member `name`
// masked (a string as MaskSecret does, anything else as "***"). A document
// that parses is masked as parsed, so names and values written with any
// escapes are found, and comes back written compactly (members sorted);
// text that does not parse is scanned token by token and otherwise kept as
// it is.
std::string MaskJsonMembers(const std::string& text, const std::string& name);

}  // namespace tillcast
