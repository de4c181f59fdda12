#include "capture/driver_service.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "app/log.h"
#include "app/text_util.h"
#include "platform/env.h"

namespace tillcast {

std::string DriverServiceName() { return sizeof(void*) == 8 ? "SerialFilter64" : "SerialFilter"; }

std::string DriverImagePath(const std::string& service_name) {
  return platform::EnvOr("TILLCAST_DRIVER_DIR", GetModuleFolder()) + "/" + service_name;
}

DriverService::DriverService(platform::ServiceManager* manager, std::string name) : manager_(manager), name_(std::move(name)) {}

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
  if (state != platform::kServiceStopped) manager_->Stop(name_);
  Log(LOG_INFO, "RemoveDriverService: success! ");
  manager_->Delete(name_);
  return true;
}

void DriverService::RunStartLoop(const std::atomic<bool>& exiting, unsigned retry_ms) {
  const std::string image = DriverImagePath(name_);
  bool started = false;
  while (!exiting.load()) {
    if (!started) {
      started = StartDriverService(image);
      if (started) Log(LOG_ERROR, "StartDriverService success! ");
      else Log(LOG_ERROR, "StartDriverService failed! ");
    } else {
      // Watching: a driver that stopped (crashed, killed) is started again.
      // A service that was removed meanwhile is left removed.
      uint32_t state = 0;
      if (manager_->QueryState(name_, &state) == 0 && state != platform::kServiceRunning) {
        Log(LOG_WARNING, "capture driver service %s is not running; starting it again", name_.c_str());
        if (StartDriverService(image)) Log(LOG_INFO, "capture driver service %s restarted", name_.c_str());
        else Log(LOG_ERROR, "StartDriverService failed! ");
      }
    }
    // Sleep in short steps so shutdown is not held up by a long wait.
    for (unsigned waited = 0; waited < retry_ms && !exiting.load(); waited += 100)
      std::this_thread::sleep_for(std::chrono::milliseconds(std::min(100u, retry_ms - waited)));
  }
}

}  // namespace tillcast
