// A network till port: the till connects to the port's listening socket as
// to a network receipt printer (raw ESC/POS over TCP, port 9100), and each
// of its connections gets one connection of its own to the printer; bytes
// go both ways (status answers, such as those to DLE EOT, go back to the
// till). What the till sends is handed to the capture as a serial port's
// (type serial, source NetworkSource(number)).
//
// The rules of the serial proxy, over TCP:
//   - a printer that is present but slow is given up to `printer_backlog`
//     bytes per connection (and the kernel's fixed 256 KiB on either side
//     of the driver); past that the till's connection is no longer read, so
//     TCP holds the till back;
//   - a printer that refuses, is unreachable (no connection within
//     `printer_connect_timeout`), fails or ends the connection never holds
//     the till: one line is logged, the till's connection is shut for
//     writing at once (a till waiting for an answer sees the end), what the
//     till still sends is captured until it stops or hangs up, and then its
//     connection is closed. Bytes meant for the printer are dropped then,
//     not kept for a later connection: a stream cut in the middle cannot be
//     continued on another one, and the till learns of the failure as it
//     would from the printer itself.
// A connection may stay open for hours; both sides have TCP keep-alive, so
// a till or printer that vanished is noticed.
//
// Not thread-safe: the driver's loop thread owns it.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "byte_queue.h"
#include "config.h"
#include "driver_core.h"
#include "net_address.h"
#include "platform/scoped_fd.h"

namespace tillcast::serialfilter {

class NetworkPort {
 public:
  // One descriptor to poll, with the tag that Ready takes back.
  struct PollItem {
    int fd;
    short events;
    uint64_t tag;
  };

  // `listener` is the port's listening socket (held by the port keeper, or
  // the driver's own); `core` gets the captures and outlives the port.
  NetworkPort(const PortConfig& cfg, platform::ScopedFd listener, const DriverConfig& limits, DriverCore* core);
  NetworkPort(const NetworkPort&) = delete;
  NetworkPort& operator=(const NetworkPort&) = delete;

  // Does what is due by time (connections whose printer did not answer,
  // connections to close) and appends the descriptors to poll now.
  void Collect(uint64_t now_ms, std::vector<PollItem>* items);
  // The events of one item of the last Collect.
  void Ready(uint64_t tag, short revents, uint64_t now_ms);
  // Milliseconds until something is due by time; -1 when nothing is.
  int64_t NextDueMs(uint64_t now_ms) const;

  size_t Connections() const { return conns_.size(); }
  const PortConfig& config() const { return cfg_; }

  // Connections served at once; further ones wait in the listen backlog.
  static constexpr size_t kMaxConnections = 16;
  // After the printer failed: the till's connection is closed once it has
  // sent nothing for this long, and at the latest after kClosingMaxMs.
  static constexpr uint64_t kClosingQuietMs = 300;
  static constexpr uint64_t kClosingMaxMs = 10000;
  // After the till's last byte went to the printer: how long the printer is
  // given to end its side (a printer closes a job at the end of its
  // connection); its answers meanwhile still reach the till.
  static constexpr uint64_t kFinishMs = 5000;

 private:
  struct Conn {
    platform::ScopedFd till, printer;
    std::string peer;  // the till's address, for log lines
    bool connecting = true;
    uint64_t connect_due = 0;
    ByteQueue to_printer;
    std::string to_till;
    bool till_eof = false;      // the till sent its last byte
    bool till_dead = false;     // the till's connection failed: nothing more goes to it
    bool failed = false;        // the printer is gone for this connection
    bool printer_shut = false;  // the printer was told the till is done
    uint64_t finish_due = 0;
    uint64_t failed_at = 0;
    uint64_t last_till_at = 0;
  };

  void Accept(uint64_t now_ms);
  void StartPrinter(Conn* c, uint64_t now_ms);
  void ReadTill(Conn* c, uint64_t now_ms);
  void WriteTill(Conn* c);
  void PrinterReady(Conn* c, short revents, uint64_t now_ms);
  void PrinterFailed(Conn* c, const std::string& why, uint64_t now_ms);
  // Moves the connection on; false once it is finished and is to be closed.
  bool Advance(Conn* c, uint64_t now_ms);
  bool TillMaySend(const Conn& c) const;

  PortConfig cfg_;
  HostPort printer_at_;
  SocketAddress printer_addr_;  // len 0 while the name is not found
  platform::ScopedFd listener_;
  size_t backlog_;
  uint32_t connect_timeout_ms_;
  DriverCore* core_;
  bool printer_gone_ = false;  // logged as failing, not yet back
  uint64_t next_id_ = 1;
  std::map<uint64_t, Conn> conns_;
};

}  // namespace tillcast::serialfilter
