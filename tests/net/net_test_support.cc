#include "net_test_support.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <utility>

namespace tillcast::test {

TinyProxy::TinyProxy() : port_(FreeLoopbackPort()) {
  WriteFile(dir_.Sub("tinyproxy.conf"), "Port " + std::to_string(port_) +
                                            "\nListen 127.0.0.1\nTimeout 30\nAllow 127.0.0.1\nMaxClients 20\n"
                                            "LogLevel Info\nLogFile \"" +
                                            dir_.Sub("tinyproxy.log") + "\"\n");
  proc_ = std::make_unique<Subprocess>(
      std::vector<std::string>{"/usr/bin/tinyproxy", "-d", "-c", dir_.Sub("tinyproxy.conf")},
      std::map<std::string, std::string>{}, dir_.Sub("tinyproxy.out"));
  ConnectLoopback(port_, 10000);  // once it answers
}

TinyProxy::~TinyProxy() {
  proc_->Signal(SIGTERM);
  if (!proc_->Wait(3000)) proc_->Signal(SIGKILL);
  proc_->Wait(3000);
}

CloudSim::CloudSim(const RedisServer& redis, int db)
    : redis_port_(redis.port()), redis_password_(redis.password()), db_(db) {
  Start();
}

CloudSim::~CloudSim() { Stop(); }

void CloudSim::Start() {
  const std::string portFile = dir_.Sub("port");
  ::unlink(portFile.c_str());
  port_ = -1;
  proc_ = std::make_unique<Subprocess>(
      std::vector<std::string>{BinDir() + "/tillcast-cloudsim", "--http-port", "0", "--port-file", portFile,
                               "--redis-port", std::to_string(redis_port_), "--redis-password", redis_password_,
                               "--redis-db", std::to_string(db_), "--uploads", uploads(), "--log", dir_.Sub("sim.log")},
      std::map<std::string, std::string>{});
  if (WaitUntil([&] { return FileExists(portFile); }, 10000)) port_ = std::atoi(ReadFile(portFile).c_str());
}

void CloudSim::Stop() {
  if (!proc_) return;
  proc_->Signal(SIGTERM);
  if (!proc_->Wait(5000)) proc_->Signal(SIGKILL);
  proc_->Wait(5000);
  proc_.reset();
}

bool CloudSim::Restart() {
  Stop();
  Start();
  return ok();
}

RawServer::RawServer(std::string reply) : reply_(std::move(reply)), listen_(ListenLoopback(16, &port_)) {
  thread_ = std::jthread([this](std::stop_token stop) { Serve(stop); });
}

RawServer::~RawServer() {
  thread_.request_stop();
  thread_.join();
  for (const int fd : open_) close(fd);
}

std::vector<std::string> RawServer::Requests() const {
  std::lock_guard<std::mutex> l(lock_);
  return requests_;
}

void RawServer::Serve(std::stop_token stop) {
  while (!stop.stop_requested()) {
    pollfd p{listen_.get(), POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    const int fd = accept(listen_.get(), nullptr, nullptr);
    if (fd < 0) continue;
    ++connections_;
    // Read the head and a body of Content-Length bytes (bounded wait).
    std::string request;
    for (int rounds = 0; rounds < 40; ++rounds) {
      pollfd q{fd, POLLIN, 0};
      if (poll(&q, 1, 50) <= 0) {
        if (request.find("\r\n\r\n") != std::string::npos) break;
        continue;
      }
      char buf[4096];
      const ssize_t n = read(fd, buf, sizeof buf);
      if (n <= 0) break;
      request.append(buf, static_cast<size_t>(n));
      const size_t head = request.find("\r\n\r\n");
      if (head == std::string::npos) continue;
      size_t length = 0;
      const size_t cl = request.find("Content-Length: ");
      if (cl != std::string::npos && cl < head) length = std::strtoul(request.c_str() + cl + 16, nullptr, 10);
      if (request.size() >= head + 4 + length) break;
    }
    {
      std::lock_guard<std::mutex> l(lock_);
      requests_.push_back(request);
    }
    if (reply_.empty()) {
      open_.push_back(fd);  // never answered; closed at the end
      continue;
    }
    (void)!write(fd, reply_.data(), reply_.size());
    close(fd);
  }
}

std::string RunAndCapture(const std::vector<std::string>& argv) {
  TempDir dir;
  const std::string out = dir.Sub("out");
  Subprocess p(argv, {}, out);
  if (!p.Wait(20000)) return "";
  return ReadFile(out);
}

}  // namespace tillcast::test
