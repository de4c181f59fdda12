// The capture driver's service: registering, starting and removing it, and
// the background thread that starts it and keeps it running.
#pragma once

#include <atomic>
#include <memory>
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

// The systemd unit of an installed driver.
inline constexpr const char* kDriverUnitName = "tillcast-serialfilter.service";

// The service manager of this run, chosen once: $TILLCAST_SERVICE_MANAGER
// ("systemd" or "records") when set, else systemd for an installation made
// by the package (`installed`) and service records otherwise. `*why` gets a
// line for the log.
std::unique_ptr<platform::ServiceManager> CreateDriverServiceManager(bool installed, std::string* why);

// Thread-safe; the manager is not owned and must outlive the object.
class DriverService {
 public:
  DriverService(platform::ServiceManager* manager, std::string name);

  // True when the service exists and runs or was started; creates it
  // (kernel driver, on demand) when missing.
  bool StartDriverService(const std::string& image_path);
  // True when the service was found and its state read; stop and delete are
  // requested and their results ignored. A service the system owns is
  // disabled and stopped instead.
  bool RemoveDriverService();

  // Body of the start thread, until `exiting` is set: tries every
  // `retry_ms` until the service runs, then keeps watching it at that
  // period and starts it again whenever it is found stopped (a crashed
  // driver). A service removed meanwhile is not created again. For a
  // service the system owns it runs WatchLoop instead.
  void RunStartLoop(const std::atomic<bool>& exiting, unsigned retry_ms = kRetryMs);

  static constexpr unsigned kRetryMs = 2000;

  // Reads the service's state every `poll_ms` until `exiting` is set and
  // logs a line each time it changes (the system starts and restarts it).
  void WatchLoop(const std::atomic<bool>& exiting, unsigned poll_ms = 2000);

  const std::string& name() const { return name_; }

 private:
  platform::ServiceManager* manager_;
  std::string name_;
};

}  // namespace tillcast
