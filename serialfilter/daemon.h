// The driver stand-in's process: the control socket server and the port
// proxies, on one poll loop.
#pragma once

#include <memory>
#include <string>

#include "config.h"

namespace tillcast::serialfilter {

class Daemon {
 public:
  Daemon();
  ~Daemon();
  Daemon(const Daemon&) = delete;
  Daemon& operator=(const Daemon&) = delete;

  // Binds the control socket and opens the ports. A port that cannot be set
  // up is reported on stderr and left out. False when the socket cannot be
  // bound (or another daemon answers on it).
  bool Start(const DriverConfig& config, bool test_hooks, std::string* error);
  // Serves until SIGTERM or SIGINT arrives (both must be blocked in every
  // thread beforehand); then removes the socket and the port links.
  int Run();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace tillcast::serialfilter
