// The process-wide text log: one line per call, appended to
// <log folder>/<executable name>.txt, lines ending in CR LF. The log folder
// is <executable folder>/logs, or the user's state folder for an installed
// agent (base/install_layout.h). Each line opens and closes the file; once the
// file would grow past a size bound it is renamed <name>.1.txt (older ones
// move up to <name>.<keep>.txt, the oldest is removed) and a fresh one begun.
//
// Thread-safe: every function may be called from any thread; whole lines
// never interleave.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

namespace tillcast {

inline constexpr int LOG_ERROR = 0;
inline constexpr int LOG_WARNING = 1;
inline constexpr int LOG_INFO = 2;
inline constexpr int LOG_DEBUG = 3;

// Sets the log name from the executable's path and the threshold to `level`.
void InitLog(int level);

void Log(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Wide variant. Wide string arguments are passed as %ls; the message is
// stored in the ANSI code page.
void LogW(int level, const wchar_t* format, ...);

// "ERROR", "WARNING", "INFO", "DEBUG"; "unknown_level" for anything else
// (negative levels included).
const char* LevelName(int level);

// The time stamp and level prefix of one line: "2026-3-5 7:8:9[INFO]: ".
std::string FormatLogPrefix(const std::tm& local, int level);

// The current threshold.
int LogLevel();

// The log file that the next line goes to.
std::string LogFilePath();

// Points the log at another folder (also: $TILLCAST_LOG_DIR). For tests.
void SetLogFolder(const std::string& folder);

inline constexpr uint64_t kDefaultLogMaxBytes = 10u * 1024 * 1024;
inline constexpr unsigned kDefaultLogKeep = 5;

struct LogRotation {
  uint64_t max_bytes = kDefaultLogMaxBytes;  // 0 = no bound
  unsigned keep = kDefaultLogKeep;           // numbered files kept (at most 99)
};

// The bound, from $TILLCAST_LOG_MAX_BYTES and $TILLCAST_LOG_KEEP on first use
// unless set here.
void SetLogRotation(const LogRotation& rotation);
LogRotation CurrentLogRotation();

// Test hook: forget InitLog (threshold ERROR, empty name).
void ResetLogForTest();

}  // namespace tillcast
