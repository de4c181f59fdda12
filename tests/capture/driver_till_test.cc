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
#include <cerrno>
#include <chrono>
#include <cstring>
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
    StopDriver();
    // A keeper whose driver was killed lets go once its ports are gone.
    unlink(dir_.Sub("COM1").c_str());
    unlink(dir_.Sub("LPT1").c_str());
    EXPECT_TRUE(test::WaitUntil([&] { return test::ProcessesMentioning(dir_.path()).empty(); }, 5000))
        << "processes left behind: " << test::ProcessesMentioning(dir_.path()).size();
  }
  // A clean stop: the keeper removes the ports and exits with the driver.
  void StopDriver() {
    if (!driver_) return;
    driver_->Signal(SIGTERM);
    driver_->Wait(5000);
    driver_.reset();
  }
  // The driver as it crashes: SIGKILL, nothing cleaned up.
  void KillDriver() {
    driver_->Signal(SIGKILL);
    driver_->Wait(5000);
    driver_.reset();
  }
  // Starts the driver again on the same configuration (the socket a killed
  // one left behind is replaced).
  void StartDriver() {
    driver_ = std::make_unique<test::Subprocess>(
        std::vector<std::string>{test::BinDir() + "/SerialFilter64", "-c", dir_.Sub("sf.conf")},
        std::map<std::string, std::string>{}, dir_.Sub("sf.log"));
    ASSERT_TRUE(test::WaitUntil([&] { return test::FileExists(socket_) && test::FileExists(dir_.Sub("LPT1")); }, 10000))
        << test::ReadFile(dir_.Sub("sf.log"));
  }
  // Starts the driver with a serial till port proxied to `serial_printer`
  // and a parallel one to `parallel_printer` ("" = capture only), plus
  // `extra` configuration lines; then the agent's watcher.
  void Start(const std::string& serial_line, const std::string& parallel_printer, const std::string& extra = "") {
    socket_ = dir_.Sub("sf.sock");
    unlink(socket_.c_str());  // left by a driver of an earlier round
    test::WriteFile(dir_.Sub("sf.conf"), "socket " + socket_ + "\n" + serial_line + "\nparallel 1 " + dir_.Sub("LPT1") +
                                             " " + parallel_printer + "\n" + extra);
    ASSERT_NO_FATAL_FAILURE(StartDriver());
    // With a retry period the watcher runs its timer as the agent does
    // (reconnecting after a driver restart); else the test fires it.
    std::unique_ptr<capture::TimerService> timers;
    if (retry_ms_ > 0)
      timers = std::make_unique<capture::ThreadTimerService>();
    else
      timers = std::make_unique<capture::ManualTimerService>();
    watcher_ =
        std::make_unique<SerialWatcher>(std::make_unique<capture::UnixSocketDriverDevice>(socket_), std::move(timers));
    watcher_->SetConnectPeriod(retry_ms_);
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
      ++registrations_;
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
  uint32_t retry_ms_ = 0;  // the watcher's connect period; 0 = fired by hand
  std::atomic<int> registrations_{0};
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

  ASSERT_TRUE(test::WaitUntil(
      [&] { return got_.Serial().size() >= all.size() && got_.Parallel().size() >= all.size(); }, 20000))
      << got_.Serial().size() << " " << got_.Parallel().size() << " of " << all.size();
  EXPECT_TRUE(got_.Serial() == all) << "the serial capture differs from what the till wrote";
  EXPECT_TRUE(got_.Parallel() == all) << "the parallel capture differs from what the till wrote";
  {
    std::lock_guard<std::mutex> l(got_.mu);
    EXPECT_GT(got_.short_payloads, 0u) << "no payload of one or two bytes was made: the slow writes were joined";
  }
  ASSERT_TRUE(test::WaitUntil(
      [&] { return serial_printer.Size() >= all.size() && parallel_printer.Size() >= all.size(); }, 20000));
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
  ASSERT_NO_FATAL_FAILURE(Start(SerialLine(printer.device()), "", "printer_backlog 65536\nprinter_drop_after 1000\n"));
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
  ASSERT_TRUE(
      test::WaitUntil([&] { return DriverLog().find("printer-bound bytes older than") != std::string::npos; }, 10000))
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
    ASSERT_TRUE(
        test::WaitUntil([&] { return tcgetattr(printer.master(), &t) == 0 && cfgetospeed(&t) == B19200; }, 10000));
    EXPECT_EQ((t.c_cflag & CRTSCTS) != 0, c.rtscts);
    EXPECT_EQ((t.c_iflag & IXON) != 0 && (t.c_iflag & IXOFF) != 0, c.xonxoff);
    TearDown();
  }
}

// --- The till's ports across a crash of the driver ---

// A till port as the till's software holds it open for the day.
struct TillPort {
  const char* name;
  bool serial;
};

