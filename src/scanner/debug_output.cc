#include "scanner/debug_output.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <memory>
#include <mutex>

#include "platform/env.h"

namespace tillcast {
namespace {

struct Channel {
  std::mutex mu;
  std::function<void(const std::string&)> sink;                      // guarded by mu
  std::unique_ptr<FILE, int (*)(FILE*)> file{nullptr, std::fclose};  // guarded by mu
  bool to_stderr = false;
  std::atomic<bool> enabled{false};

  Channel() {
    const std::string where = platform::EnvOr("TILLCAST_SCANNER_DEBUG", "");
    if (where.empty() || where == "0") return;
    if (where == "1") {
      to_stderr = true;
    } else {
      file.reset(std::fopen(where.c_str(), "ab"));
      if (!file) return;
    }
    enabled.store(true);
  }
};

Channel& TheChannel() {
  static Channel* channel = new Channel();  // never destroyed: threads may write during exit
  return *channel;
}

}  // namespace

bool ScannerDebugEnabled() { return TheChannel().enabled.load(std::memory_order_relaxed); }

void ScannerDebug(const char* format, ...) {
  Channel& c = TheChannel();
  if (!c.enabled.load(std::memory_order_relaxed)) return;
  char buf[512];
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(buf, sizeof(buf), format, args);
  va_end(args);
  if (n < 0) return;
  const std::string text(buf, std::min(static_cast<size_t>(n), sizeof(buf) - 1));
  std::lock_guard<std::mutex> l(c.mu);
  if (c.sink) {
    c.sink(text);
  } else if (c.file) {
    std::fwrite(text.data(), 1, text.size(), c.file.get());
    std::fflush(c.file.get());
  } else if (c.to_stderr) {
    std::fwrite(text.data(), 1, text.size(), stderr);
  }
}

void SetScannerDebugSink(std::function<void(const std::string&)> sink) {
  Channel& c = TheChannel();
  std::lock_guard<std::mutex> l(c.mu);
  const bool on = static_cast<bool>(sink) || c.file || c.to_stderr;
  c.sink = std::move(sink);
  c.enabled.store(on);
}

}  // namespace tillcast
