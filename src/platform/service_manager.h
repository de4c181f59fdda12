// The service control manager: registered background programs (the capture
// driver) that the agent creates, starts, stops and removes.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

namespace tillcast::platform {

// Error numbers as the home platform's service manager reports them.
inline constexpr uint32_t kErrorAccessDenied = 5;
inline constexpr uint32_t kErrorFileNotFound = 2;
inline constexpr uint32_t kErrorServiceAlreadyRunning = 1056;
inline constexpr uint32_t kErrorServiceDoesNotExist = 1060;
inline constexpr uint32_t kErrorServiceNotActive = 1062;
inline constexpr uint32_t kErrorServiceExists = 1073;

// Service states.
inline constexpr uint32_t kServiceStopped = 1;
inline constexpr uint32_t kServiceRunning = 4;

struct ServiceConfig {
  std::string name;
  uint32_t type = 1;        // kernel driver
  uint32_t start_type = 3;  // on demand
  std::string image_path;
};

// Every call returns 0 on success or one of the error numbers above.
// Thread-safe.
class ServiceManager {
 public:
  virtual ~ServiceManager() = default;
  // Checks that the manager can be reached with full rights.
  virtual uint32_t Connect() = 0;
  // kErrorServiceDoesNotExist when no service has that name.
  virtual uint32_t Exists(const std::string& name) = 0;
  virtual uint32_t Create(const ServiceConfig& config) = 0;
  virtual uint32_t QueryState(const std::string& name, uint32_t* state) = 0;
  virtual uint32_t Start(const std::string& name) = 0;
  virtual uint32_t Stop(const std::string& name) = 0;
  virtual uint32_t Delete(const std::string& name) = 0;
};

// Services as record files in a folder (ServiceRecordFolder() by default):
// "<name>.service" holds name, type, start type, image path and, once
// started, the pid with the process's start time and the boot it started
// in. Start spawns the image detached; running means that very process
// still runs (pid, start time and boot match, and it runs that image): a
// pid given to another process since, or a record without the start time,
// is not running. Stop sends SIGTERM.
class PosixServiceManager final : public ServiceManager {
 public:
  explicit PosixServiceManager(std::string folder = "");
  uint32_t Connect() override;
  uint32_t Exists(const std::string& name) override;
  uint32_t Create(const ServiceConfig& config) override;
  uint32_t QueryState(const std::string& name, uint32_t* state) override;
  uint32_t Start(const std::string& name) override;
  uint32_t Stop(const std::string& name) override;
  uint32_t Delete(const std::string& name) override;
  // Reads a record; false when missing.
  bool ReadRecord(const std::string& name, ServiceConfig* config, int* pid);

 private:
  bool ReadRecord(const std::string& name, ServiceConfig* config, int* pid, uint64_t* start, std::string* boot);
  std::string RecordPath(const std::string& name) const;
  bool WriteRecord(const ServiceConfig& config, int pid);
  std::string folder_;
  std::mutex mu_;
};

class FakeServiceManager final : public ServiceManager {
 public:
  uint32_t Connect() override { return connect_error; }
  uint32_t Exists(const std::string& name) override {
    std::lock_guard<std::mutex> l(mu);
    return services.count(name) ? 0 : kErrorServiceDoesNotExist;
  }
  uint32_t Create(const ServiceConfig& c) override {
    std::lock_guard<std::mutex> l(mu);
    if (services.count(c.name)) return kErrorServiceExists;
    services[c.name] = {c, kServiceStopped};
    ++creates;
    return 0;
  }
  uint32_t QueryState(const std::string& name, uint32_t* state) override {
    std::lock_guard<std::mutex> l(mu);
    auto it = services.find(name);
    if (it == services.end()) return kErrorServiceDoesNotExist;
    *state = it->second.state;
    return 0;
  }
  uint32_t Start(const std::string& name) override {
    std::lock_guard<std::mutex> l(mu);
    auto it = services.find(name);
    if (it == services.end()) return kErrorServiceDoesNotExist;
    if (start_error) return start_error;
    it->second.state = kServiceRunning;
    ++starts;
    return 0;
  }
  uint32_t Stop(const std::string& name) override {
    std::lock_guard<std::mutex> l(mu);
    auto it = services.find(name);
    if (it == services.end()) return kErrorServiceDoesNotExist;
    it->second.state = kServiceStopped;
    return 0;
  }
  uint32_t Delete(const std::string& name) override {
    std::lock_guard<std::mutex> l(mu);
    return services.erase(name) ? 0 : kErrorServiceDoesNotExist;
  }
  struct Entry {
    ServiceConfig config;
    uint32_t state;
  };
  std::mutex mu;
  std::map<std::string, Entry> services;
  uint32_t connect_error = 0;
  uint32_t start_error = 0;
  int creates = 0;
  int starts = 0;
};

}  // namespace tillcast::platform