// The till keeps one descriptor open the whole time; the driver is killed
// (SIGKILL), the till prints on meanwhile, the driver is started again. The
// descriptor never fails (no EIO, no SIGPIPE: this process keeps SIGPIPE's
// default action), what was printed during the outage and after reaches the
// printer and the agent's watcher byte for byte, in order, and the watcher
// says it lost the driver and got it back, and registers again.
TEST_F(DriverTill, TillDescriptorOutlivesADriverCrashAndEveryByteArrives) {
  ASSERT_NE(signal(SIGPIPE, SIG_DFL), SIG_ERR);
  for (const TillPort& port : {TillPort{"serial", true}, TillPort{"parallel", false}}) {
    SCOPED_TRACE(port.name);
    test::ScopedLog log;
    PtyPrinter serial_printer, parallel_printer;
    retry_ms_ = 100;
    ASSERT_NO_FATAL_FAILURE(Start(SerialLine(serial_printer.device()), parallel_printer.device()));
    PtyPrinter& printer = port.serial ? serial_printer : parallel_printer;
    const auto captured = [&] { return port.serial ? got_.Serial() : got_.Parallel(); };
    ScopedFd till = port.serial ? OpenTill() : ScopedFd(open(dir_.Sub("LPT1").c_str(), O_WRONLY | O_CLOEXEC));
    ASSERT_TRUE(till.valid());

    const std::vector<test::TillReceipt> corpus = test::SaleCorpus();
    ASSERT_TRUE(test::WriteLikeATill(till.get(), corpus[0].writes));
    ASSERT_TRUE(test::WaitUntil([&] { return printer.Size() == corpus[0].bytes.size(); }, 10000));
    ASSERT_TRUE(test::WaitUntil([&] { return captured().size() == corpus[0].bytes.size(); }, 10000));

    KillDriver();
    // The till goes on printing while no driver runs; its writes wait in
    // the port (and block once the port's buffer is full, as on a real
    // port), so they run on a thread of their own.
    std::atomic<int> outage_errno{0};
    std::thread outage([&] {
      if (!test::WriteLikeATill(till.get(), corpus[1].writes)) outage_errno = errno ? errno : -1;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    StartDriver();
    outage.join();  // before any return: the thread uses this frame
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_EQ(outage_errno, 0) << "the till's descriptor failed while the driver was down: "
                               << std::strerror(outage_errno);
    ASSERT_TRUE(test::WaitUntil([&] { return log.Contains("capture driver connection back"); }, 5000)) << log.Text();
    ASSERT_TRUE(test::WaitUntil([&] { return registrations_ == 2 && watcher_->MonitorCount() == 2; }, 5000));

    // After the restart, through the same descriptor.
    ASSERT_TRUE(test::WriteLikeATill(till.get(), corpus[2].writes));
    const std::string all = corpus[0].bytes + corpus[1].bytes + corpus[2].bytes;
    ASSERT_TRUE(test::WaitUntil([&] { return printer.Size() >= all.size(); }, 20000))
        << printer.Size() << " of " << all.size();
    EXPECT_TRUE(printer.Got() == all) << "the printer got other bytes than the till wrote";
    ASSERT_TRUE(test::WaitUntil([&] { return captured().size() >= all.size(); }, 20000))
        << captured().size() << " of " << all.size();
    EXPECT_TRUE(captured() == all) << "the capture differs from what the till wrote";

    size_t lost = 0, back = 0;
    for (const std::string& l : test::SplitLines(log.Text())) {
      lost += l.find("[INFO]: capture driver connection lost") != std::string::npos;
      back += l.find("[INFO]: capture driver connection back") != std::string::npos;
    }
    EXPECT_EQ(lost, 1u);
    EXPECT_EQ(back, 1u);
    till.reset();
    TearDown();
    got_.serial.clear();
    got_.parallel.clear();
    registrations_ = 0;
  }
}

// A clean stop of the driver removes the ports, and its keeper is gone with
// it; a keeper whose driver crashed ends once its ports were removed by
// someone else, or after its linger time without a driver.
TEST_F(DriverTill, PortKeeperEndsOnACleanStopWhenItsPortsAreRemovedAndAfterItsLingerTime) {
  struct Case {
    const char* name;
    std::string extra;
    bool clean_stop, remove_ports;
  };
  for (const Case& c : {Case{"clean stop", "", true, false}, Case{"ports removed", "", false, true},
                        Case{"linger time", "ports_linger 500\n", false, false}}) {
    SCOPED_TRACE(c.name);
    ASSERT_NO_FATAL_FAILURE(Start("serial 1 " + dir_.Sub("COM1"), "", c.extra));
    watcher_.reset();
    ASSERT_TRUE(test::FileExists(dir_.Sub("COM1")));
    // The driver and its keeper, each in its own process group.
    const std::vector<int> procs = test::ProcessesMentioning(dir_.path());
    ASSERT_EQ(procs.size(), 2u);
    EXPECT_NE(getpgid(procs[0]), getpgid(procs[1]));
    if (c.clean_stop) {
      StopDriver();
      EXPECT_FALSE(test::FileExists(dir_.Sub("COM1"))) << "the port outlived a clean stop";
      EXPECT_FALSE(test::FileExists(dir_.Sub("LPT1")));
    } else {
      KillDriver();
      if (c.remove_ports) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1200));
        EXPECT_EQ(test::ProcessesMentioning(dir_.path()).size(), 1u) << "the keeper did not wait for its ports to go";
        unlink(dir_.Sub("COM1").c_str());
        unlink(dir_.Sub("LPT1").c_str());
      }
    }
    EXPECT_TRUE(test::WaitUntil([&] { return test::ProcessesMentioning(dir_.path()).empty(); }, 10000))
        << test::ReadFile(dir_.Sub("sf.log"));
    EXPECT_FALSE(test::FileExists(dir_.Sub("COM1")));
    TearDown();
  }
}

