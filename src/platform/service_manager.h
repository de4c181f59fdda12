// The service control manager: registered background programs (the capture
// driver) that the agent creates, starts, stops and removes.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace tillcast::platform {

// Error numbers as the home platform's service manager reports them.
inline constexpr uint32_t kErrorAccessDenied = 5;
inline constexpr uint32_t kErrorFileNotFound = 2;
inline constexpr uint32_t kErrorServiceAlreadyRunning = 1056;
inline constexpr uint32_t kErrorServiceDoesNotExist = 1060;
inline constexpr uint32_t kErrorServiceNotActive = 1062;
inline constexpr uint32_t kErrorServiceExists = 1073;
// The service manager itself cannot be reached or gave no usable answer.
inline constexpr uint32_t kErrorManagerUnavailable = 1722;

// Service states.
inline constexpr uint32_t kServiceStopped = 1;
inline constexpr uint32_t kServiceStartPending = 2;
inline constexpr uint32_t kServiceStopPending = 3;
inline constexpr uint32_t kServiceRunning = 4;

// A service's state with the manager's own words for it, for the log.
struct ServiceStatus {
  uint32_t state = kServiceStopped;
  int pid = 0;         // 0 when not known or not running
  std::string detail;  // e.g. "active (running)", "failed (exit-code)"
  bool operator==(const ServiceStatus&) const = default;
};

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

  // The state with its detail; by default QueryState's answer.
  virtual uint32_t QueryStatus(const std::string& name, ServiceStatus* status);
  // True when the system owns the service (a packaged unit): the agent only
  // reads its state, and Create, Start and Delete are refused.
  virtual bool OwnedBySystem() const { return false; }
  // Stops the service and keeps it from starting again (the uninstall run).
  // By default Stop (when it runs) and Delete.
  virtual uint32_t DisableNow(const std::string& name);
  // One line for the log saying which backend this is.
  virtual std::string Describe() const = 0;
  // Why the last call failed, in the manager's words; "" when not known.
  virtual std::string LastError() const { return {}; }
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
  std::string Describe() const override;
  // Reads a record; false when missing.
  bool ReadRecord(const std::string& name, ServiceConfig* config, int* pid);

 private:
  bool ReadRecord(const std::string& name, ServiceConfig* config, int* pid, uint64_t* start, std::string* boot);
  std::string RecordPath(const std::string& name) const;
  bool WriteRecord(const ServiceConfig& config, int pid);
  std::string folder_;
  std::mutex mu_;
};

// The system's service manager, systemd, through `systemctl`. Its units
// belong to the package (their files to dpkg): this backend reads a unit's
// state and, for root's uninstall run, disables it; Create, Start and Delete
// are refused with kErrorAccessDenied. Stop stops the unit.
class SystemdServiceManager final : public ServiceManager {
 public:
  // `units` maps a service name to its unit ("SerialFilter64" ->
  // "tillcast-serialfilter.service"); another name is taken as
  // "<name>.service". `systemctl` is searched on $PATH when bare; each call
  // waits at most `timeout_ms`.
  explicit SystemdServiceManager(std::map<std::string, std::string> units, std::string systemctl = "systemctl",
                                 int timeout_ms = 5000);
  uint32_t Connect() override { return 0; }
  uint32_t Exists(const std::string& name) override;
  uint32_t Create(const ServiceConfig& config) override;
  uint32_t QueryState(const std::string& name, uint32_t* state) override;
  uint32_t QueryStatus(const std::string& name, ServiceStatus* status) override;
  uint32_t Start(const std::string& name) override;
  uint32_t Stop(const std::string& name) override;
  uint32_t Delete(const std::string& name) override;
  uint32_t DisableNow(const std::string& name) override;
  bool OwnedBySystem() const override { return true; }
  std::string Describe() const override;
  std::string UnitOf(const std::string& name) const;
  // Why the last call failed, in systemctl's words ("" after a success).
  std::string LastError() const override;

 private:
  uint32_t Run(const std::vector<std::string>& args, std::string* out);
  const std::map<std::string, std::string> units_;
  const std::string systemctl_;
  const int timeout_ms_;
  mutable std::mutex mu_;
  std::string last_error_;
};

class FakeServiceManager final : public ServiceManager {
 public:
  std::string Describe() const override { return "fake"; }
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
