// Real servers for the network tests: tinyproxy, the cloud simulator (on a
// RedisServer, support/redis_server.h), and a raw TCP server for replies no
// HTTP library would send. Every server binds 127.0.0.1 on a free port and
// is stopped by its destructor.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "support/redis_server.h"
#include "support/subprocess.h"
#include "support/test_support.h"

namespace tillcast::test {

// tinyproxy allowing CONNECT to any port, logging to a file.
class TinyProxy {
 public:
  TinyProxy();
  ~TinyProxy();
  int port() const { return port_; }
  std::string LogText() const { return ReadFile(dir_.Sub("tinyproxy.log")); }

 private:
  TempDir dir_;
  int port_;
  std::unique_ptr<Subprocess> proc_;
};

// tillcast-cloudsim against a RedisServer (database `db`).
class CloudSim {
 public:
  CloudSim(const RedisServer& redis, int db);
  ~CloudSim();
  // Stops the simulator and starts it again on the same folders (a new
  // port: read url() again). False when it does not come back.
  bool Restart();
  bool ok() const { return port_ > 0; }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
  std::string uploads() const { return dir_.Sub("uploads"); }
  std::string LogText() const { return ReadFile(dir_.Sub("sim.log")); }

 private:
  void Start();
  void Stop();
  TempDir dir_;
  int redis_port_;
  std::string redis_password_;
  int db_;
  int port_ = -1;
  std::unique_ptr<Subprocess> proc_;
};

// A TCP server on 127.0.0.1 that records every request and answers each
// with a fixed reply, or never answers when `reply` is empty.
class RawServer {
 public:
  explicit RawServer(std::string reply);
  ~RawServer();
  int port() const { return port_; }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
  std::vector<std::string> Requests() const;
  int Connections() const { return connections_.load(); }

 private:
  void Serve(std::stop_token stop);
  std::string reply_;
  int port_ = 0;
  platform::ScopedFd listen_;
  std::atomic<int> connections_{0};
  mutable std::mutex lock_;
  std::vector<std::string> requests_;
  std::vector<int> open_;
  std::jthread thread_;
};

// Runs `argv` and returns its standard output and error ("" on failure).
std::string RunAndCapture(const std::vector<std::string>& argv);

}  // namespace tillcast::test
