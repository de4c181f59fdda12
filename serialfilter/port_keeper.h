// The port keeper: holds the till's ports so that they outlive the driver.
//
// The same program run as `SerialFilter64 --keep-ports -c CONF [--managed]`.
// It creates the configured ports as the driver would (ports.h), holds them
// and hands their descriptors to the driver over its own socket
// (keeper_protocol.h; `ports_socket`, default "<control socket>.ports"). It
// never reads port data: what a till writes while no driver runs waits in
// the port's buffer for the next driver, and a till's open descriptor stays
// good across a driver crash (no EIO on the pty, no SIGPIPE on the FIFO).
//
// Lifetime:
//   - started by the driver when none answers (detached: own session and
//     process group, so it outlives the driver), or by a service manager
//     with --managed;
//   - on a driver's clean stop it removes the port links and exits, unless
//     managed (then it keeps the ports until it is stopped itself);
//   - it exits by itself once none of its port paths is its own any more
//     (removed or replaced by someone else; checked every second), and,
//     unless managed, after `ports_linger` ms without a driver connected;
//   - SIGTERM or SIGINT: removes the port links and exits.
//
// Single-threaded: one poll loop.
#pragma once

#include <memory>
#include <string>

namespace tillcast::serialfilter {

class PortKeeper {
 public:
  PortKeeper();
  ~PortKeeper();
  PortKeeper(const PortKeeper&) = delete;
  PortKeeper& operator=(const PortKeeper&) = delete;

  // Reads the configuration at `config_path`, binds the keeper's socket and
  // creates the ports. False with `*error` when the configuration is bad or
  // the socket cannot be bound; `*in_use` when another keeper serves it.
  // SIGTERM and SIGINT must be blocked in every thread beforehand.
  bool Start(const std::string& config_path, bool managed, std::string* error, bool* in_use);
  // Serves until one of the ends above; returns the exit status.
  int Run();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace tillcast::serialfilter
