// Real servers for the network tests: redis-server, tinyproxy, the cloud
// simulator, and a raw TCP server for replies no HTTP library would send.
// Every server binds 127.0.0.1 on a free port and is stopped by its
// destructor.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/subprocess.h"
#include "support/test_support.h"

namespace tillcast::test {

// redis-server with a password; commands run through a separate client.
class RedisServer {
 public:
  // `password` "" = no requirepass; `extra` further server options (they
  // win over the defaults), e.g. {"--appendonly", "yes"}.
  explicit RedisServer(const std::string& password = "s3cret-pw", std::vector<std::string> extra = {});
  ~RedisServer();
  int port() const { return port_; }
  const std::string& password() const { return password_; }
  bool running() const { return proc_ != nullptr; }
  // Kills the server (SIGKILL) and starts it again on the same port.
  void Kill();
  bool Start();
  // Runs one command in `db`; the reply as text ("" for nil, "ERR..." for
  // an error, integers in decimal, arrays joined with '\n').
  std::string Command(int db, const std::vector<std::string>& args) const;
  // A number from INFO: `field` of `section`, e.g. ("commandstats",
  // "cmdstat_blpop", "calls").
  long InfoNumber(const std::string& section, const std::string& line, const std::string& field = "") const;

 private:
  TempDir dir_;
  std::string password_;
  std::vector<std::string> extra_;
  int port_;
  std::unique_ptr<Subprocess> proc_;
};

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
  void Serve();
  std::string reply_;
  int listenFd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  mutable std::mutex lock_;
  std::vector<std::string> requests_;
  std::vector<int> open_;
  std::thread thread_;
};

// Runs `argv` and returns its standard output and error ("" on failure).
std::string RunAndCapture(const std::vector<std::string>& argv);

}  // namespace tillcast::test
