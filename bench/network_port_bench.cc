// A till printing to a network printer through SerialFilter64's network
// port, beside the same till talking to the same printer directly, in the
// same run: the status round trip (DLE EOT 1 and its answer byte, on one
// open connection), one receipt per connection (connect, 4 KiB, the till's
// end, until the connection is over: the printer has it all), and the
// throughput of one large job. The printer is a loopback printer of the
// test support (one connection at a time, answers DLE EOT).
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "percentile.h"
#include "platform/paths.h"
#include "platform/scoped_fd.h"
#include "support/subprocess.h"
#include "support/tcp_printer.h"
#include "support/test_support.h"

using Clock = std::chrono::steady_clock;
using tillcast::platform::ScopedFd;

namespace {

ScopedFd Connect(int port) {
  ScopedFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (!fd.valid() || connect(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return ScopedFd();
  return fd;
}

bool SendAll(int fd, const std::string& data) {
  for (size_t at = 0; at < data.size();) {
    const ssize_t n = send(fd, data.data() + at, data.size() - at, MSG_NOSIGNAL);
    if (n <= 0) return false;
    at += static_cast<size_t>(n);
  }
  return true;
}

// Reads until the peer ends the connection; false after 10 s.
bool WaitEnd(int fd) {
  char buf[4096];
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 10000) <= 0) return false;
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return true;
  }
}

struct Figures {
  std::vector<double> status_us, receipt_ms;
  double job_seconds = 0;
  bool intact = false;
};

// The three measures against `port` (the printer's or the driver's).
Figures Measure(int port, tillcast::test::TcpPrinter* printer, const std::string& receipt, const std::string& job) {
  Figures f;
  {
    ScopedFd till = Connect(port);
    const std::string request("\x10\x04\x01", 3);
    for (int i = 0; i < 2000 && till.valid(); ++i) {
      const auto t0 = Clock::now();
      char answer = 0;
      pollfd p{till.get(), POLLIN, 0};
      if (!SendAll(till.get(), request) || poll(&p, 1, 5000) != 1 || recv(till.get(), &answer, 1, 0) != 1) break;
      f.status_us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    shutdown(till.get(), SHUT_WR);
    WaitEnd(till.get());
  }
  for (int i = 0; i < 200; ++i) {
    const auto t0 = Clock::now();
    ScopedFd till = Connect(port);
    if (!till.valid() || !SendAll(till.get(), receipt)) break;
    shutdown(till.get(), SHUT_WR);
    if (!WaitEnd(till.get())) break;
    f.receipt_ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
  }
  const size_t before = printer->Connections().size();
  const auto t0 = Clock::now();
  ScopedFd till = Connect(port);
  if (till.valid() && SendAll(till.get(), job)) {
    shutdown(till.get(), SHUT_WR);
    WaitEnd(till.get());
  }
  f.job_seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  tillcast::test::WaitUntil([&] { return printer->Ended() > before; }, 5000);
  const auto conns = printer->Connections();
  f.intact = conns.size() > before && conns.back() == job;
  return f;
}

void Row(const char* path, const Figures& f, size_t job_bytes) {
  std::printf("| %s | %.0f us | %.0f us | %.2f ms | %.2f ms | %.1f MB/s | %s |\n", path,
              bench::Percentile(f.status_us, 0.5), bench::Percentile(f.status_us, 0.99),
              bench::Percentile(f.receipt_ms, 0.5), bench::Percentile(f.receipt_ms, 0.99),
              static_cast<double>(job_bytes) / 1e6 / f.job_seconds, f.intact ? "yes" : "NO");
}

}  // namespace

int main() {
  // A receipt and a large job (a tall logo), without DLE bytes so the
  // printer answers only the status requests.
  std::string receipt(4096, '\0'), job(16u << 20, '\0');
  for (size_t i = 0; i < job.size(); ++i) {
    job[i] = static_cast<char>((i * 131) >> 3);
    if (job[i] == 0x10) job[i] = 0x11;
  }
  receipt = job.substr(0, receipt.size());

  tillcast::test::TcpPrinter direct_printer, proxied_printer;
  if (!direct_printer.ok() || !proxied_printer.ok()) return 1;
  tillcast::test::TempDir dir;
  const std::string bin = tillcast::platform::ExecutablePath();
  const std::string driver = bin.substr(0, bin.rfind('/')) + "/SerialFilter64";
  const int till_port = tillcast::test::FreeLoopbackPort();
  tillcast::test::WriteFile(dir.Sub("sf.conf"), "socket " + dir.Sub("sf.sock") + "\nnetwork 1 127.0.0.1:" +
                                                    std::to_string(till_port) + " " + proxied_printer.Address() + "\n");
  tillcast::test::Subprocess daemon({driver, "-c", dir.Sub("sf.conf")}, {}, dir.Sub("sf.log"));
  if (!tillcast::test::WaitUntil([&] { return tillcast::test::LoopbackListening(till_port); }, 10000)) {
    std::fprintf(stderr, "SerialFilter64 did not listen (%s)\n", driver.c_str());
    return 1;
  }
  const Figures bare = Measure(direct_printer.port(), &direct_printer, receipt, job);
  const Figures proxied = Measure(till_port, &proxied_printer, receipt, job);
  std::printf(
      "| path | status p50 | status p99 | 4 KiB receipt per connection p50 | p99 | 16 MiB job | intact |\n"
      "|---|---|---|---|---|---|---|\n");
  Row("till -> printer (bare)", bare, job.size());
  Row("till -> SerialFilter64 network port -> printer", proxied, job.size());
  std::printf("proxied/bare: status p50 %.2fx, receipt p50 %.2fx, job throughput %.2fx\n",
              bench::Percentile(proxied.status_us, 0.5) / bench::Percentile(bare.status_us, 0.5),
              bench::Percentile(proxied.receipt_ms, 0.5) / bench::Percentile(bare.receipt_ms, 0.5),
              bare.job_seconds / proxied.job_seconds);
  daemon.Signal(SIGTERM);
  daemon.Wait(5000);
  return bare.intact && proxied.intact ? 0 : 1;
}
