// The capture driver's service: registering, starting and removing it, and
// the background thread that starts it and keeps it running.
#pragma once

#include <atomic>
#include <string>

#include "platform/service_manager.h"

namespace tillcast {

// "SerialFilter64" for a 64-bit build, "SerialFilter" for a 32-bit one: the
// driver matches the width of the system, and a 64-bit build only runs on a
// 64-bit system.
std::string DriverServiceName();

// <driver folder>/<service name>; the driver folder is $TILLCAST_DRIVER_DIR,
// else the executable's folder.
std::string DriverImagePath(const std::string& service_name);

// Thread-safe; the manager is not owned and must outlive the object.
class DriverService {
 public:
  DriverService(platform::ServiceManager* manager, std::string name);

  // True when the service exists and runs or was started; creates it
  // (kernel driver, on demand) when missing.
  bool StartDriverService(const std::string& image_path);
  // True when the service was found and its state read; stop and delete are
  // requested and their results ignored.
  bool RemoveDriverService();

  // Body of the start thread, until `exiting` is set: tries every
  // `retry_ms` until the service runs, then keeps watching it at that
  // period and starts it again whenever it is found stopped (a crashed
  // driver). A service removed meanwhile is not created again.
  void RunStartLoop(const std::atomic<bool>& exiting, unsigned retry_ms = kRetryMs);

  static constexpr unsigned kRetryMs = 2000;

  const std::string& name() const { return name_; }

 private:
  platform::ServiceManager* manager_;
  std::string name_;
};

}  // namespace tillcast
