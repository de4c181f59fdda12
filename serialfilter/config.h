// The driver stand-in's configuration: its control socket and the ports it
// proxies.
//
// File format, one item a line, '#' starts a comment:
//   socket   <path>                      control socket
//   socket_mode <octal>                  its mode (default 0660)
//   socket_group <name or gid>           its group (default tillcast; "-" keeps
//                                        the driver's own); peers of that group
//                                        are served besides root and the
//                                        driver's own user
//   port_mode <octal>                    mode of the till's ports (default 0660)
//   port_group <name or gid>             their group (default dialout, as real
//                                        serial ports; "-" keeps the driver's)
//   serial   <n> <path> [<printer device> [<baud> [none|rtscts|xonxoff]]]
//   parallel <n> <path> [<printer device>]
//   network  <n> <listen address:port> <printer host:port>
//   printer_backlog <bytes>              printer-bound bytes held before the
//                                        till is slowed down (default 4 MiB)
//   printer_drop_after <ms>              age at which bytes for a missing
//                                        printer are dropped (default 60000)
//   capture_hold <ms>                    how long bytes read while no agent
//                                        watches are kept for it (default 30000)
//   ports_socket <path>                  the port keeper's socket (default
//                                        "<control socket>.ports")
//   ports_linger <ms>                    how long a port keeper without a
//                                        driver keeps the ports (default 300000)
//   printer_connect_timeout <ms>         how long a network printer is given
//                                        to take a connection (default 3000)
// A serial port is a pseudo-terminal whose slave is linked at <path>; a
// parallel port is a FIFO at <path>. Without a printer device the port only
// captures. The last word of a serial line is the printer's flow control,
// applied to the printer device (default none). A network port listens at
// its address (a numeric IPv4 or bracketed IPv6 address, 0.0.0.0 for every
// interface) as a network receipt printer does, and gives each connection
// of the till one to the printer (a numeric address or a name); its
// captures reach the agent as a serial port's (NetworkSource below).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tillcast::serialfilter {

enum class FlowControl { kNone, kRtsCts, kXonXoff };

// The driver's third kind of port, a TCP listening socket. Never on the
// wire to the agent: a network port's captures are queued as serial ones.
inline constexpr uint32_t kPortNetwork = 3;

// The source word of a network port's payloads: its number with 0x100, so
// network port 1 and serial port 1 are told apart.
inline constexpr uint32_t NetworkSource(uint32_t number) { return 0x100 | number; }

struct PortConfig {
  uint32_t type = 1;    // 1 serial, 2 parallel, kPortNetwork
  uint32_t number = 1;  // reported as the payload's source (see NetworkSource)
  std::string path;     // network: the listen address, "ADDRESS:PORT"
  std::string printer;  // "" = capture only; network: "HOST:PORT", never empty
  int baud = 0;         // 0 = leave the printer device's speed alone
  FlowControl flow = FlowControl::kNone;
};

struct DriverConfig {
  std::string socket;
  unsigned socket_mode = 0660;
  std::string socket_group = "tillcast";  // "-" = the driver's own group
  unsigned port_mode = 0660;
  std::string port_group = "dialout";  // "-" = the driver's own group
  std::vector<PortConfig> ports;
  // Printer-bound bytes a port holds for a present printer that is slow;
  // past it the till's port is no longer read, so the till's writes block
  // as on a real port with flow control.
  size_t printer_backlog = 4u << 20;
  // Bytes held for a printer that is missing or failed are dropped once
  // they are this old (and beyond printer_backlog): the till never blocks
  // on a printer that is not there.
  uint32_t printer_drop_after_ms = 60000;
  // What the till writes while no agent has registered a monitor (the
  // driver just started, or the agent is between two connections) is kept
  // this long for the agent that comes, then dropped.
  uint32_t capture_hold_ms = 30000;
  // The port keeper (port_keeper.h): its socket ("" = PortsSocketPath's
  // default) and how long it keeps the ports when no driver is connected.
  std::string ports_socket;
  uint32_t ports_linger_ms = 300000;
  // A network printer that has not taken the driver's connection in this
  // time counts as unreachable.
  uint32_t printer_connect_timeout_ms = 3000;
};

// The group id a `socket_group` / `port_group` value names: a group name or a
// decimal gid. False for "-" and for a name the system does not know.
bool ResolveGroup(const std::string& group, unsigned* gid);

// $TILLCAST_SERIALFILTER_CONF, default /etc/tillcast/serialfilter.conf.
std::string DefaultConfigPath();

// The configuration without a file: the control socket of the agent's
// default (or $TILLCAST_DRIVER_SOCKET), serial port 1 at "<socket
// folder>/COM1" and parallel port 1 at "<socket folder>/LPT1", capture only.
DriverConfig DefaultConfig();

// The port keeper's socket: `ports_socket`, else "<socket>.ports".
std::string PortsSocketPath(const DriverConfig& config);

// Reads and parses the file at `path` over DefaultConfig(); a missing file
// gives the defaults. False with `*error` on a file that cannot be read or a
// bad line.
bool LoadConfig(const std::string& path, DriverConfig* config, std::string* error);

// Parses `text` over the defaults' socket (ports in the text replace the
// default ports). False with `*error` naming the line on a bad line.
bool ParseConfig(const std::string& text, DriverConfig* config, std::string* error);

}  // namespace tillcast::serialfilter
