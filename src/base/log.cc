#include "base/log.h"

#include <sys/stat.h>

#include <cstdarg>
#include <cstdlib>
#include <cstdio>
#include <cwchar>
#include <mutex>
#include <vector>

#include <algorithm>
#include <atomic>

#include "base/install_layout.h"
#include "base/text_util.h"
#include "platform/codepage.h"
#include "platform/env.h"
#include "platform/paths.h"
#include "platform/private_file.h"

namespace tillcast {
namespace {

std::atomic<int> g_logLevel{LOG_ERROR};
std::mutex logLock;
// Guarded by logLock.
std::string g_logName;
std::string g_logFolder;
bool g_rotationSet = false;
LogRotation g_rotation;

std::string DefaultLogFolder() { return ResolveLogFolder(); }

// A whole number from the environment, or `fallback`.
uint64_t EnvNumber(const char* name, uint64_t fallback) {
  const std::string v = platform::EnvOr(name, "");
  if (v.empty()) return fallback;
  char* end = nullptr;
  const unsigned long long n = std::strtoull(v.c_str(), &end, 10);
  return *end == '\0' ? n : fallback;
}

// Caller holds logLock.
const LogRotation& Rotation() {
  if (!g_rotationSet) {
    g_rotation.max_bytes = EnvNumber("TILLCAST_LOG_MAX_BYTES", kDefaultLogMaxBytes);
    g_rotation.keep = static_cast<unsigned>(std::min<uint64_t>(EnvNumber("TILLCAST_LOG_KEEP", kDefaultLogKeep), 99));
    g_rotationSet = true;
  }
  return g_rotation;
}

// <folder>/<name>.txt becomes <name>.1.txt, .1 becomes .2 and so on; the
// oldest beyond `keep` is removed. Caller holds logLock.
void RotateFiles(const std::string& folder, const std::string& name, unsigned keep) {
  const auto numbered = [&](unsigned n) { return folder + "/" + name + "." + std::to_string(n) + ".txt"; };
  const std::string current = folder + "/" + name + ".txt";
  if (keep == 0) {
    std::remove(current.c_str());
    return;
  }
  std::remove(numbered(keep).c_str());
  for (unsigned n = keep; n > 1; --n) std::rename(numbered(n - 1).c_str(), numbered(n).c_str());
  std::rename(current.c_str(), numbered(1).c_str());
}

// Stores every "\n" of `text` as "\r\n", as a file in text mode does.
std::string ToTextMode(const std::string& text) {
  std::string out;
  out.reserve(text.size() + 8);
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

std::string FormatV(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  const int n = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (n < 0) return {};
  std::string out(static_cast<size_t>(n) + 1, '\0');
  std::vsnprintf(out.data(), out.size(), format, args);
  out.resize(static_cast<size_t>(n));
  return out;
}

bool FormatWideV(const wchar_t* format, va_list args, std::wstring* out) {
  // vswprintf cannot measure; grow until the text fits.
  for (size_t cap = 256; cap <= (1u << 26); cap *= 4) {
    std::vector<wchar_t> buf(cap);
    va_list copy;
    va_copy(copy, args);
    const int n = std::vswprintf(buf.data(), cap, format, copy);
    va_end(copy);
    if (n >= 0) {
      out->assign(buf.data(), static_cast<size_t>(n));
      return true;
    }
  }
  return false;
}

// Wide text in the ANSI code page; characters it cannot hold become "?".
std::string WideToAnsiLossy(const std::wstring& wide) {
  const std::string bytes(reinterpret_cast<const char*>(wide.data()), wide.size() * sizeof(wchar_t));
  std::string out;
  platform::ConvertEncodingLossy("WCHAR_T", platform::AnsiCodePageName().c_str(), bytes, "?", &out);
  return out;
}

// Appends one line; caller holds logLock.
void AppendLine(int level, const std::string& message) {
  if (g_logFolder.empty()) g_logFolder = DefaultLogFolder();
  const std::string path = g_logFolder + "/" + g_logName + ".txt";
  FILE* f = platform::OpenPrivateFile(path, true);  // 0600: the log holds receipts
  if (f == nullptr) return;                         // no logs folder: the line is dropped
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  const std::string line = ToTextMode(FormatLogPrefix(local, level) + message + "\n");
  // Past the size bound the file is set aside and a fresh one started; a
  // single line longer than the bound still goes whole into a file.
  const LogRotation& rotation = Rotation();
  struct stat st {};
  if (rotation.max_bytes > 0 && fstat(fileno(f), &st) == 0 && st.st_size > 0 &&
      static_cast<uint64_t>(st.st_size) + line.size() > rotation.max_bytes) {
    std::fclose(f);
    RotateFiles(g_logFolder, g_logName, rotation.keep);
    f = platform::OpenPrivateFile(path, true);
    if (f == nullptr) return;
  }
  std::fwrite(line.data(), 1, line.size(), f);
  std::fflush(f);
  std::fclose(f);
}

}  // namespace

void InitLog(int level) {
  std::lock_guard<std::mutex> l(logLock);
  std::string exe = platform::ExecutablePath();
  const size_t slash = exe.rfind('/');
  if (slash != std::string::npos) exe = exe.substr(slash + 1);
  const size_t dot = exe.rfind('.');
  if (dot != std::string::npos && dot > 0) exe = exe.substr(0, dot);
  g_logName = exe;
  g_logLevel.store(level, std::memory_order_relaxed);
}

const char* LevelName(int level) {
  static const char* const kNames[] = {"ERROR", "WARNING", "INFO", "DEBUG"};
  if (level < 0 || level > 3) return "unknown_level";
  return kNames[level];
}

std::string FormatLogPrefix(const std::tm& t, int level) {
  char buf[96];
  std::snprintf(buf, sizeof(buf), "%d-%d-%d %d:%d:%d[%s]: ", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour,
                t.tm_min, t.tm_sec, LevelName(level));
  return buf;
}

void Log(int level, const char* format, ...) {
  if (level > g_logLevel.load(std::memory_order_relaxed)) return;
  va_list args;
  va_start(args, format);
  const std::string message = FormatV(format, args);
  va_end(args);
  std::lock_guard<std::mutex> l(logLock);
  AppendLine(level, message);
}

void LogW(int level, const wchar_t* format, ...) {
  if (level > g_logLevel.load(std::memory_order_relaxed)) return;
  va_list args;
  va_start(args, format);
  std::wstring wide;
  const bool ok = FormatWideV(format, args, &wide);
  va_end(args);
  if (!ok) return;
  const std::string message = WideToAnsiLossy(wide);
  std::lock_guard<std::mutex> l(logLock);
  AppendLine(level, message);
}

int LogLevel() { return g_logLevel.load(std::memory_order_relaxed); }

std::string LogFilePath() {
  std::lock_guard<std::mutex> l(logLock);
  if (g_logFolder.empty()) g_logFolder = DefaultLogFolder();
  return g_logFolder + "/" + g_logName + ".txt";
}

void SetLogFolder(const std::string& folder) {
  std::lock_guard<std::mutex> l(logLock);
  g_logFolder = folder;
}

void SetLogRotation(const LogRotation& rotation) {
  std::lock_guard<std::mutex> l(logLock);
  g_rotation = rotation;
  g_rotationSet = true;
}

LogRotation CurrentLogRotation() {
  std::lock_guard<std::mutex> l(logLock);
  return Rotation();
}

void ResetLogForTest() {
  std::lock_guard<std::mutex> l(logLock);
  g_logName.clear();
  g_rotationSet = false;
  g_logLevel.store(LOG_ERROR, std::memory_order_relaxed);
}

}  // namespace tillcast