// The keeper re-reads the configuration for every driver: a port whose
// link someone removed, or one added to the configuration, is made anew;
// one no longer configured is removed. A path that is not a link is still
// refused.
TEST_F(DriverTill, KeeperFollowsTheConfigurationOnEachDriverStart) {
  ASSERT_NO_FATAL_FAILURE(Start("serial 1 " + dir_.Sub("COM1"), ""));
  watcher_.reset();
  KillDriver();
  unlink(dir_.Sub("COM1").c_str());
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));  // the keeper lets COM1 go
  test::WriteFile(dir_.Sub("COM3"), "a file of someone else");
  test::WriteFile(dir_.Sub("sf.conf"), "socket " + socket_ + "\nserial 1 " + dir_.Sub("COM1") + "\nserial 2 " +
                                           dir_.Sub("COM2") + "\nserial 3 " + dir_.Sub("COM3") + "\n");
  unlink(socket_.c_str());
  driver_ = std::make_unique<test::Subprocess>(
      std::vector<std::string>{test::BinDir() + "/SerialFilter64", "-c", dir_.Sub("sf.conf")},
      std::map<std::string, std::string>{}, dir_.Sub("sf.log"));
  ASSERT_TRUE(test::WaitUntil([&] { return test::FileExists(dir_.Sub("COM2")); }, 10000))
      << test::ReadFile(dir_.Sub("sf.log"));
  EXPECT_TRUE(test::FileExists(dir_.Sub("COM1")));
  EXPECT_FALSE(test::FileExists(dir_.Sub("LPT1"))) << "a port no longer configured was kept";
  EXPECT_EQ(test::ReadFile(dir_.Sub("COM3")), "a file of someone else");
  EXPECT_TRUE(test::WaitUntil(
      [&] { return DriverLog().find("COM3 exists and is not a link; port left out") != std::string::npos; }, 5000))
      << DriverLog();
  EXPECT_EQ(test::ProcessesMentioning(dir_.path()).size(), 2u) << "a second keeper was started";
  // Both new ports work.
  for (const char* name : {"COM1", "COM2"}) {
    ScopedFd fd(open(dir_.Sub(name).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    EXPECT_TRUE(fd.valid()) << name;
  }
  unlink(dir_.Sub("COM3").c_str());
}

// A keeper run by a service manager (--managed) is used by the driver
// rather than a keeper of its own; it keeps the ports when the driver stops
// and removes them when it is stopped itself.
TEST_F(DriverTill, ManagedKeeperKeepsThePortsWhenTheDriverStops) {
  socket_ = dir_.Sub("sf.sock");
  test::WriteFile(dir_.Sub("sf.conf"),
                  "socket " + socket_ + "\nserial 1 " + dir_.Sub("COM1") + "\nparallel 1 " + dir_.Sub("LPT1") + "\n");
  test::Subprocess keeper({test::BinDir() + "/SerialFilter64", "--keep-ports", "--managed", "-c", dir_.Sub("sf.conf")},
                          {}, dir_.Sub("keeper.log"));
  ASSERT_TRUE(test::WaitUntil([&] { return test::FileExists(dir_.Sub("LPT1")); }, 10000));
  ASSERT_NO_FATAL_FAILURE(StartDriver());
  EXPECT_EQ(test::ProcessesMentioning(dir_.path()).size(), 2u) << "the driver started a keeper of its own";
  ScopedFd till = OpenTill();
  ASSERT_TRUE(till.valid());
  StopDriver();
  EXPECT_TRUE(test::FileExists(dir_.Sub("COM1")));
  EXPECT_TRUE(test::FileExists(dir_.Sub("LPT1")));
  EXPECT_EQ(write(till.get(), "\x1b@", 2), 2) << std::strerror(errno);
  keeper.Signal(SIGTERM);
  ASSERT_TRUE(keeper.Wait(5000));
  EXPECT_EQ(keeper.exit_code(), 0);
  EXPECT_FALSE(test::FileExists(dir_.Sub("COM1")));
  EXPECT_FALSE(test::FileExists(dir_.Sub("LPT1")));
}

}  // namespace
}  // namespace tillcast
