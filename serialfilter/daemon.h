// The driver stand-in's process: the control socket server and the port
// proxies (serial and parallel ports here, network ports in net_port.h), on
// one poll loop. The till's ports themselves are held by the port keeper
// (port_keeper.h), so a till's open port, and a network port's listening
// socket, survive a crash of this process; a till's established network
// connections end with it.
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

  // Binds the control socket and takes the ports from the port keeper
  // (port_keeper.h), starting one for the configuration at `config_path`
  // when none answers; without a keeper it makes the ports itself. A port
  // that cannot be set up is reported on stderr and left out. False when
  // the socket cannot be bound (or another daemon answers on it).
  bool Start(const DriverConfig& config, const std::string& config_path, bool test_hooks, std::string* error);
  // Serves until SIGTERM or SIGINT arrives (both must be blocked in every
  // thread beforehand); then removes the socket and tells the keeper to
  // remove the ports (a managed keeper keeps them). Killed, it leaves the
  // ports to the keeper, and the next driver takes them over.
  int Run();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace tillcast::serialfilter
