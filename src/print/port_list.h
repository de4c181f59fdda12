// The ports and printers of this PC, grouped by PortType: serial ports,
// parallel and USB printer devices, print queues.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

namespace tillcast {

using PortGroups = std::map<std::string, std::set<std::string>>;

// Where ports are found. Each call returns the names found, or nothing when
// the source cannot be read at all.
class PortSource {
 public:
  virtual ~PortSource() = default;
  virtual std::optional<std::set<std::string>> SerialPorts() = 0;
  virtual std::optional<std::set<std::string>> ParallelPorts() = 0;
  virtual std::optional<std::set<std::string>> Printers() = 0;
};

// Serial ports from <sys>/class/tty/*/device (devices named <dev>/<tty>;
// legacy UART slots without hardware are left out), printer devices
// <dev>/lp* and <dev>/usb/lp*, and the queues of the CUPS server.
class SystemPortSource final : public PortSource {
 public:
  explicit SystemPortSource(std::string sysRoot = "/sys", std::string devRoot = "/dev");
  std::optional<std::set<std::string>> SerialPorts() override;
  std::optional<std::set<std::string>> ParallelPorts() override;
  std::optional<std::set<std::string>> Printers() override;

 private:
  std::string sys_;
  std::string dev_;
};

// Thread-safe.
class PortList {
 public:
  // The process-wide list over the system's sources.
  static PortList& GetInstance();

  explicit PortList(std::unique_ptr<PortSource> source);

  // Enumerates afresh and returns a copy. A group with no names is absent,
  // not empty.
  PortGroups Refresh();

 private:
  std::mutex refresh_;  // one enumeration at a time
  std::unique_ptr<PortSource> source_;
};

}  // namespace tillcast
