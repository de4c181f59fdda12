#include "app/text_util.h"

#include <json/json.h>

#include <algorithm>
#include <cctype>
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

namespace {

unsigned HexValue(char c) {
  if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0');
  return static_cast<unsigned>(std::tolower(static_cast<unsigned char>(c)) - 'a' + 10);
}

// The string token that starts with the quote at `text[quote]`, decoded
// (escapes resolved; \u forms written as UTF-8). `*end` gets the index past
// its closing quote, or the end of the text for a string cut off.
std::string DecodeJsonString(const std::string& text, size_t quote, size_t* end) {
  std::string out;
  size_t i = quote + 1;
  while (i < text.size() && text[i] != '"') {
    if (text[i] != '\\' || i + 1 >= text.size()) {
      out += text[i++];
      continue;
    }
    const char e = text[i + 1];
    i += 2;
    switch (e) {
      case 'b': out += '\b'; break;
      case 'f': out += '\f'; break;
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      case 't': out += '\t'; break;
      case 'u': {
        unsigned cp = 0;
        size_t n = 0;
        for (; n < 4 && i + n < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + n])); ++n)
          cp = cp * 16 + HexValue(text[i + n]);
        i += n;
        if (cp < 0x80) {
          out += static_cast<char>(cp);
        } else if (cp < 0x800) {
          out += static_cast<char>(0xC0 | (cp >> 6));
          out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
          out += static_cast<char>(0xE0 | (cp >> 12));
          out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
          out += static_cast<char>(0x80 | (cp & 0x3F));
        }
        break;
      }
      default: out += e; break;  // \" \\ \/ and anything unknown
    }
  }
  *end = i < text.size() ? i + 1 : text.size();
  return out;
}

size_t SkipBlanks(const std::string& text, size_t p) {
  while (p < text.size() && (text[p] == ' ' || text[p] == '\t' || text[p] == '\r' || text[p] == '\n')) ++p;
  return p;
}

// Text that is no JSON document (cut off, or broken): every string token
// is decoded, and the value after a token that reads as `name` followed by
// a colon is masked. A plain scan rather than a regex: replies can be
// megabytes long.
std::string MaskRawJsonMembers(const std::string& text, const std::string& name) {
  std::string out;
  size_t last = 0;
  size_t i = 0;
  while ((i = text.find('"', i)) != std::string::npos) {
    size_t end = 0;
    const std::string token = DecodeJsonString(text, i, &end);
    i = end;
    size_t p = SkipBlanks(text, end);
    if (token != name || p >= text.size() || text[p] != ':') continue;
    p = SkipBlanks(text, p + 1);
    if (p >= text.size()) break;
    out.append(text, last, p - last);
    if (text[p] == '"') {
      size_t valueEnd = 0;
      const std::string value = DecodeJsonString(text, p, &valueEnd);
      const bool closed = valueEnd > p + 1 && text[valueEnd - 1] == '"';
      out += "\"" + MaskSecret(value) + (closed ? "\"" : "");
      last = i = valueEnd;
    } else {
      // A number or a word: masked up to where the member ends.
      size_t valueEnd = text.find_first_of(",}] \t\r\n", p);
      if (valueEnd == std::string::npos) valueEnd = text.size();
      out += "***";
      last = i = valueEnd;
    }
  }
  out.append(text, last, std::string::npos);
  return out;
}

// Masks the value of every member `name`, at any depth.
void MaskMembers(Json::Value* v, const std::string& name) {
  if (v->isArray()) {
    for (Json::Value& item : *v) MaskMembers(&item, name);
    return;
  }
  if (!v->isObject()) return;
  for (const std::string& member : v->getMemberNames()) {
    Json::Value& child = (*v)[member];
    if (member != name) {
      MaskMembers(&child, name);
    } else if (child.isString()) {
      child = MaskSecret(child.asString());
    } else if (!child.isNull()) {
      child = "***";
    }
  }
}

}  // namespace

std::string MaskJsonMembers(const std::string& text, const std::string& name) {
  Json::Value root;
  Json::CharReaderBuilder reader;
  reader["allowComments"] = true;
  std::string errors;
  bool parsed = false;
  try {
    std::unique_ptr<Json::CharReader> r(reader.newCharReader());
    parsed = r->parse(text.data(), text.data() + text.size(), &root, &errors);
  } catch (const std::exception&) {
    parsed = false;  // nesting too deep
  }
  if (!parsed) return MaskRawJsonMembers(text, name);
  // Found as the parser reads them, whatever escapes spell the name or the
  // value; the line is built from the masked document, so a member written
  // twice cannot slip its first value past either.
  MaskMembers(&root, name);
  Json::StreamWriterBuilder writer;
  writer["indentation"] = "";
  writer["emitUTF8"] = true;
  return Json::writeString(writer, root);
}

}  // namespace tillcast
