// The capture driver (SerialFilter64) between a till and a network receipt
// printer: the till connects to the driver's network port as it would to
// the printer's port 9100, and the driver passes each connection on to the
// printer (the virtual printer on TCP, or a loopback printer of the test
// where connections are counted). The agent's side is its serial watcher.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <thread>

#include "capture/driver_device.h"
#include "capture/serial_watcher.h"
#include "platform/scoped_fd.h"
#include "support/subprocess.h"
#include "support/tcp_printer.h"
#include "support/test_support.h"
#include "support/till_corpus.h"

namespace tillcast {
namespace {

using namespace driver;
using platform::ScopedFd;
using test::ConnectLoopback;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

// What the agent's watcher was handed.
struct Captured {
  std::mutex mu;
  std::string serial, parallel;
  std::set<uint32_t> sources;
  std::string Serial() {
    std::lock_guard<std::mutex> l(mu);
    return serial;
  }
};

// Reads what the peer sends until it ends the connection or `timeout_ms`
// pass; `*ended` tells which (end of file or a reset).
std::string ReadUntilEnd(int fd, int timeout_ms, bool* ended) {
  std::string got;
  *ended = false;
  const auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (Clock::now() < end) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    char buf[4096];
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n > 0) {
      got.append(buf, static_cast<size_t>(n));
      continue;
    }
    *ended = n == 0 || errno == ECONNRESET;
    if (*ended) break;
  }
  return got;
}

// A till that prints to the network: connects, performs its writes, ends
// its side, and waits until the driver ends the connection (after the
// printer took everything).
bool PrintOverOneConnection(int port, const std::vector<std::string>& writes) {
  ScopedFd till = ConnectLoopback(port);
  if (!till.valid() || !test::WriteLikeATill(till.get(), writes)) return false;
  shutdown(till.get(), SHUT_WR);
  bool ended = false;
  ReadUntilEnd(till.get(), 10000, &ended);
  return ended;
}

class DriverNetwork : public ::testing::Test {
 protected:
  void TearDown() override {
    watcher_.reset();
    if (driver_) {
      driver_->Signal(SIGTERM);
      driver_->Wait(5000);
      driver_.reset();
    }
    if (vprinter_) {
      vprinter_->Signal(SIGTERM);
      vprinter_->Wait(5000);
      vprinter_.reset();
    }
    EXPECT_TRUE(test::WaitUntil([&] { return test::ProcessesMentioning(dir_.path()).empty(); }, 5000))
        << "processes left behind: " << test::ProcessesMentioning(dir_.path()).size();
  }

  // The virtual printer on a free TCP port of 127.0.0.1.
  void StartVirtualPrinter() {
    vprinter_ = std::make_unique<test::Subprocess>(
        std::vector<std::string>{test::BinDir() + "/tillcast-vprinter", "serve", "--out", dir_.Sub("prints"), "--paper",
                                 "80", "--chinese", "on", "--tcp", "0"},
        std::map<std::string, std::string>{}, dir_.Sub("vprinter.log"));
    ASSERT_TRUE(test::WaitUntil(
        [&] {
          const std::string log = test::ReadFile(dir_.Sub("vprinter.log"));
          const size_t at = log.find("listening on tcp 127.0.0.1:");
          if (at == std::string::npos || log.find('\n', at) == std::string::npos) return false;
          printer_port_ = std::atoi(log.c_str() + at + 27);
          return true;
        },
        10000))
        << test::ReadFile(dir_.Sub("vprinter.log"));
  }

