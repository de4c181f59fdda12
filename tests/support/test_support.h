// Helpers shared by the test suites: temporary folders, environment
// overrides, file access, the log of the process under test.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "platform/scoped_fd.h"

namespace tillcast::test {

// True in the sanitizer lanes, where copying large payloads costs many
// times more: tests of size bounds use smaller sizes there.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kUnderSanitizer = true;
#else
inline constexpr bool kUnderSanitizer = false;
#endif

// A fresh folder under $TMPDIR (or /tmp), removed with its contents on
// destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string Sub(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Sets an environment variable for the life of the object, then restores it.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value);
  ~ScopedEnv();

 private:
  std::string name_;
  bool had_ = false;
  std::string old_;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& data);
bool FileExists(const std::string& path);

// Splits at "\r\n" (the log's line end); a final piece without one is kept.
std::vector<std::string> SplitLines(const std::string& text);

// Points the log at a temporary folder, initialised at INFO, for one test.
class ScopedLog {
 public:
  ScopedLog();
  ~ScopedLog();
  // Everything logged so far.
  std::string Text() const;
  bool Contains(const std::string& needle) const;

 private:
  TempDir dir_;
};

// ../shared/testdata beside the project, or "" when absent.
std::string SharedTestdataDir();

// The folder of the built programs (build/bin).
std::string BinDir();

// Stops every service recorded in `folder` that still runs (the capture
// driver an agent started as a service outlives the agent) and waits for
// it to end, killing it after 5 s. For the teardown of tests that let an
// agent start its driver.
void StopRecordedServices(const std::string& folder);

// A free TCP port on 127.0.0.1 (asked from the OS), 0 when none.
int FreeLoopbackPort();

// A blocking TCP connection to 127.0.0.1:`port`, tried again every 20 ms
// while nothing listens there yet; invalid after `timeout_ms`.
platform::ScopedFd ConnectLoopback(int port, int timeout_ms = 10000);

// A TCP socket listening on 127.0.0.1 at a port the OS picks (`*port`),
// with `backlog`; invalid on failure.
platform::ScopedFd ListenLoopback(int backlog, int* port);

// "\xD6\xD0" style GBK bytes of a UTF-8 literal.
std::string Gbk(const std::string& utf8);

// The bytes of a u8"..." literal as a std::string.
inline std::string U8(const char8_t* s) { return reinterpret_cast<const char*>(s); }

// How often `needle` occurs in `text`, overlapping occurrences included.
size_t Count(const std::string& text, const std::string& needle);

}  // namespace tillcast::test
