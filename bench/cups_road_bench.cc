// The CUPS road's cost: a receipt printed through a queue behind the
// tillcast backend (device backend run under it, the job's copy written and
// published) beside the same receipt on a queue that prints to the same
// device directly, both on one private cupsd in the same run; and the
// agent's reading of a copy (raw bytes, text, a PDF's text through
// poppler). Prints figures; asserts nothing.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "base/log.h"
#include "capture/cups_capture.h"
#include "capture/cups_copy.h"
#include "percentile.h"
#include "support/pdf_writer.h"
#include "support/private_cups.h"
#include "support/till_corpus.h"

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

const char* kDevice =
    "#!/bin/sh\n"
    "[ $# -eq 0 ] && exit 0\n"
    "dev=\"${DEVICE_URI#testdev:}\"\n"
    "if [ -n \"$6\" ]; then cat \"$6\" >> \"$dev/printed\"; else cat >> \"$dev/printed\"; fi\n";

struct Timings {
  std::vector<double> device;  // submit -> the whole job at the device
  std::vector<double> done;    // submit -> the job completed in CUPS
};

size_t FileSize(const std::string& path) {
  std::error_code ec;
  const auto n = std::filesystem::file_size(path, ec);
  return ec ? 0 : static_cast<size_t>(n);
}

void Jobs(tillcast::test::PrivateCups& cups, const std::string& queue, const std::string& file,
          const std::string& printed, int n, Timings* t) {
  const size_t size = FileSize(file);
  for (int i = 0; i < n; ++i) {
    std::string why;
    const size_t before = FileSize(printed);
    const auto start = Clock::now();
    const int job = cups.Print(queue, file, {{"raw", "true"}}, &why);
    bool at_device = false;
    while (job != 0 && Clock::now() - start < std::chrono::seconds(20)) {
      if (!at_device && FileSize(printed) >= before + size) {
        at_device = true;
        t->device.push_back(Ms(Clock::now() - start));
      }
      if (at_device && cups.JobState(job) == 9) {
        t->done.push_back(Ms(Clock::now() - start));
        break;
      }
      std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
  }
}

void Row(const char* what, const std::vector<double>& v, double base_p50) {
  const double p50 = bench::Percentile(v, 0.5);
  std::printf("%-44s p50 %7.2f ms  p99 %7.2f ms", what, p50, bench::Percentile(v, 0.99));
  if (base_p50 > 0) std::printf("  (%.2fx)", p50 / base_p50);
  std::printf("\n");
}

template <typename F>
std::vector<double> Time(int n, F f) {
  std::vector<double> out;
  for (int i = 0; i < n; ++i) {
    const auto start = Clock::now();
    f();
    out.push_back(Ms(Clock::now() - start));
  }
  return out;
}

}  // namespace

int main() {
  using namespace tillcast;
  constexpr int kJobs = 40;
  test::TempDir dir;
  std::filesystem::create_directories(dir.Sub("logs"));
  SetLogFolder(dir.Sub("logs"));
  InitLog(LOG_WARNING);
  for (const char* d : {"direct", "wrapped"}) std::filesystem::create_directories(dir.Sub(d));

  test::PrivateCups cups;
  cups.AddBackendFile("tillcast", test::BinDir() + "/tillcast-cups-backend", 0700);
  cups.AddBackend("testdev", kDevice, 0700);
  cups.SetEnv("TILLCAST_CUPS_INBOX", dir.Sub("inbox"));
  cups.AddQueue({"Direct", "testdev:" + dir.Sub("direct"), "", ""});
  cups.AddQueue({"Wrapped", "tillcast:/testdev:" + dir.Sub("wrapped"), "", ""});
  std::string why;
  if (!cups.Start(&why)) {
    std::fprintf(stderr, "no private cupsd: %s\n", why.c_str());
    return 1;
  }
  test::SaleShape shape;
  shape.logo_rows = 96;
  const test::TillReceipt sale = test::SaleReceipt(shape);
  test::WriteFile(dir.Sub("sale.bin"), sale.bytes);

  // One job each first: cupsd's first start of a backend reads it from disk.
  Timings warm, direct, wrapped;
  const std::string sale_file = dir.Sub("sale.bin");
  Jobs(cups, "Direct", sale_file, dir.Sub("direct/printed"), 1, &warm);
  Jobs(cups, "Wrapped", sale_file, dir.Sub("wrapped/printed"), 1, &warm);
  for (int round = 0; round < 4; ++round) {  // interleaved, so load on the machine hits both
    Jobs(cups, "Direct", sale_file, dir.Sub("direct/printed"), kJobs / 4, &direct);
    Jobs(cups, "Wrapped", sale_file, dir.Sub("wrapped/printed"), kJobs / 4, &wrapped);
  }
  std::printf("CUPS jobs of a %zu-byte ESC/POS receipt on a raw queue, %d jobs each\n", sale.bytes.size(), kJobs);
  Row("submit -> at the device: device directly", direct.device, 0);
  Row("submit -> at the device: behind tillcast", wrapped.device, bench::Percentile(direct.device, 0.5));
  Row("submit -> completed: device directly", direct.done, 0);
  Row("submit -> completed: behind tillcast", wrapped.done, bench::Percentile(direct.done, 0.5));

  // The agent's side: one copy read and made into its capture.
  const std::string text =
      "演示门店\n小票号 R20240501\n矿泉水 x2            5.00\n三明治 x1           31.50\n合计：36.50\n";
  std::vector<std::string> lines;
  for (size_t at = 0, nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1)
    lines.push_back(text.substr(at, nl - at));
  std::vector<test::PdfPiece> page;
  for (int i = 0; i < 40; ++i) page.push_back({10, 390.0 - 9 * i, lines[static_cast<size_t>(i) % lines.size()]});
  struct Kind {
    const char* what;
    std::string type, document;
  };
  const std::vector<Kind> kinds = {
      {"agent: raw copy -> capture", "application/vnd.cups-raw", sale.bytes},
      {"agent: UTF-8 text copy -> GBK capture", "text/plain", text},
      {"agent: 40-line PDF copy -> GBK lines", "application/pdf", test::MakePdf({page})},
  };
  std::printf("\n");
  for (const auto& k : kinds) {
    capture::CupsCopyHeader h;
    h.type = k.type;
    const std::string path = dir.Sub("bench.copy");
    test::WriteFile(path, capture::FormatCupsCopyHeader(h) + k.document);
    std::string capture;
    Row(k.what, Time(200, [&] { capture::TakeCupsCopy(path, &capture); }), 0);
  }
  return 0;
}
