// Payload latency from a write on the proxied serial port to the agent's
// callback (through SerialFilter64, its event and a data fetch), beside the
// bare pseudo-terminal round trip measured in the same run; then the
// proxied port's throughput to a printer, fast and paced at 115200 baud,
// beside a till writing straight to the same printer.
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
#include <thread>
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

struct Flow {
  double seconds = 0;
  bool intact = false;
};

// The till writes `data` on `till` (blocking) while the printer reads the
// master `printer`, at most `pace` bytes a second (0 = as fast as it can).
Flow Pump(int till, int printer, const std::string& data, size_t pace) {
  Flow f;
  const auto t0 = Clock::now();
  std::thread writer([&] {
    for (size_t at = 0; at < data.size();) {
      const ssize_t n = write(till, data.data() + at, std::min<size_t>(4096, data.size() - at));
      if (n <= 0) return;
      at += static_cast<size_t>(n);
    }
  });
  std::string got;
  char buf[4096];
  while (got.size() < data.size()) {
    size_t want = sizeof(buf);
    if (pace > 0) {
      // The bytes this printer may have taken by now.
      const double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
      const size_t allowed = static_cast<size_t>(elapsed * static_cast<double>(pace));
      if (allowed <= got.size()) {
        usleep(2000);
        continue;
      }
      want = std::min(want, allowed - got.size());
    }
    pollfd p{printer, POLLIN, 0};
    if (poll(&p, 1, 5000) <= 0) break;
    const ssize_t n = read(printer, buf, want);
    if (n <= 0) break;
    got.append(buf, static_cast<size_t>(n));
  }
  f.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  writer.join();
  f.intact = got == data;
  return f;
}

void RawMode(int fd) {
  termios t{};
  tcgetattr(fd, &t);
  cfmakeraw(&t);
  tcsetattr(fd, TCSANOW, &t);
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
  tillcast::test::WriteFile(dir.Sub("sf.conf"),
                            "socket " + dir.Sub("sf.sock") + "\nserial 1 " + dir.Sub("COM1") + "\n");
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

  // Throughput. Bytes with zeros and 0xFF as a logo has them.
  std::string fast(1 << 20, '\0'), paced(96 << 10, '\0');
  for (size_t i = 0; i < fast.size(); ++i) fast[i] = static_cast<char>((i * 131) >> 3);
  paced = fast.substr(0, paced.size());
  constexpr size_t kBaud115200 = 11520;  // bytes a second, 8N1
  std::printf("| path | printer | bytes | seconds | throughput | intact |\n|---|---|---|---|---|---|\n");
  const auto row = [](const char* path, const char* printer, size_t bytes, const Flow& f) {
    std::printf("| %s | %s | %zu | %.2f | %.1f KB/s | %s |\n", path, printer, bytes, f.seconds,
                static_cast<double>(bytes) / 1024.0 / f.seconds, f.intact ? "yes" : "NO");
  };
  Flow bare_fast, bare_paced, driver_fast, driver_paced;
  {
    std::string slave_name;
    const int master = OpenPty(&slave_name);
    const int slave = open(slave_name.c_str(), O_RDWR | O_NOCTTY);
    RawMode(slave);
    bare_fast = Pump(slave, master, fast, 0);
    bare_paced = Pump(slave, master, paced, kBaud115200);
    close(slave);
    close(master);
  }
  {
    std::string printer_name;
    const int printer = OpenPty(&printer_name);
    tillcast::test::WriteFile(dir.Sub("sf2.conf"), "socket " + dir.Sub("sf2.sock") + "\nserial 2 " + dir.Sub("COM2") +
                                                       " " + printer_name + " 115200\nprinter_backlog 65536\n");
    tillcast::test::Subprocess proxy({driver, "-c", dir.Sub("sf2.conf")}, {}, dir.Sub("sf2.log"));
    if (!tillcast::test::WaitUntil([&] { return tillcast::test::FileExists(dir.Sub("COM2")); }, 10000)) return 1;
    const int till2 = open(dir.Sub("COM2").c_str(), O_RDWR | O_NOCTTY);
    RawMode(till2);
    driver_fast = Pump(till2, printer, fast, 0);
    driver_paced = Pump(till2, printer, paced, kBaud115200);
    close(till2);
    close(printer);
  }
  row("till -> printer, bare pty", "fast", fast.size(), bare_fast);
  row("till -> SerialFilter64 -> printer", "fast", fast.size(), driver_fast);
  row("till -> printer, bare pty", "115200 baud", paced.size(), bare_paced);
  row("till -> SerialFilter64 (64 KiB backlog) -> printer", "115200 baud", paced.size(), driver_paced);
  std::printf("proxied/bare throughput: fast printer %.2fx, printer at 115200 baud %.2fx\n",
              bare_fast.seconds / driver_fast.seconds, bare_paced.seconds / driver_paced.seconds);
  return 0;
}
