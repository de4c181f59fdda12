#include "support/tcp_printer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace tillcast::test {

using platform::ScopedFd;

bool LoopbackListening(int port) {
  char want_loopback[32], want_any[32];
  std::snprintf(want_loopback, sizeof want_loopback, "0100007F:%04X", port);
  std::snprintf(want_any, sizeof want_any, "00000000:%04X", port);
  std::ifstream in("/proc/net/tcp");
  std::string line;
  std::getline(in, line);  // the heading
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string slot, local, remote, state;
    if (!(words >> slot >> local >> remote >> state)) continue;
    if (state == "0A" && (local == want_loopback || local == want_any)) return true;
  }
  return false;
}

TcpPrinter::TcpPrinter() {
  int port = 0;
  listener_ = ListenLoopback(16, &port);
  if (!listener_.valid()) return;
  port_ = port;
  thread_ = std::thread([this] { Run(); });
}

TcpPrinter::~TcpPrinter() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

std::vector<std::string> TcpPrinter::Connections() {
  std::lock_guard<std::mutex> l(mu_);
  return conns_;
}

size_t TcpPrinter::Ended() {
  std::lock_guard<std::mutex> l(mu_);
  return ended_;
}

std::string TcpPrinter::All() {
  std::lock_guard<std::mutex> l(mu_);
  std::string all;
  for (const std::string& c : conns_) all += c;
  return all;
}

void TcpPrinter::Run() {
  ScopedFd conn;
  std::string pending;  // the tail of a status request cut between reads
  while (!stop_) {
    if (!conn.valid()) {
      pollfd p{listener_.get(), POLLIN, 0};
      if (poll(&p, 1, 20) <= 0) continue;
      conn.reset(accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
      if (!conn.valid()) continue;
      pending.clear();
      std::lock_guard<std::mutex> l(mu_);
      conns_.emplace_back();
      continue;
    }
    if (reset_.exchange(false)) {
      const linger hard{1, 0};
      setsockopt(conn.get(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
      conn.reset();
      continue;
    }
    if (paused_) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      continue;
    }
    pollfd p{conn.get(), POLLIN, 0};
    if (poll(&p, 1, 20) <= 0) continue;
    char buf[65536];
    const ssize_t n = read(conn.get(), buf, sizeof buf);
    if (n <= 0) {
      {
        // Counted before the close, so a peer that waits for the close
        // finds it counted.
        std::lock_guard<std::mutex> l(mu_);
        ++ended_;
      }
      conn.reset();
      continue;
    }
    {
      std::lock_guard<std::mutex> l(mu_);
      conns_.back().append(buf, static_cast<size_t>(n));
    }
    pending.append(buf, static_cast<size_t>(n));
    for (size_t at; (at = pending.find("\x10\x04")) != std::string::npos && at + 2 < pending.size();) {
      pending.erase(0, at + 3);
      if (send(conn.get(), &kStatusOnline, 1, MSG_NOSIGNAL) != 1) break;
    }
    if (pending.size() > 2) pending.erase(0, pending.size() - 2);
  }
}

}  // namespace tillcast::test