  // The driver with network till port 1 at a free port of 127.0.0.1, passed
  // on to `printer` ("HOST:PORT"), plus `extra` configuration lines; then
  // the agent's watcher, registered as the agent does.
  void Start(const std::string& printer, const std::string& extra = "") {
    till_port_ = test::FreeLoopbackPort();
    ASSERT_GT(till_port_, 0);
    socket_ = dir_.Sub("sf.sock");
    test::WriteFile(dir_.Sub("sf.conf"), "socket " + socket_ + "\nnetwork 1 127.0.0.1:" + std::to_string(till_port_) +
                                             " " + printer + "\n" + extra);
    ASSERT_NO_FATAL_FAILURE(StartDriver());
    // The watcher retries as the agent does (it reconnects after a driver
    // restart), every 100 ms.
    watcher_ = std::make_unique<SerialWatcher>(std::make_unique<capture::UnixSocketDriverDevice>(socket_),
                                               std::make_unique<capture::ThreadTimerService>());
    watcher_->SetConnectPeriod(100);
    watcher_->SetSerialDataCallback([this](uint32_t source, const uint8_t* d, uint32_t n) {
      std::lock_guard<std::mutex> l(got_.mu);
      got_.serial.append(reinterpret_cast<const char*>(d), n);
      got_.sources.insert(source);
    });
    watcher_->SetParallelDataCallback([this](uint32_t, const uint8_t* d, uint32_t n) {
      std::lock_guard<std::mutex> l(got_.mu);
      got_.parallel.append(reinterpret_cast<const char*>(d), n);
    });
    ASSERT_TRUE(watcher_->Init([&] {
      watcher_->RemoveAllPortMonitor();
      watcher_->AddPortMonitor(kPortSerial, -1);
      watcher_->AddPortMonitor(kPortParallel, -1);
    }));
  }
  void StartDriver() {
    unlink(socket_.c_str());  // left by a killed driver
    driver_ = std::make_unique<test::Subprocess>(
        std::vector<std::string>{test::BinDir() + "/SerialFilter64", "-c", dir_.Sub("sf.conf")},
        std::map<std::string, std::string>{}, dir_.Sub("sf.log"));
    // The control socket's file is there before it takes connections, and
    // the till's port may come after it: both, before anyone connects.
    ASSERT_TRUE(test::WaitUntil([&] { return ControlSocketAnswers() && test::LoopbackListening(till_port_); }, 10000))
        << DriverLog();
  }
  bool ControlSocketAnswers() const {
    ScopedFd fd(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", socket_.c_str());
    return fd.valid() && connect(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  std::string VirtualPrinterAddress() const { return "127.0.0.1:" + std::to_string(printer_port_); }
  std::string DriverLog() { return test::ReadFile(dir_.Sub("sf.log")); }

  // The documents the virtual printer finished, in order: their bytes.
  std::vector<std::string> Documents() {
    std::vector<std::string> bins;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir_.Sub("prints"), ec)) {
      const std::string p = e.path().string();
      if (e.path().extension() == ".png" && fs::exists(p.substr(0, p.size() - 4) + ".bin"))
        bins.push_back(p.substr(0, p.size() - 4) + ".bin");
    }
    std::sort(bins.begin(), bins.end());
    std::vector<std::string> out;
    for (const auto& b : bins) out.push_back(test::ReadFile(b));
    return out;
  }
  std::string Printed() {
    std::string all;
    for (const auto& d : Documents()) all += d;
    return all;
  }

  test::TempDir dir_;
  std::string socket_;
  int till_port_ = 0, printer_port_ = 0;
  std::unique_ptr<test::Subprocess> driver_, vprinter_;
  Captured got_;
  std::unique_ptr<SerialWatcher> watcher_;
};

TEST_F(DriverNetwork, RealisticReceiptsInSmallWritesOverOneConnectionArriveByteForByte) {
  ASSERT_NO_FATAL_FAILURE(StartVirtualPrinter());
  ASSERT_NO_FATAL_FAILURE(Start(VirtualPrinterAddress()));
  // Short, with a logo, with many items, and a large one with a tall logo,
  // all on one connection in the till's small writes.
  const std::vector<test::TillReceipt> corpus = test::SaleCorpus();
  std::vector<std::string> writes;
  std::string all;
  for (const auto& r : corpus) {
    writes.insert(writes.end(), r.writes.begin(), r.writes.end());
    all += r.bytes;
  }
  ASSERT_TRUE(PrintOverOneConnection(till_port_, writes)) << "the driver did not end the till's connection\n"
                                                          << DriverLog();
  ASSERT_TRUE(test::WaitUntil([&] { return got_.Serial().size() >= all.size(); }, 20000))
      << got_.Serial().size() << " of " << all.size();
  EXPECT_TRUE(got_.Serial() == all) << "the capture differs from what the till sent";
  {
    std::lock_guard<std::mutex> l(got_.mu);
    EXPECT_EQ(got_.sources, std::set<uint32_t>{0x101}) << "network port 1 reports another source";
    EXPECT_TRUE(got_.parallel.empty());
  }
  // Each receipt ends with its cut: one document each, as the till sent it.
  ASSERT_TRUE(test::WaitUntil([&] { return Documents().size() >= corpus.size(); }, 20000))
      << test::ReadFile(dir_.Sub("vprinter.log"));
  const auto docs = Documents();
  ASSERT_EQ(docs.size(), corpus.size());
  for (size_t i = 0; i < corpus.size(); ++i)
    EXPECT_TRUE(docs[i] == corpus[i].bytes) << "document " << i << " differs from what the till sent";
  EXPECT_EQ(DriverLog().find("printer 127.0.0.1"), std::string::npos) << DriverLog();
}

TEST_F(DriverNetwork, TenReceiptsOnTenConnectionsEachReachThePrinterInTurn) {
  test::TcpPrinter printer;
  ASSERT_TRUE(printer.ok());
  ASSERT_NO_FATAL_FAILURE(Start(printer.Address()));
  std::vector<test::TillReceipt> sales;
  std::string all;
  for (int i = 0; i < 10; ++i) {
    sales.push_back(test::NumberedSale("R30000" + std::to_string(i), i % 3 == 0 ? 48 : 0));
    all += sales.back().bytes;
    ASSERT_TRUE(PrintOverOneConnection(till_port_, sales.back().writes)) << "receipt " << i << "\n" << DriverLog();
  }
  // One printer connection per till connection, each ended, in order.
  ASSERT_TRUE(test::WaitUntil([&] { return printer.Ended() == 10; }, 10000)) << printer.Ended();
  const auto conns = printer.Connections();
  ASSERT_EQ(conns.size(), 10u);
  for (size_t i = 0; i < conns.size(); ++i)
    EXPECT_TRUE(conns[i] == sales[i].bytes) << "connection " << i << " brought other bytes";
  ASSERT_TRUE(test::WaitUntil([&] { return got_.Serial().size() >= all.size(); }, 10000));
  EXPECT_TRUE(got_.Serial() == all) << "the capture differs from what the till sent";
}

TEST_F(DriverNetwork, StatusRequestIsAnsweredBackToTheTill) {
  ASSERT_NO_FATAL_FAILURE(StartVirtualPrinter());
  ASSERT_NO_FATAL_FAILURE(Start(VirtualPrinterAddress()));
  const test::TillReceipt sale = test::NumberedSale("R3100");
  ScopedFd till = ConnectLoopback(till_port_);
  ASSERT_TRUE(till.valid());
  // POS software asks before it prints (printer status: online), and
  // again after (paper sensor: paper present), on one connection.
  struct Ask {
    std::string request;
    char answer;
  };
  for (const Ask& ask : {Ask{std::string("\x10\x04\x01", 3), '\x16'}, Ask{std::string("\x10\x04\x04", 3), '\x12'}}) {
    const std::string& request = ask.request;
    ASSERT_EQ(send(till.get(), request.data(), request.size(), MSG_NOSIGNAL), 3);
    pollfd p{till.get(), POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 5000), 1) << "no status answer reached the till";
    char status = 0;
    ASSERT_EQ(recv(till.get(), &status, 1, 0), 1);
    EXPECT_EQ(status, ask.answer) << "request " << static_cast<int>(request[2]);
    if (request[2] == 1) {
      ASSERT_TRUE(test::WriteLikeATill(till.get(), sale.writes));
    }
  }
  shutdown(till.get(), SHUT_WR);
  bool ended = false;
  EXPECT_EQ(ReadUntilEnd(till.get(), 10000, &ended), "");
  EXPECT_TRUE(ended);
  const std::string sent = std::string("\x10\x04\x01", 3) + sale.bytes + std::string("\x10\x04\x04", 3);
  ASSERT_TRUE(test::WaitUntil([&] { return got_.Serial().size() >= sent.size(); }, 10000));
  EXPECT_TRUE(got_.Serial() == sent);
  // The printed document is the receipt with the request before it; the
  // request after the cut makes no document of its own (its answer above
  // shows the printer had it).
  const std::string document = std::string("\x10\x04\x01", 3) + sale.bytes;
  ASSERT_TRUE(test::WaitUntil([&] { return Printed().size() >= document.size(); }, 10000))
      << Printed().size() << " of " << document.size() << "\n"
      << test::ReadFile(dir_.Sub("vprinter.log"));
  EXPECT_TRUE(Printed() == document);
}

