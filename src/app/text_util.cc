#include "app/text_util.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <system_error>

#include "app/log.h"
#include "platform/codepage.h"
#include "platform/env.h"
#include "platform/paths.h"
#include "platform/private_file.h"

namespace tillcast {
namespace {

std::mutex g_dataFolderLock;
std::string g_dataFolder;  // guarded by g_dataFolderLock

std::string CodePageName(unsigned code_page) {
  if (code_page == 0) return platform::AnsiCodePageName();
  if (code_page == 65001) return "UTF-8";
  if (code_page == 936) return "GBK";
  return "CP" + std::to_string(code_page);
}

}  // namespace

std::string GetModuleFolder() {
  static const std::string folder = [] {
    std::string exe = platform::ExecutablePath();
    const size_t slash = exe.rfind('/');
    return slash == std::string::npos ? std::string(".") : exe.substr(0, slash);
  }();
  return folder;
}

std::string GetDataFolder() {
  std::lock_guard<std::mutex> l(g_dataFolderLock);
  if (g_dataFolder.empty()) {
    g_dataFolder = platform::UserDataRoot() + "/Tillcast";
    // Private to the user: it holds the device key, the store's secret and
    // the customers' receipts. A failure shows up at first use of a file.
    int err = 0;
    platform::MakePrivateFolders(g_dataFolder, &err);
    // A folder left open by an earlier version is closed to other users.
    platform::RestrictFolderToOwner(g_dataFolder, &err);
  }
  return g_dataFolder;
}

void ResetDataFolderForTest() {
  std::lock_guard<std::mutex> l(g_dataFolderLock);
  g_dataFolder.clear();
}

std::string AnsiToUtf8(const std::string& ansi) {
  const std::string in(ansi.c_str());  // up to the first zero byte
  std::string out;
  platform::ConvertEncodingLossy(platform::AnsiCodePageName().c_str(), "UTF-8", in, "?", &out);
  return out;
}

std::string Utf8ToAnsi(const std::string& utf8) {
  std::string out;
  platform::ConvertEncodingLossy("UTF-8", platform::AnsiCodePageName().c_str(), utf8, "?", &out);
  return std::string(out.c_str());
}

bool Utf8ToAnsiExact(const std::string& utf8, std::string* ansi) {
  int err = 0;
  if (platform::ConvertEncoding("UTF-8", platform::AnsiCodePageName().c_str(), utf8, ansi, &err)) return true;
  ansi->clear();
  return false;
}

std::wstring ToWide(const std::string& ansi) {
  std::wstring out;
  int err = 0;
  if (!platform::NarrowToWide(platform::AnsiCodePageName(), ansi, &out, &err))
    throw std::system_error(err, std::generic_category(), "ToWide");
  return out;
}

std::string ToNarrow(const std::wstring& wide) {
  std::string out;
  int err = 0;
  if (!platform::WideToNarrow(platform::AnsiCodePageName(), wide, &out, &err))
    throw std::system_error(err, std::generic_category(), "ToNarrow");
  return out;
}

std::string ToNarrowLossy(const std::wstring& wide) {
  const std::string bytes(reinterpret_cast<const char*>(wide.data()), wide.size() * sizeof(wchar_t));
  std::string out;
  platform::ConvertEncodingLossy("WCHAR_T", platform::AnsiCodePageName().c_str(), bytes, "?", &out);
  return out;
}

std::wstring ToWideLossy(const std::string& ansi) {
  const wchar_t replacement = L'\uFFFD';
  std::string bytes;
  platform::ConvertEncodingLossy(platform::AnsiCodePageName().c_str(), "WCHAR_T", ansi,
                                 std::string(reinterpret_cast<const char*>(&replacement), sizeof(replacement)), &bytes);
  std::wstring out(bytes.size() / sizeof(wchar_t), L'\0');
  std::memcpy(out.data(), bytes.data(), out.size() * sizeof(wchar_t));
  return out;
}

std::string WideToCodePage(const std::wstring& wide, unsigned code_page) {
  constexpr size_t kChunk = 0x800000;
  const std::string name = CodePageName(code_page);
  std::string result;
  for (size_t pos = 0; pos < wide.size(); pos += kChunk) {
    std::string part;
    int err = 0;
    if (!platform::WideToNarrow(name, wide.substr(pos, kChunk), &part, &err)) {
      char msg[64];
      std::snprintf(msg, sizeof(msg), "convert error:%d", err);
      throw std::runtime_error(msg);
    }
    result += part;
  }
  return result;
}

std::string string_format(const char* format, ...) {
  Log(LOG_INFO, "string_format 1");
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  const int n = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (n < 0) {
    va_end(args);
    return {};
  }
  Log(LOG_INFO, "string_format 2");
  std::unique_ptr<char[]> buf(new char[static_cast<size_t>(n) + 1]);
  Log(LOG_INFO, "string_format 3");
  std::vsnprintf(buf.get(), static_cast<size_t>(n) + 1, format, args);
  va_end(args);
  Log(LOG_INFO, "string_format 4");
  Log(LOG_INFO, "string_format 5");
  return std::string(buf.get(), static_cast<size_t>(n));
}

bool WriteBufferToFile(const std::string& path, const void* data, size_t length, bool binary, bool append) {
  // Created private to the user (these files hold receipts' contents) and
  // never through a link.
  FILE* f = platform::OpenPrivateFile(path, append);
  if (f == nullptr) return false;
  std::string text;
  const char* bytes = static_cast<const char*>(data);
  if (!binary && !append) {
    // Text mode: a line feed is stored as CR LF.
    text.reserve(length + length / 16);
    for (size_t i = 0; i < length; ++i) {
      if (bytes[i] == '\n') text += '\r';
      text += bytes[i];
    }
    bytes = text.data();
    length = text.size();
  }
  const bool written = length == 0 || std::fwrite(bytes, 1, length, f) == length;
  const bool flushed = std::fflush(f) == 0;
  const bool closed = std::fclose(f) == 0;
  return written && flushed && closed;
}

// Kept apart from the platform's make-folders: a name without any separator
// creates nothing here, as on the home platform.
bool CreateDirectoryRecursive(const std::string& path) {
  if (platform::PathExists(path)) return true;
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return true;
  if (!CreateDirectoryRecursive(path.substr(0, slash))) return false;
  if (slash == path.size() - 1) return true;
  if (platform::PathExists(path)) return true;
  return platform::MakeDirectory(path);
}

bool CreateDirectoryRecursive(const std::wstring& path) {
  std::string narrow;
  int err = 0;
  if (!platform::WideToNarrow("UTF-8", path, &narrow, &err)) return false;
  return CreateDirectoryRecursive(narrow);
}

bool IsHasChinese(const void* data, size_t length) {
  const unsigned char* p = static_cast<const unsigned char*>(data);
  for (size_t i = 0; i + 1 < length; ++i) {
    if ((p[i] & 0x80) && (p[i + 1] & 0x80)) return true;
  }
  return false;
}

std::string MaskSecret(const std::string& secret) {
  if (secret.empty()) return {};
  if (secret.size() <= 4) return "***";  // two characters would be half of it
  return secret.substr(0, 2) + "***";
}

// A plain scan rather than a regex: replies can be megabytes long.
std::string MaskJsonMembers(const std::string& text, const std::string& name) {
  const std::string kKey = "\"" + name + "\"";
  std::string out;
  size_t last = 0;
  for (size_t at = text.find(kKey); at != std::string::npos; at = text.find(kKey, last)) {
    size_t p = at + kKey.size();
    while (p < text.size() && (text[p] == ' ' || text[p] == '\t' || text[p] == '\r' || text[p] == '\n')) ++p;
    if (p < text.size() && text[p] == ':') ++p;
    while (p < text.size() && (text[p] == ' ' || text[p] == '\t' || text[p] == '\r' || text[p] == '\n')) ++p;
    if (p >= text.size() || text[p] != '"') {
      out.append(text, last, p - last);
      last = p;
      continue;
    }
    const size_t value = p + 1;
    size_t end = value;
    while (end < text.size() && text[end] != '"') end += text[end] == '\\' ? 2 : 1;
    end = std::min(end, text.size());
    out.append(text, last, value - last);
    out += MaskSecret(text.substr(value, end - value));
    last = end;
  }
  out.append(text, last, std::string::npos);
  return out;
}

}  // namespace tillcast
