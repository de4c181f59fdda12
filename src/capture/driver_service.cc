#include "capture/driver_service.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "base/log.h"
#include "base/text_util.h"
#include "platform/env.h"

namespace tillcast {

std::string DriverServiceName() { return sizeof(void*) == 8 ? "SerialFilter64" : "SerialFilter"; }

std::unique_ptr<platform::ServiceManager> CreateDriverServiceManager(bool installed, std::string* why) {
  const std::string forced = platform::EnvOr("TILLCAST_SERVICE_MANAGER", "");
  const bool systemd = forced.empty() ? installed : forced == "systemd";
  std::unique_ptr<platform::ServiceManager> manager;
  if (systemd) {
    manager = std::make_unique<platform::SystemdServiceManager>(
        std::map<std::string, std::string>{{DriverServiceName(), kDriverUnitName}});
  } else {
    manager = std::make_unique<platform::PosixServiceManager>();
  }
  *why = manager->Describe() + (forced.empty() ? installed ? ", as installed by the package" : ", as in a build folder"
                                               : ", as TILLCAST_SERVICE_MANAGER says");
  return manager;
}

std::string DriverImagePath(const std::string& service_name) {
  return platform::EnvOr("TILLCAST_DRIVER_DIR", GetModuleFolder()) + "/" + service_name;
}

DriverService::DriverService(platform::ServiceManager* manager, std::string name)
    : manager_(manager), name_(std::move(name)) {}

bool DriverService::StartDriverService(const std::string& image_path) {
  if (uint32_t err = manager_->Connect()) {
    Log(LOG_ERROR, "StartDriverService: OpenSCManager failed! error: %d", static_cast<int>(err));
    return false;
  }
  if (manager_->Exists(name_) == platform::kErrorServiceDoesNotExist) {
    platform::ServiceConfig config;
    config.name = name_;
    config.type = 1;
    config.start_type = 3;
    config.image_path = image_path;
    if (uint32_t err = manager_->Create(config)) {
      Log(LOG_ERROR, "StartDriverService: CreateService failed! error: %d", static_cast<int>(err));
      return false;
    }
  }
  uint32_t state = 0;
  if (uint32_t err = manager_->QueryState(name_, &state)) {
    Log(LOG_ERROR, "StartDriverService: QueryServiceStatusEx failed! error: %d", static_cast<int>(err));
    return false;
  }
  if (state != platform::kServiceRunning) {
    if (uint32_t err = manager_->Start(name_)) {
      Log(LOG_ERROR, "StartDriverService: StartService failed! error: %d", static_cast<int>(err));
      return false;
    }
  }
  Log(LOG_INFO, "StartDriverService: success! ");
  return true;
}

bool DriverService::RemoveDriverService() {
  if (uint32_t err = manager_->Connect()) {
    Log(LOG_ERROR, "RemoveDriverService: OpenSCManager failed!  error: %d", static_cast<int>(err));
    return false;
  }
  if (uint32_t err = manager_->Exists(name_)) {
    Log(LOG_ERROR, "RemoveDriverService: OpenService failed! error: %d", static_cast<int>(err));
    return false;
  }
  uint32_t state = 0;
  if (uint32_t err = manager_->QueryState(name_, &state)) {
    Log(LOG_ERROR, "RemoveDriverService: QueryServiceStatusEx failed! error: %d", static_cast<int>(err));
    return false;
  }
  if (manager_->OwnedBySystem()) {
    // The unit file is the package's: it is switched off, not deleted.
    if (uint32_t err = manager_->DisableNow(name_))
      Log(LOG_ERROR, "RemoveDriverService: disable failed! error: %d (%s)", static_cast<int>(err),
          manager_->LastError().c_str());
    Log(LOG_INFO, "RemoveDriverService: success! ");
    return true;
  }
  if (state != platform::kServiceStopped) manager_->Stop(name_);
  Log(LOG_INFO, "RemoveDriverService: success! ");
  manager_->Delete(name_);
  return true;
}

namespace {

// Sleeps up to `ms` in short steps, so shutdown is not held up.
void SleepUnlessExiting(const std::atomic<bool>& exiting, unsigned ms) {
  for (unsigned waited = 0; waited < ms && !exiting.load(); waited += 100)
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min(100u, ms - waited)));
}

}  // namespace

void DriverService::WatchLoop(const std::atomic<bool>& exiting, unsigned poll_ms) {
  bool first = true;
  uint32_t last_err = 0;
  platform::ServiceStatus last;
  while (!exiting.load()) {
    platform::ServiceStatus now;
    const uint32_t err = manager_->QueryStatus(name_, &now);
    if (first || err != last_err || (err == 0 && !(now == last))) {
      if (err == platform::kErrorServiceDoesNotExist) {
        Log(LOG_ERROR, "driver service %s is not installed, error: %d", name_.c_str(), static_cast<int>(err));
      } else if (err != 0) {
        Log(LOG_ERROR, "driver service %s: its state cannot be read, error: %d (%s)", name_.c_str(),
            static_cast<int>(err), manager_->LastError().c_str());
      } else if (now.state == platform::kServiceRunning) {
        Log(LOG_INFO, "driver service %s: %s, pid %d", name_.c_str(), now.detail.c_str(), now.pid);
      } else {
        Log(LOG_ERROR, "driver service %s is not running: %s", name_.c_str(), now.detail.c_str());
      }
    }
    first = false;
    last_err = err;
    last = now;
    SleepUnlessExiting(exiting, poll_ms);
  }
}

void DriverService::RunStartLoop(const std::atomic<bool>& exiting, unsigned retry_ms) {
  if (manager_->OwnedBySystem()) {
    WatchLoop(exiting, retry_ms);
    return;
  }
  const std::string image = DriverImagePath(name_);
  bool started = false;
  while (!exiting.load()) {
    if (!started) {
      started = StartDriverService(image);
      if (started)
        Log(LOG_ERROR, "StartDriverService success! ");
      else
        Log(LOG_ERROR, "StartDriverService failed! ");
    } else {
      // Watching: a driver that stopped (crashed, killed) is started again.
      // A service that was removed meanwhile is left removed.
      uint32_t state = 0;
      if (manager_->QueryState(name_, &state) == 0 && state != platform::kServiceRunning) {
        Log(LOG_WARNING, "capture driver service %s is not running; starting it again", name_.c_str());
        if (StartDriverService(image))
          Log(LOG_INFO, "capture driver service %s restarted", name_.c_str());
        else
          Log(LOG_ERROR, "StartDriverService failed! ");
      }
    }
    SleepUnlessExiting(exiting, retry_ms);
  }
}

}  // namespace tillcast
