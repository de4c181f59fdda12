// Figures of receipt printing: a typical 40-line additional receipt with one
// QR code rendered and encoded to ESC/POS, and a 4 KB raw job printed to a
// pseudo-terminal, each beside the time its bytes need on a serial line at
// 9,600 and 115,200 baud (8N1: ten bits a byte), the physical limit of a
// serial receipt printer.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "base/log.h"
#include "base/text_util.h"
#include "data/data_mgr.h"
#include "print/printer_link.h"
#include "print/receipt_printer.h"
#include "print/sdk_binding.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Figures {
  double p50, p99, mean;
};

Figures Measure(int runs, const std::function<void()>& op) {
  std::vector<double> ms;
  for (int i = 0; i < runs; ++i) {
    const auto t0 = Clock::now();
    op();
    ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
  }
  std::sort(ms.begin(), ms.end());
  double sum = 0;
  for (double v : ms) sum += v;
  return {ms[ms.size() / 2], ms[static_cast<size_t>(0.99 * static_cast<double>(ms.size() - 1))], sum / ms.size()};
}

double WireMs(size_t bytes, int baud) { return static_cast<double>(bytes) * 10.0 * 1000.0 / baud; }

void Report(const char* what, const Figures& f, size_t bytes) {
  std::printf("%s: %zu bytes, p50 %.3f ms, p99 %.3f ms, mean %.3f ms\n", what, bytes, f.p50, f.p99, f.mean);
  for (int baud : {9600, 115200}) {
    const double wire = WireMs(bytes, baud);
    std::printf("  on the wire at %6d baud: %9.1f ms  -> wire time / our time = %.0fx\n", baud, wire, wire / f.p50);
  }
}

std::string TypicalTemplate() {
  std::string rows;
  auto add = [&rows](const std::string& row) { rows += (rows.empty() ? "" : ",") + row; };
  add(R"J({"line-space":1,"cols":[{"content-type":"txt","content":"会员积分小票","align":"center","wscale":2,"hscale":2,"bold":1}]})J");
  add(R"J({"cols":[{"content-type":"txt","content":"单号: no[1]"}]})J");
  add(R"J({"cols":[{"content-type":"txt","content":"时间: time[1]"}]})J");
  for (int i = 0; i < 34; ++i) {
    add(R"J({"cols":[{"content-type":"txt","content":"商品)J" + std::to_string(i) +
        R"J( 可口可乐 330ml","width":20},{"content-type":"txt","content":"x1","width":4},{"content-type":"txt","content":"3.50","width":8,"align":"right"}]})J");
  }
  add(R"J({"cols":[{"content-type":"txt","content":"合计 total[1] 元","align":"right","bold":1}]})J");
  add(R"J({"blank-line":1,"cols":[{"content-type":"txt","content":"扫码领取积分","align":"center","underline":1}]})J");
  add(R"J({"cols":[{"content-type":"2d-code","content":"https://tillcast.example/p?no=no[1]&amt=total[1]","scale":3,"align":"center"}]})J");
  return R"J({"format":"json","rules":{"no":"单号[:：](\\d+)","time":"时间[:：]([0-9: -]+)","total":"实收[:：](\\d+\\.\\d+)"},"rows":[)J" +
         rows + "]}";
}

std::string TypicalTicket() {
  std::string t = "便利店\r\n单号:2024010100012345\r\n时间:2024-01-01 12:00:00\r\n";
  for (int i = 0; i < 30; ++i) t += "可口可乐 330ml     x1     3.50\r\n";
  return tillcast::Utf8ToAnsi(t + "实收:105.00\r\n");
}

}  // namespace

int main() {
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / ("tillcast-print-bench-" + std::to_string(getpid()));
  fs::create_directories(dir);
  tillcast::SetLogFolder(dir.string());
  tillcast::InitLog(tillcast::LOG_INFO);  // as the agent runs
  if (!tillcast::BindPrinterSdk()) {
    std::fprintf(stderr, "libprint.so not found beside the benchmark\n");
    return 1;
  }
  tillcast::DataMgr& data = tillcast::DataMgr::GetInstance();

  // 1. Template render + ESC/POS encoding, written to a file port.
  const std::string out = (dir / "receipt.bin").string();
  data.SetConfig("PortType", tillcast::Utf8ToAnsi("并口"));
  data.SetConfig("PortName", out);
  const std::string tpl = TypicalTemplate(), ticket = TypicalTicket();
  if (std::FILE* f = std::fopen(out.c_str(), "wb")) std::fclose(f);  // the "printer" must exist
  if (!tillcast::RenderReceiptIn(ticket, tpl, dir.string())) {
    std::fprintf(stderr, "render failed\n");
    return 1;
  }
  const size_t receiptBytes = fs::file_size(out);
  const Figures render = Measure(200, [&] {
    fs::remove(out);
    std::FILE* f = std::fopen(out.c_str(), "wb");
    if (f) std::fclose(f);
    tillcast::RenderReceiptIn(ticket, tpl, dir.string());
  });
  Report("40-line receipt with a QR code, render + ESC/POS", render, receiptBytes);

  // 2. A 4 KB raw job to a pseudo-terminal, drained by a reader as a
  // printer would.
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return 1;
  const std::string slave = ptsname(master);
  const int keep = open(slave.c_str(), O_RDWR | O_NOCTTY);
  std::atomic<bool> stop{false};
  std::atomic<size_t> received{0};
  std::thread reader([&] {
    char buf[8192];
    while (!stop) {
      pollfd p{master, POLLIN, 0};
      if (poll(&p, 1, 50) > 0) {
        const ssize_t n = read(master, buf, sizeof buf);
        if (n > 0) received += static_cast<size_t>(n);
      }
    }
  });
  data.SetConfig("PortType", tillcast::Utf8ToAnsi("串口"));
  data.SetConfig("PortName", slave);
  data.SetConfig("Baudrate", "115200");
  data.SetConfig("DataBits", "8");
  std::vector<unsigned char> job(4096);
  for (size_t i = 0; i < job.size(); ++i) job[i] = static_cast<unsigned char>(i);
  const Figures raw = Measure(200, [&] {
    tillcast::PrinterLink link;
    tillcast::PrintRaw(link, job);
  });
  stop = true;
  reader.join();
  Report("4 KB raw job to a pseudo-terminal, open + write + close", raw, job.size());
  std::printf("  (reader received %zu of %zu bytes)\n", received.load(), job.size() * 200);
  close(keep);
  close(master);
  fs::remove_all(dir);
  return 0;
}