// A printer that refuses (switched off with the network up, or another
// program on its port) or does not answer at all (unplugged: nothing comes
// back, here a listener whose queue is full): the till is never held, its
// connection is closed with a log line, and what it sent is captured.
TEST_F(DriverNetwork, UnreachablePrinterClosesTheTillsConnectionAndTheReceiptIsCaptured) {
  // A printer whose listen queue is full drops further connection requests.
  ScopedFd silent(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ASSERT_EQ(bind(silent.get(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(listen(silent.get(), 0), 0);
  ASSERT_EQ(getsockname(silent.get(), reinterpret_cast<sockaddr*>(&a), &len), 0);
  const int silent_port = ntohs(a.sin_port);
  std::vector<ScopedFd> fillers;
  for (int i = 0; i < 3; ++i) {
    fillers.emplace_back(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    connect(fillers.back().get(), reinterpret_cast<sockaddr*>(&a), sizeof a);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));

  struct Case {
    const char* name;
    int port;
    const char* why;
  };
  for (const Case& c : {Case{"refused", test::FreeLoopbackPort(), "Connection refused"},
                        Case{"silent", silent_port, "did not answer within 500 ms"}}) {
    SCOPED_TRACE(c.name);
    const std::string printer = "127.0.0.1:" + std::to_string(c.port);
    ASSERT_NO_FATAL_FAILURE(Start(printer, "printer_connect_timeout 500\n"));
    const test::TillReceipt sale = test::NumberedSale("R3200", 96);
    ScopedFd till = ConnectLoopback(till_port_);
    ASSERT_TRUE(till.valid());
    const auto start = Clock::now();
    // The till writes its receipt at once and then waits for the printer,
    // as POS software does; its writes never block.
    ASSERT_TRUE(test::WriteLikeATill(till.get(), sale.writes)) << std::strerror(errno);
    bool ended = false;
    EXPECT_EQ(ReadUntilEnd(till.get(), 5000, &ended), "");
    EXPECT_TRUE(ended) << "the till's connection stayed open";
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_LT(seconds, 3.0) << "the till waited long for a printer that is not there";
    ASSERT_TRUE(test::WaitUntil([&] { return got_.Serial().size() >= sale.bytes.size(); }, 5000))
        << got_.Serial().size() << " of " << sale.bytes.size();
    EXPECT_TRUE(got_.Serial() == sale.bytes) << "the capture lost bytes of a till whose printer is away";
    ASSERT_TRUE(test::WaitUntil([&] { return DriverLog().find(c.why) != std::string::npos; }, 3000)) << DriverLog();
    const std::string log = DriverLog();
    EXPECT_NE(log.find("network port 1: printer " + printer + " " + c.why + "; the till's connection from 127.0.0.1:"),
              std::string::npos)
        << log;
    TearDown();
    got_.serial.clear();
    got_.sources.clear();
  }
}

// A printer present but slow (busy printing a long job) holds the till
// back through TCP once the connection's backlog is full; every byte still
// arrives, in order.
TEST_F(DriverNetwork, SlowPrinterHoldsTheTillBackAndGetsEveryByteInOrder) {
  test::TcpPrinter printer;
  ASSERT_TRUE(printer.ok());
  ASSERT_NO_FATAL_FAILURE(Start(printer.Address(), "printer_backlog 65536\n"));
  std::string burst(test::kUnderSanitizer ? (2u << 20) : (8u << 20), '\0');
  std::mt19937 rng(5);
  for (char& ch : burst) ch = static_cast<char>(rng() % 3 == 0 ? 0 : rng());
  ScopedFd till = ConnectLoopback(till_port_);
  ASSERT_TRUE(till.valid());
  // A till's own socket buffer as a small POS box has it (this machine's
  // would grow to megabytes); the driver's are its own.
  const int till_buffer = 64 * 1024;
  setsockopt(till.get(), SOL_SOCKET, SO_SNDBUF, &till_buffer, sizeof till_buffer);
  printer.Pause(true);
  std::atomic<size_t> written{0};
  std::atomic<bool> failed{false};
  std::thread writer([&] {
    for (size_t at = 0; at < burst.size();) {
      const ssize_t w = send(till.get(), burst.data() + at, std::min<size_t>(4096, burst.size() - at), MSG_NOSIGNAL);
      if (w <= 0) {
        failed = true;
        break;
      }
      at += static_cast<size_t>(w);
      written = at;
    }
    shutdown(till.get(), SHUT_WR);
  });
  // The buffers on the way fill up (the printer's, the driver's backlog,
  // the till's socket), then the till is held.
  size_t held_at = written;
  for (int i = 0; i < 30; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    if (written == held_at) break;
    held_at = written;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  const size_t after_stall = written;
  printer.Pause(false);
  writer.join();
  ASSERT_FALSE(failed);
  EXPECT_LT(after_stall, burst.size()) << "the till sent everything while the printer took nothing";
  EXPECT_EQ(after_stall, held_at) << "the till went on sending while the printer's backlog was full";
  ASSERT_TRUE(test::WaitUntil([&] { return printer.Ended() == 1; }, 20000)) << printer.All().size();
  EXPECT_TRUE(printer.All() == burst) << "the printer got the bytes changed, reordered or with a hole";
  ASSERT_TRUE(test::WaitUntil([&] { return got_.Serial().size() >= burst.size(); }, 20000));
  EXPECT_TRUE(got_.Serial() == burst);
}

// The printer resets its connection in the middle of a receipt (unplugged):
// the till's connection is closed with a log line, everything the till
// sent is captured, and the next receipt, on a new connection, prints.
TEST_F(DriverNetwork, PrinterGoneMidReceiptClosesTheTillsConnectionAndTheNextOnePrints) {
  test::TcpPrinter printer;
  ASSERT_TRUE(printer.ok());
  ASSERT_NO_FATAL_FAILURE(Start(printer.Address()));
  const test::TillReceipt first = test::NumberedSale("R3300", 96);
  const size_t half = first.writes.size() / 2;
  ScopedFd till = ConnectLoopback(till_port_);
  ASSERT_TRUE(till.valid());
  ASSERT_TRUE(test::WriteLikeATill(till.get(), {first.writes.begin(), first.writes.begin() + half}));
  ASSERT_TRUE(test::WaitUntil([&] { return !printer.Connections().empty() && !printer.All().empty(); }, 5000));
  printer.ResetConnection();
  // The till goes on writing: at most its writes fail once the driver has
  // closed the connection; they never block.
  std::string sent;
  for (size_t i = 0; i < half; ++i) sent += first.writes[i];
  for (size_t i = half; i < first.writes.size(); ++i) {
    if (send(till.get(), first.writes[i].data(), first.writes[i].size(), MSG_NOSIGNAL) < 0) break;
    sent += first.writes[i];
  }
  bool ended = false;
  ReadUntilEnd(till.get(), 5000, &ended);
  EXPECT_TRUE(ended) << "the till's connection stayed open after its printer went";
  ASSERT_TRUE(test::WaitUntil([&] { return DriverLog().find("bytes not printed") != std::string::npos; }, 3000))
      << DriverLog();
  // What the till sent before the close is all captured (a write may have
  // gone into the connection's buffers as it was reset).
  ASSERT_TRUE(test::WaitUntil([&] { return got_.Serial().size() >= first.bytes.size() / 2; }, 5000));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const std::string captured = got_.Serial();
  EXPECT_TRUE(sent.compare(0, captured.size(), captured) == 0) << "the capture is not what the till sent";
  EXPECT_GE(captured.size(), half);

  const test::TillReceipt second = test::NumberedSale("R3301");
  ASSERT_TRUE(PrintOverOneConnection(till_port_, second.writes)) << DriverLog();
  ASSERT_TRUE(test::WaitUntil([&] { return printer.Ended() >= 1 && printer.Connections().size() == 2; }, 5000));
  EXPECT_TRUE(printer.Connections()[1] == second.bytes);
  ASSERT_TRUE(test::WaitUntil([&] { return got_.Serial().size() >= captured.size() + second.bytes.size(); }, 5000));
  EXPECT_TRUE(got_.Serial().substr(captured.size()) == second.bytes);
}

// The listening socket is the port keeper's: while the driver is down (it
// crashed), a till's connection waits in the listen backlog and its receipt
// is printed and captured once the driver is back. A connection that was
// open when the driver died ends with it.
TEST_F(DriverNetwork, TillConnectingWhileTheDriverIsDownIsServedWhenItIsBack) {
  ASSERT_NO_FATAL_FAILURE(StartVirtualPrinter());
  ASSERT_NO_FATAL_FAILURE(Start(VirtualPrinterAddress()));
  ScopedFd open_till = ConnectLoopback(till_port_);
  ASSERT_TRUE(open_till.valid());
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the driver takes it
  driver_->Signal(SIGKILL);
  ASSERT_TRUE(driver_->Wait(5000));
  driver_.reset();
  bool ended = false;
  ReadUntilEnd(open_till.get(), 3000, &ended);
  EXPECT_TRUE(ended) << "a till's connection outlived the driver that served it";

  // The till prints while no driver runs: the connection is taken at once
  // (by the keeper's socket) and its bytes wait there.
  const test::TillReceipt sale = test::NumberedSale("R3400", 48);
  ScopedFd till = ConnectLoopback(till_port_, 1000);
  ASSERT_TRUE(till.valid()) << "the till's connection was refused while the driver was down";
  ASSERT_TRUE(test::WriteLikeATill(till.get(), sale.writes));
  shutdown(till.get(), SHUT_WR);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ASSERT_NO_FATAL_FAILURE(StartDriver());
  ReadUntilEnd(till.get(), 10000, &ended);
  EXPECT_TRUE(ended);
  ASSERT_TRUE(test::WaitUntil([&] { return Printed() == sale.bytes; }, 10000)) << Printed().size();
  // The watcher reconnects to the new driver and registers again; the
  // capture was held for it meanwhile.
  ASSERT_TRUE(test::WaitUntil([&] { return got_.Serial() == sale.bytes; }, 10000)) << got_.Serial().size();
}

}  // namespace
}  // namespace tillcast
