// The driver's side of the port keeper (port_keeper.h): at start it asks the
// keeper for the till's ports, starting one when none answers, and keeps the
// connection open while it runs; on a clean stop it tells the keeper to
// remove the ports and quit.
//
// Not thread-safe: the driver's one loop thread uses it.
#pragma once

#include <string>
#include <vector>

#include "config.h"
#include "platform/scoped_fd.h"
#include "ports.h"

namespace tillcast::serialfilter {

class KeeperLink {
 public:
  // Connects to the keeper at PortsSocketPath(config) and asks it for the
  // ports. When none answers, starts `<this program> --keep-ports -c
  // config_path` detached (own session and process group) and asks again.
  // False with `*error` when no keeper could be had.
  bool Obtain(const DriverConfig& config, const std::string& config_path, std::vector<HeldPort>* ports,
              std::string* error);
  // Clean stop: the keeper removes the port links and exits (a managed
  // keeper keeps them); returns once it has answered, or after a short
  // wait. Then the connection is closed.
  void Release();
  // Ends a started keeper that has exited (no zombie left).
  void Reap();
  bool connected() const { return conn_.valid(); }

 private:
  bool Connect(const std::string& path);
  bool Ask(std::vector<HeldPort>* ports, std::string* error);
  platform::ScopedFd conn_;
  int spawned_ = -1;  // pid of the keeper this driver started, until reaped
};

}  // namespace tillcast::serialfilter
