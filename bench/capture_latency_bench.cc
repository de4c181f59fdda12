// Payload latency from a write on the proxied serial port to the agent's
// callback (through SerialFilter64, its event and a data fetch), beside the
// bare pseudo-terminal round trip measured in the same run.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "capture/serial_watcher.h"
#include "platform/paths.h"
#include "support/subprocess.h"
#include "support/test_support.h"

using Clock = std::chrono::steady_clock;

namespace {

void Report(const char* what, std::vector<double> us) {
  std::sort(us.begin(), us.end());
  std::printf("%s: p50 %.1f us, p99 %.1f us (%zu samples)\n", what, us[us.size() / 2], us[us.size() * 99 / 100],
              us.size());
}

int OpenPty(std::string* slave) {
  const int m = posix_openpt(O_RDWR | O_NOCTTY);
  if (m < 0 || grantpt(m) != 0 || unlockpt(m) != 0) return -1;
  *slave = ptsname(m);
  return m;
}

}  // namespace

int main() {
  constexpr int kSamples = 2000;
  const std::string payload(32, 'R');

  // Bare pseudo-terminal: slave write -> master read.
  {
    std::string slave_name;
    const int master = OpenPty(&slave_name);
    const int slave = open(slave_name.c_str(), O_RDWR | O_NOCTTY);
    termios t{};
    tcgetattr(slave, &t);
    cfmakeraw(&t);
    tcsetattr(slave, TCSANOW, &t);
    std::vector<double> us;
    char buf[256];
    for (int i = 0; i < kSamples; ++i) {
      const auto t0 = Clock::now();
      if (write(slave, payload.data(), payload.size()) != static_cast<ssize_t>(payload.size())) return 1;
      size_t got = 0;
      while (got < payload.size()) {
        pollfd p{master, POLLIN, 0};
        poll(&p, 1, 1000);
        const ssize_t n = read(master, buf, sizeof(buf));
        if (n <= 0) return 1;
        got += static_cast<size_t>(n);
      }
      us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    Report("bare pty round trip", us);
    close(slave);
    close(master);
  }

  // Through the driver stand-in and the watcher.
  tillcast::test::TempDir dir;
  const std::string bin = tillcast::platform::ExecutablePath();
  const std::string driver = bin.substr(0, bin.rfind('/')) + "/SerialFilter64";
  tillcast::test::WriteFile(dir.Sub("sf.conf"), "socket " + dir.Sub("sf.sock") + "\nserial 1 " + dir.Sub("COM1") + "\n");
  tillcast::test::Subprocess daemon({driver, "-c", dir.Sub("sf.conf")}, {}, dir.Sub("sf.log"));
  if (!tillcast::test::WaitUntil([&] { return tillcast::test::FileExists(dir.Sub("COM1")); }, 10000)) {
    std::fprintf(stderr, "SerialFilter64 did not start (%s)\n", driver.c_str());
    return 1;
  }
  std::mutex mu;
  std::condition_variable cv;
  size_t received = 0;
  tillcast::SerialWatcher watcher(std::make_unique<tillcast::capture::UnixSocketDriverDevice>(dir.Sub("sf.sock")));
  watcher.SetSerialDataCallback([&](uint32_t, const uint8_t*, uint32_t n) {
    std::lock_guard<std::mutex> l(mu);
    received += n;
    cv.notify_all();
  });
  if (!watcher.Init([&] { watcher.AddPortMonitor(1, -1); })) return 1;
  const int till = open(dir.Sub("COM1").c_str(), O_RDWR | O_NOCTTY);
  std::vector<double> us;
  for (int i = 0; i < kSamples; ++i) {
    std::unique_lock<std::mutex> l(mu);
    const size_t want = received + payload.size();
    const auto t0 = Clock::now();
    if (write(till, payload.data(), payload.size()) != static_cast<ssize_t>(payload.size())) return 1;
    if (!cv.wait_for(l, std::chrono::seconds(5), [&] { return received >= want; })) return 1;
    us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  }
  Report("proxied port -> callback", us);
  close(till);
  return 0;
}
