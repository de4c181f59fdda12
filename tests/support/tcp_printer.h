// A network receipt printer on loopback for tests that need to see its
// connections one by one: it listens on 127.0.0.1 (a free port), serves one
// connection at a time as such printers do (the next waits in the listen
// backlog), keeps what each connection brought, answers the real-time
// status request (DLE EOT n) with one byte, and can stop reading (a printer
// busy printing) or reset its connection (a printer unplugged).
//
// Thread-safe; one thread of its own, joined by the destructor.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/scoped_fd.h"
#include "support/test_support.h"  // FreeLoopbackPort

namespace tillcast::test {

// True while something listens on TCP port `port` of 127.0.0.1 or of every
// IPv4 address (read from /proc/net/tcp, without connecting).
bool LoopbackListening(int port);

class TcpPrinter {
 public:
  static constexpr char kStatusOnline = 0x12;

  TcpPrinter();
  ~TcpPrinter();
  TcpPrinter(const TcpPrinter&) = delete;
  TcpPrinter& operator=(const TcpPrinter&) = delete;

  bool ok() const { return port_ != 0; }
  int port() const { return port_; }
  std::string Address() const { return "127.0.0.1:" + std::to_string(port_); }

  // Stops reading the connection in progress (its bytes wait in TCP).
  void Pause(bool paused) { paused_ = paused; }
  // Closes the connection in progress at once, with a reset (a printer
  // unplugged).
  void ResetConnection() { reset_ = true; }

  // What each connection brought, in order of acceptance; the last one may
  // still be open.
  std::vector<std::string> Connections();
  // Connections that ended (the peer closed its side).
  size_t Ended();
  // All bytes received, every connection joined.
  std::string All();

 private:
  void Run();

  platform::ScopedFd listener_;
  int port_ = 0;
  std::atomic<bool> stop_{false}, paused_{false}, reset_{false};
  std::mutex mu_;
  std::vector<std::string> conns_;
  size_t ended_ = 0;
  std::thread thread_;
};

}  // namespace tillcast::test
