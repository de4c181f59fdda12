// The four kinds of port the SDK writes to. A Port is used under the SDK's
// lock only, so implementations need no locking of their own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace possdk {

// A write that makes no progress for this long fails (printer offline,
// flow control holding the line).
inline constexpr int kWriteStallMs = 5000;

class Port {
 public:
  virtual ~Port() = default;
  // All bytes or false (errno set).
  virtual bool Write(const uint8_t* data, size_t length) = 0;
  // Up to `size` bytes, waiting at most `timeoutMs` for the first; -1 on
  // error (errno set), 0 on timeout.
  virtual long Read(uint8_t* buffer, size_t size, int timeoutMs) = 0;
  // Document bracket; only a print queue cares.
  virtual bool StartDoc() { return true; }
  virtual bool EndDoc() { return true; }
  // Ends the port; false when pending output could not be delivered.
  virtual bool Close() = 0;
};

struct SerialSettings {
  int baudrate = 9600;
  int dataBits = 8;
  int stopBits = 0;  // POS_STOPBITS_*
  int parity = 0;    // POS_PARITY_*
  int flow = 3;      // POS_FLOW_*
};

// Each returns null with errno set on failure.
std::unique_ptr<Port> OpenSerialPort(const std::string& name, const SerialSettings& settings);
std::unique_ptr<Port> OpenDevicePort(const std::string& name);
std::unique_ptr<Port> OpenQueuePort(const std::string& queue);
// A network printer, "HOST:PORT" ("[IPv6]:PORT"; port 9100 when left out).
std::unique_ptr<Port> OpenNetworkPort(const std::string& address);

// "COM3" -> "/dev/ttyS2", "ttyUSB0" -> "/dev/ttyUSB0", paths unchanged.
std::string SerialDevicePath(const std::string& name);
// "LPT1" -> "/dev/lp0", "usb/lp0" -> "/dev/usb/lp0", paths unchanged.
std::string ParallelDevicePath(const std::string& name);

// Shared by the two descriptor-based ports: writes everything, polling the
// non-blocking descriptor with a stall timeout.
bool WriteAllFd(int fd, const uint8_t* data, size_t length);
long ReadFd(int fd, uint8_t* buffer, size_t size, int timeoutMs);

}  // namespace possdk
