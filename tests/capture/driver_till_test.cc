// The capture driver (SerialFilter64) between a till and a printer, as real
// tills use it: receipts as POS software writes them, printers that are slow,
// stall or go away. The till and the printer are pseudo-terminals (and a
// FIFO for the parallel port); the agent's side is its serial watcher.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <random>
#include <thread>

#include "capture/driver_device.h"
#include "capture/serial_watcher.h"
#include "platform/scoped_fd.h"
#include "support/subprocess.h"
#include "support/test_support.h"
#include "support/till_corpus.h"

namespace tillcast {
namespace {

using namespace driver;
using platform::ScopedFd;
using Clock = std::chrono::steady_clock;

// A printer on a pseudo-terminal: the driver opens its slave; a thread here
// reads the master. Reading can be paused (a printer busy printing, or out
// of paper with flow control) and the master closed (the printer unplugged).
class PtyPrinter {
 public:
  PtyPrinter() : master_(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC)) {
    if (master_.valid() && grantpt(master_.get()) == 0 && unlockpt(master_.get()) == 0)
      device_ = ptsname(master_.get());
    reader_ = std::thread([this] { Read(); });
  }
  ~PtyPrinter() {
    stop_ = true;
    reader_.join();
  }
  const std::string& device() const { return device_; }
  int master() const { return master_.get(); }
  void Pause(bool paused) { paused_ = paused; }
  // Closes the master once `after_bytes` were read.
  void UnplugAfter(size_t after_bytes) { unplug_after_ = after_bytes; }
  bool Unplugged() const { return unplugged_; }
  std::string Got() {
    std::lock_guard<std::mutex> l(mu_);
    return got_;
  }
  size_t Size() {
    std::lock_guard<std::mutex> l(mu_);
    return got_.size();
  }

 private:
  void Read() {
    char buf[8192];
    while (!stop_) {
      if (paused_ || unplugged_ || !master_.valid()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        continue;
      }
      pollfd p{master_.get(), POLLIN, 0};
      if (poll(&p, 1, 20) <= 0) continue;
      size_t want = sizeof(buf);
      {
        std::lock_guard<std::mutex> l(mu_);
        if (got_.size() < unplug_after_) want = std::min(want, unplug_after_ - got_.size());
      }
      const ssize_t n = read(master_.get(), buf, want);
      if (n <= 0) continue;
      std::lock_guard<std::mutex> l(mu_);
      got_.append(buf, static_cast<size_t>(n));
      if (got_.size() >= unplug_after_) {
        master_.reset();
        unplugged_ = true;
      }
    }
  }

