#include <cstdlib>
#include <sstream>

#include "platform/process.h"
#include "platform/service_manager.h"

namespace tillcast::platform {
namespace {

// The first line of `text`, for a log line.
std::string FirstLine(const std::string& text) {
  const size_t end = text.find('\n');
  return text.substr(0, end);
}

// "Key=Value" lines of `systemctl show`.
std::map<std::string, std::string> ParseProperties(const std::string& text) {
  std::map<std::string, std::string> props;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    const size_t eq = line.find('=');
    if (eq == std::string::npos || eq == 0) continue;
    props[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return props;
}

uint32_t StateOf(const std::string& active) {
  if (active == "active" || active == "reloading") return kServiceRunning;
  if (active == "activating") return kServiceStartPending;
  if (active == "deactivating") return kServiceStopPending;
  return kServiceStopped;  // inactive, failed, maintenance
}

}  // namespace

SystemdServiceManager::SystemdServiceManager(std::map<std::string, std::string> units, std::string systemctl,
                                             int timeout_ms)
    : units_(std::move(units)), systemctl_(std::move(systemctl)), timeout_ms_(timeout_ms) {}

std::string SystemdServiceManager::UnitOf(const std::string& name) const {
  const auto it = units_.find(name);
  return it != units_.end() ? it->second : name + ".service";
}

std::string SystemdServiceManager::Describe() const {
  std::string units;
  for (const auto& [name, unit] : units_) units += (units.empty() ? "" : ", ") + unit;
  return "systemd unit " + units + " (started by the system; the agent only reads its state)";
}

std::string SystemdServiceManager::LastError() const {
  std::lock_guard<std::mutex> l(mu_);
  return last_error_;
}

uint32_t SystemdServiceManager::Run(const std::vector<std::string>& args, std::string* out) {
  std::vector<std::string> argv{systemctl_};
  argv.insert(argv.end(), args.begin(), args.end());
  const RunResult r = RunAndCapture(argv, timeout_ms_);
  std::string error;
  if (!r.started)
    error = systemctl_ + " cannot be started (errno " + std::to_string(r.error) + ")";
  else if (r.timed_out)
    error = systemctl_ + " gave no answer in time";
  else if (r.exit_code != 0)
    error = systemctl_ + " exit " + std::to_string(r.exit_code) + (r.err.empty() ? "" : ": " + FirstLine(r.err));
  {
    std::lock_guard<std::mutex> l(mu_);
    last_error_ = error;
  }
  if (out != nullptr) *out = r.out;
  return error.empty() ? 0 : kErrorManagerUnavailable;
}

uint32_t SystemdServiceManager::QueryStatus(const std::string& name, ServiceStatus* status) {
  std::string out;
  // Key=Value lines rather than --value: systemctl prints properties in its
  // own order, not in the order asked.
  if (uint32_t err = Run({"show", "-p", "LoadState", "-p", "ActiveState", "-p", "SubState", "-p", "MainPID", "-p",
                          "Result", "--", UnitOf(name)},
                         &out))
    return err;
  const auto props = ParseProperties(out);
  const auto get = [&](const char* key) {
    const auto it = props.find(key);
    return it != props.end() ? it->second : std::string();
  };
  const std::string load = get("LoadState"), active = get("ActiveState");
  if (load == "not-found") return kErrorServiceDoesNotExist;
  if (active.empty()) {
    std::lock_guard<std::mutex> l(mu_);
    last_error_ = systemctl_ + " show gave no state";
    return kErrorManagerUnavailable;
  }
  *status = ServiceStatus{};
  status->state = StateOf(active);
  status->pid = std::atoi(get("MainPID").c_str());
  const std::string sub = get("SubState"), result = get("Result");
  status->detail = active + " (" + sub + ")";
  if (!result.empty() && result != "success") status->detail += ", result " + result;
  return 0;
}

uint32_t SystemdServiceManager::QueryState(const std::string& name, uint32_t* state) {
  ServiceStatus status;
  if (uint32_t err = QueryStatus(name, &status)) return err;
  *state = status.state;
  return 0;
}

uint32_t SystemdServiceManager::Exists(const std::string& name) {
  ServiceStatus status;
  return QueryStatus(name, &status);
}

uint32_t SystemdServiceManager::Create(const ServiceConfig&) { return kErrorAccessDenied; }

uint32_t SystemdServiceManager::Start(const std::string&) { return kErrorAccessDenied; }

uint32_t SystemdServiceManager::Delete(const std::string&) { return kErrorAccessDenied; }

uint32_t SystemdServiceManager::Stop(const std::string& name) { return Run({"stop", "--", UnitOf(name)}, nullptr); }

uint32_t SystemdServiceManager::DisableNow(const std::string& name) {
  return Run({"disable", "--now", "--", UnitOf(name)}, nullptr);
}

}  // namespace tillcast::platform
