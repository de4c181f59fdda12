// A real redis-server for the tests, on 127.0.0.1 and a free port, with a
// client for the test's own commands. The network tests use it alone; the
// whole-shop fixture keeps its data in the shop's folder.
// Not thread-safe: one test thread starts, stops and kills it; Command may
// be called from any thread (each call opens its own connection).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "support/subprocess.h"
#include "support/test_support.h"

namespace tillcast::test {

class RedisServer {
 public:
  // Starts the server at once (see up()). `password` "" = no requirepass;
  // `extra` further server options (they win over the defaults), e.g.
  // {"--appendonly", "yes"}; `folder` where its files and log go ("" = a
  // temporary folder of its own).
  explicit RedisServer(const std::string& password = "s3cret-pw", std::vector<std::string> extra = {},
                       std::string folder = "");
  ~RedisServer();  // kills the server
  RedisServer(const RedisServer&) = delete;
  RedisServer& operator=(const RedisServer&) = delete;

  int port() const { return port_; }
  const std::string& password() const { return password_; }
  // True when the last start answered PING.
  bool up() const { return up_; }

  // Starts the server again on the same port and folder; true once it
  // answers.
  bool Start();
  // A clean stop (SIGTERM, waited for; SIGKILL after 5 s).
  void Stop();
  // A crash: SIGKILL, nothing written on the way out.
  void Kill();

  // Runs one command in `db`; the reply as text ("" for nil, the error's
  // text for an error, integers in decimal, arrays joined with '\n').
  std::string Command(int db, const std::vector<std::string>& args) const;
  // A number from INFO: `field` of `section`, e.g. ("commandstats",
  // "cmdstat_blpop", "calls").
  long InfoNumber(const std::string& section, const std::string& line, const std::string& field = "") const;

 private:
  TempDir dir_;
  std::string folder_;
  std::string password_;
  std::vector<std::string> extra_;
  int port_;
  bool up_ = false;
  std::unique_ptr<Subprocess> proc_;
};

}  // namespace tillcast::test
