// The till's ports as files the till's software opens: a serial port is a
// pseudo-terminal whose slave is linked at the configured path, a parallel
// port a FIFO at that path; a network port is a TCP socket listening at the
// configured address. Creating them is the port keeper's job
// (port_keeper.h), so that they outlive the driver (a till connecting while
// no driver runs waits in the listen backlog); the driver creates its own
// only when no keeper can be had.
#pragma once

#include <sys/types.h>

#include <string>

#include "config.h"
#include "platform/scoped_fd.h"

namespace tillcast::serialfilter {

// One port and the descriptors that keep it alive. Movable, not copyable.
struct HeldPort {
  uint32_t type = 0;              // 1 serial, 2 parallel, kPortNetwork
  std::string path;               // network: the listen address
  platform::ScopedFd dev;         // pty master, FIFO or listening socket, non-blocking
  platform::ScopedFd slave_keep;  // serial: keeps the pty alive while the till has it closed
  std::string pty;                // serial: the slave the link points at
  dev_t fifo_dev = 0;             // parallel: the FIFO's identity
  ino_t fifo_ino = 0;
};

// Who may open the till's ports: the group (-1 keeps the creator's) and
// the mode given to the pty slave and the FIFO.
struct PortAccess {
  gid_t gid = static_cast<gid_t>(-1);
  unsigned mode = 0660;
};

// The access `config` asks for (its port_group resolved; a group that does
// not exist keeps the creator's, with a warning).
PortAccess PortAccessOf(const DriverConfig& config);

// Creates the port of `cfg` (and the folders above its path) with `access`.
// A serial port refuses a path that exists and is not a link (a link is
// replaced); a parallel port refuses one that exists and is not a FIFO (a
// FIFO is reused); a network port needs its address free. False, with a
// warning on standard error, when the port cannot be made.
bool CreatePort(const PortConfig& cfg, const PortAccess& access, HeldPort* out);

// True while `p.path` still names this port: the link points at its pty, or
// the path is its FIFO. False once someone removed or replaced it. A
// listening socket is always its own.
bool PortPathIntact(const HeldPort& p);

// Removes `p.path` when it still names this port (never someone else's file).
void RemovePortPath(const HeldPort& p);

// Creates the folders above `path` (mode 0755). False on failure.
bool MakeParents(const std::string& path);

// Raw mode for a terminal: no echo, no line editing, 8 bits; `baud` 0
// leaves the speed alone.
void MakeRaw(int fd, int baud, FlowControl flow = FlowControl::kNone);

}  // namespace tillcast::serialfilter
