// The simulated cloud: the device API and the order service on one HTTP
// server, plus the admin commands that push onto a device's lists.
#pragma once

#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "sim_data.h"
#include "sim_util.h"

namespace httplib {
class Server;
}

namespace cloudsim {

struct SimOptions {
  std::string bind = "127.0.0.1";
  int httpPort = 8480;             // 0 = any free port
  std::string portFile;            // the port actually bound is written here
  RedisTarget redis;               // where the lists are pushed
  std::string advertiseRedisHost;  // host told to devices ("" = redis.host)
  int advertiseRedisPort = 0;      // port told to devices (0 = redis.port)
  std::string uploads = "cloudsim-uploads";
  std::string publicUrl;  // base of logo addresses ("" = http://bind:port)
};

// Thread-safe: handlers run on the server's worker threads.
class SimServer {
 public:
  SimServer(SimOptions options, SimData data, FILE* log);
  ~SimServer();
  // Binds the socket; the port, or -1.
  int Bind();
  // Serves until Stop.
  bool Run();
  void Stop();

 private:
  void Routes();
  void LogLine(const char* format, ...) __attribute__((format(printf, 2, 3)));

  SimOptions options_;
  SimData data_;
  FILE* log_;
  std::mutex logLock_;
  // Guards the stores' receiptTemplate, which the admin route replaces;
  // everything else in data_ is read-only after loading.
  std::mutex templateLock_;
  std::unique_ptr<httplib::Server> server_;
  std::atomic<unsigned> uploadSeq_{0};
  std::atomic<unsigned> jobSeq_{0};
  // Uploads already stored, by their request's nonce and signature: a
  // device that sends a request again (its reply was lost) is answered
  // with success, and the receipt is not stored twice. Kept beside each
  // stored upload as NNNNNN.key, so a restart remembers them.
  std::mutex uploadLock_;
  std::set<std::string> uploadKeys_;
  std::atomic<unsigned> uploadRepeats_{0};
  // Faults for tests (PUT /sim/fault): uploads answered with this status
  // (0 = none), or held without an answer (-1) until the fault is cleared.
  std::atomic<int> uploadFault_{0};
  std::atomic<bool> stopping_{false};
};

}  // namespace cloudsim