  ScopedFd master_;
  std::string device_;
  std::thread reader_;
  std::atomic<bool> stop_{false}, paused_{false}, unplugged_{false};
  std::atomic<size_t> unplug_after_{SIZE_MAX};
  std::mutex mu_;
  std::string got_;
};

struct Captured {
  std::mutex mu;
  std::string serial, parallel;
  size_t payloads = 0, short_payloads = 0;
  std::string Serial() {
    std::lock_guard<std::mutex> l(mu);
    return serial;
  }
  std::string Parallel() {
    std::lock_guard<std::mutex> l(mu);
    return parallel;
  }
};

class DriverTill : public ::testing::Test {
 protected:
  void TearDown() override {
    watcher_.reset();
    driver_.reset();
  }
  // Starts the driver with a serial till port proxied to `serial_printer`
  // and a parallel one to `parallel_printer` ("" = capture only), plus
  // `extra` configuration lines; then the agent's watcher.
  void Start(const std::string& serial_line, const std::string& parallel_printer, const std::string& extra = "") {
    socket_ = dir_.Sub("sf.sock");
    unlink(socket_.c_str());  // left by a driver of an earlier round
    test::WriteFile(dir_.Sub("sf.conf"), "socket " + socket_ + "\n" + serial_line + "\nparallel 1 " + dir_.Sub("LPT1") +
                                             " " + parallel_printer + "\n" + extra);
    driver_ = std::make_unique<test::Subprocess>(
        std::vector<std::string>{test::BinDir() + "/SerialFilter64", "-c", dir_.Sub("sf.conf")},
        std::map<std::string, std::string>{}, dir_.Sub("sf.log"));
    ASSERT_TRUE(test::WaitUntil([&] { return test::FileExists(socket_) && test::FileExists(dir_.Sub("LPT1")); }, 10000))
        << test::ReadFile(dir_.Sub("sf.log"));
    watcher_ = std::make_unique<SerialWatcher>(std::make_unique<capture::UnixSocketDriverDevice>(socket_),
                                               std::make_unique<capture::ManualTimerService>());
    const auto into = [this](bool serial) {
      return [this, serial](uint32_t, const uint8_t* d, uint32_t n) {
        std::lock_guard<std::mutex> l(got_.mu);
        (serial ? got_.serial : got_.parallel).append(reinterpret_cast<const char*>(d), n);
        ++got_.payloads;
        got_.short_payloads += n <= 2;
      };
    };
    watcher_->SetSerialDataCallback(into(true));
    watcher_->SetParallelDataCallback(into(false));
    ASSERT_TRUE(watcher_->Init([&] {
      watcher_->RemoveAllPortMonitor();
      watcher_->AddPortMonitor(kPortSerial, -1);
      watcher_->AddPortMonitor(kPortParallel, -1);
    }));
  }
  std::string SerialLine(const std::string& printer, const std::string& rest = "9600") {
    return "serial 1 " + dir_.Sub("COM1") + " " + printer + " " + rest;
  }
  // The till's side of the serial port, opened and set raw as till software
  // does (blocking: a write waits while the port is held back).
  ScopedFd OpenTill() {
    ScopedFd fd(open(dir_.Sub("COM1").c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    termios t{};
    if (fd.valid() && tcgetattr(fd.get(), &t) == 0) {
      cfmakeraw(&t);
      tcsetattr(fd.get(), TCSANOW, &t);
    }
    return fd;
  }
  std::string DriverLog() { return test::ReadFile(dir_.Sub("sf.log")); }

  test::TempDir dir_;
  std::string socket_;
  std::unique_ptr<test::Subprocess> driver_;
  Captured got_;
  std::unique_ptr<SerialWatcher> watcher_;
};

// Pseudo-random bytes with zeros and 0xFF, like a raster logo.
std::string Burst(size_t size, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string out(size, '\0');
  for (char& c : out) {
    const uint32_t r = rng();
    c = static_cast<char>(r % 5 == 0 ? 0 : r % 5 == 1 ? 0xFF : r >> 8);
  }
  return out;
}

TEST_F(DriverTill, RealisticReceiptsInTillWritesArriveByteForByteOnSerialAndParallelPorts) {
  PtyPrinter serial_printer, parallel_printer;
  ASSERT_NO_FATAL_FAILURE(Start(SerialLine(serial_printer.device()), parallel_printer.device()));
  const std::vector<test::TillReceipt> corpus = test::SaleCorpus();
  std::string all;
  for (const auto& r : corpus) all += r.bytes;

  ScopedFd till = OpenTill();
  ASSERT_TRUE(till.valid());
  // The first receipt slowly (1 ms between writes, as at 9600 baud): the
  // driver reads ESC, "@" and every line feed on their own.
  ASSERT_TRUE(test::WriteLikeATill(till.get(), corpus[0].writes, 1000));
  for (size_t i = 1; i < corpus.size(); ++i) ASSERT_TRUE(test::WriteLikeATill(till.get(), corpus[i].writes));

  ScopedFd lpt(open(dir_.Sub("LPT1").c_str(), O_WRONLY | O_CLOEXEC));
  ASSERT_TRUE(lpt.valid());
  ASSERT_TRUE(test::WriteLikeATill(lpt.get(), corpus[0].writes, 1000));
  for (size_t i = 1; i < corpus.size(); ++i) ASSERT_TRUE(test::WriteLikeATill(lpt.get(), corpus[i].writes));

  ASSERT_TRUE(test::WaitUntil([&] { return got_.Serial().size() >= all.size() && got_.Parallel().size() >= all.size(); },
                              20000))
      << got_.Serial().size() << " " << got_.Parallel().size() << " of " << all.size();
  EXPECT_TRUE(got_.Serial() == all) << "the serial capture differs from what the till wrote";
  EXPECT_TRUE(got_.Parallel() == all) << "the parallel capture differs from what the till wrote";
  {
    std::lock_guard<std::mutex> l(got_.mu);
    EXPECT_GT(got_.short_payloads, 0u) << "no payload of one or two bytes was made: the slow writes were joined";
  }
  ASSERT_TRUE(test::WaitUntil([&] { return serial_printer.Size() >= all.size() && parallel_printer.Size() >= all.size(); },
                              20000));
  EXPECT_TRUE(serial_printer.Got() == all) << "the serial printer got other bytes than the till wrote";
  EXPECT_TRUE(parallel_printer.Got() == all) << "the parallel printer got other bytes than the till wrote";
}

TEST_F(DriverTill, SlowPrinterHoldsTheTillBackAndGetsEveryByteInOrder) {
  PtyPrinter printer;
  ASSERT_NO_FATAL_FAILURE(Start(SerialLine(printer.device()), "", "printer_backlog 65536\n"));
  const std::string burst = Burst(1 << 20, 7);
  ScopedFd till = OpenTill();
  ASSERT_TRUE(till.valid());

  std::atomic<size_t> written{0};
  std::atomic<bool> failed{false};
  Clock::time_point finished;
  std::thread writer([&] {
    for (size_t at = 0; at < burst.size();) {
      const size_t n = std::min<size_t>(4096, burst.size() - at);
      const ssize_t w = write(till.get(), burst.data() + at, n);
      if (w <= 0) {
        failed = true;
        break;
      }
      at += static_cast<size_t>(w);
      written = at;
    }
    finished = Clock::now();
  });
  // The printer stops taking data a third of the way in, for two seconds.
  ASSERT_TRUE(test::WaitUntil([&] { return printer.Size() > 300000; }, 10000));
  printer.Pause(true);
  // The buffers on the way fill up, then the till is held.
  size_t held_at = written;
  for (int i = 0; i < 30; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    if (written == held_at) break;
    held_at = written;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  const size_t after_stall = written;
  const Clock::time_point resumed = Clock::now();
  printer.Pause(false);
  writer.join();
  ASSERT_FALSE(failed);

  EXPECT_LT(after_stall, burst.size()) << "the till wrote everything while the printer took nothing";
  EXPECT_EQ(after_stall, held_at) << "the till went on writing while the printer's backlog was full";
  EXPECT_GE(finished, resumed) << "the till finished before the printer took data again";
  ASSERT_TRUE(test::WaitUntil([&] { return printer.Size() >= burst.size(); }, 20000)) << printer.Size();
  EXPECT_TRUE(printer.Got() == burst) << "the printer got the bytes changed, reordered or with a hole";
  ASSERT_TRUE(test::WaitUntil([&] { return got_.Serial().size() >= burst.size(); }, 20000));
  EXPECT_TRUE(got_.Serial() == burst);
}

TEST_F(DriverTill, PrinterUnpluggedMidBurstNeverBlocksTheTillAndEverythingIsCaptured) {
  PtyPrinter printer;
  ASSERT_NO_FATAL_FAILURE(
      Start(SerialLine(printer.device()), "", "printer_backlog 65536\nprinter_drop_after 1000\n"));
  const std::string burst = Burst(1 << 20, 9);
  printer.UnplugAfter(200000);
  ScopedFd till = OpenTill();
  ASSERT_TRUE(till.valid());
  std::atomic<bool> done{false}, failed{false};
  std::thread writer([&] {
    for (size_t at = 0; at < burst.size();) {
      const ssize_t w = write(till.get(), burst.data() + at, std::min<size_t>(4096, burst.size() - at));
      if (w <= 0) {
        failed = true;
        break;
      }
      at += static_cast<size_t>(w);
    }
    done = true;
  });
  const bool finished = test::WaitUntil([&] { return done.load(); }, 20000);
  if (!finished) driver_->Signal(SIGKILL);  // ends the till's blocked write
  writer.join();
  ASSERT_TRUE(finished) << "the till's writes blocked on a printer that was gone";
  EXPECT_FALSE(failed);
  EXPECT_TRUE(printer.Unplugged());
  ASSERT_TRUE(test::WaitUntil([&] { return got_.Serial().size() >= burst.size(); }, 20000));
  EXPECT_TRUE(got_.Serial() == burst) << "the capture lost bytes when the printer went away";
  // The bytes held for the gone printer are dropped after their time, with
  // one warning.
  ASSERT_TRUE(test::WaitUntil([&] { return DriverLog().find("printer-bound bytes older than") != std::string::npos; },
                              10000))
      << DriverLog();
  const std::string log = DriverLog();
  EXPECT_EQ(log.find("printer-bound bytes older than"), log.rfind("printer-bound bytes older than")) << log;
}

TEST_F(DriverTill, PrinterFlowControlIsSetOnTheDevice) {
  struct Case {
    const char* word;
    bool rtscts, xonxoff;
  };
  for (const Case& c : {Case{"rtscts", true, false}, Case{"xonxoff", false, true}, Case{"none", false, false}}) {
    SCOPED_TRACE(c.word);
    PtyPrinter printer;
    ASSERT_NO_FATAL_FAILURE(Start(SerialLine(printer.device(), std::string("19200 ") + c.word), ""));
    // The printer is opened at once; its terminal settings are those of the
    // slave the driver holds.
    termios t{};
    ASSERT_TRUE(test::WaitUntil(
        [&] { return tcgetattr(printer.master(), &t) == 0 && cfgetospeed(&t) == B19200; }, 10000));
    EXPECT_EQ((t.c_cflag & CRTSCTS) != 0, c.rtscts);
    EXPECT_EQ((t.c_iflag & IXON) != 0 && (t.c_iflag & IXOFF) != 0, c.xonxoff);
    TearDown();
  }
}

}  // namespace
}  // namespace tillcast
