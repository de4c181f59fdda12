#include <errno.h>
#include <signal.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <sstream>

#include "platform/env.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "platform/service_manager.h"

namespace tillcast::platform {
namespace {

// The executable that a live pid runs, "" when unknown.
std::string ImageOfPid(int pid) {
  char buf[PATH_MAX];
  const std::string link = "/proc/" + std::to_string(pid) + "/exe";
  const ssize_t n = readlink(link.c_str(), buf, sizeof(buf) - 1);
  if (n <= 0) return {};
  return std::string(buf, static_cast<size_t>(n));
}

// The process a record names: its pid, started at that time in that boot.
struct RecordedProcess {
  int pid = 0;
  uint64_t start = 0;  // clock ticks after boot, 0 = not kept
  std::string boot;
};

// True when the recorded process is that very program still running: the
// pid alone may have been given to any other process since (after a crash
// or a reboot), so its start time and the boot must match too.
bool Runs(const RecordedProcess& r, const std::string& image) {
  uint64_t start = 0;
  if (r.pid <= 0 || r.start == 0 || !ProcessStartTime(r.pid, &start) || start != r.start) return false;
  if (const std::string boot = BootId(); !boot.empty() && r.boot != boot) return false;
  const std::string actual = ImageOfPid(r.pid);
  if (actual.empty()) return true;  // not ours to inspect; pid and start time match
  char resolved[PATH_MAX];
  const std::string want = realpath(image.c_str(), resolved) ? std::string(resolved) : image;
  return actual == want;
}

bool ValidName(const std::string& name) {
  return !name.empty() && name.find('/') == std::string::npos && name != "." && name != "..";
}

}  // namespace

uint32_t ServiceManager::QueryStatus(const std::string& name, ServiceStatus* status) {
  uint32_t state = 0;
  if (uint32_t err = QueryState(name, &state)) return err;
  *status = ServiceStatus{};
  status->state = state;
  status->detail = state == kServiceRunning ? "running" : "stopped";
  return 0;
}

uint32_t ServiceManager::DisableNow(const std::string& name) {
  uint32_t state = 0;
  if (uint32_t err = QueryState(name, &state)) return err;
  if (state != kServiceStopped) Stop(name);
  return Delete(name);
}

PosixServiceManager::PosixServiceManager(std::string folder)
    : folder_(folder.empty() ? ServiceRecordFolder() : std::move(folder)) {}

std::string PosixServiceManager::RecordPath(const std::string& name) const { return folder_ + "/" + name + ".service"; }

std::string PosixServiceManager::Describe() const {
  return "service records in " + folder_ + " (the agent starts the driver)";
}

uint32_t PosixServiceManager::Connect() {
  if (!IsDirectory(folder_) && !MakeDirectories(folder_)) return kErrorAccessDenied;
  if (access(folder_.c_str(), R_OK | W_OK | X_OK) != 0) return kErrorAccessDenied;
  return 0;
}

bool PosixServiceManager::ReadRecord(const std::string& name, ServiceConfig* config, int* pid) {
  uint64_t start = 0;
  std::string boot;
  return ReadRecord(name, config, pid, &start, &boot);
}

bool PosixServiceManager::ReadRecord(const std::string& name, ServiceConfig* config, int* pid, uint64_t* start,
                                     std::string* boot) {
  if (!ValidName(name)) return false;
  std::string text;
  int err = 0;
  if (!ReadWholeFile(RecordPath(name), &text, &err)) return false;
  std::istringstream in(text);
  std::string line;
  *pid = 0;
  *start = 0;
  boot->clear();
  *config = ServiceConfig{};
  while (std::getline(in, line)) {
    const size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    const std::string k = line.substr(0, eq), v = line.substr(eq + 1);
    if (k == "name")
      config->name = v;
    else if (k == "type")
      config->type = static_cast<uint32_t>(std::strtoul(v.c_str(), nullptr, 10));
    else if (k == "start_type")
      config->start_type = static_cast<uint32_t>(std::strtoul(v.c_str(), nullptr, 10));
    else if (k == "image")
      config->image_path = v;
    else if (k == "pid")
      *pid = std::atoi(v.c_str());
    else if (k == "start")
      *start = std::strtoull(v.c_str(), nullptr, 10);
    else if (k == "boot")
      *boot = v;
  }
  return true;
}

bool PosixServiceManager::WriteRecord(const ServiceConfig& c, int pid) {
  std::ostringstream out;
  out << "name=" << c.name << "\ntype=" << c.type << "\nstart_type=" << c.start_type << "\nimage=" << c.image_path
      << "\npid=" << pid << "\n";
  // The started process's identity beside its pid (see Runs()).
  uint64_t start = 0;
  if (pid > 0 && ProcessStartTime(pid, &start)) out << "start=" << start << "\nboot=" << BootId() << "\n";
  int err = 0;
  return ReplaceFileAtomically(RecordPath(c.name), out.str(), &err);
}

uint32_t PosixServiceManager::Exists(const std::string& name) {
  std::lock_guard<std::mutex> l(mu_);
  return ValidName(name) && PathExists(RecordPath(name)) ? 0 : kErrorServiceDoesNotExist;
}

uint32_t PosixServiceManager::Create(const ServiceConfig& config) {
  std::lock_guard<std::mutex> l(mu_);
  if (!ValidName(config.name)) return kErrorServiceDoesNotExist;
  if (PathExists(RecordPath(config.name))) return kErrorServiceExists;
  return WriteRecord(config, 0) ? 0 : kErrorAccessDenied;
}

uint32_t PosixServiceManager::QueryState(const std::string& name, uint32_t* state) {
  std::lock_guard<std::mutex> l(mu_);
  ServiceConfig c;
  RecordedProcess r;
  if (!ReadRecord(name, &c, &r.pid, &r.start, &r.boot)) return kErrorServiceDoesNotExist;
  *state = Runs(r, c.image_path) ? kServiceRunning : kServiceStopped;
  return 0;
}

uint32_t PosixServiceManager::Start(const std::string& name) {
  std::lock_guard<std::mutex> l(mu_);
  ServiceConfig c;
  RecordedProcess r;
  if (!ReadRecord(name, &c, &r.pid, &r.start, &r.boot)) return kErrorServiceDoesNotExist;
  if (Runs(r, c.image_path)) return kErrorServiceAlreadyRunning;
  if (access(c.image_path.c_str(), X_OK) != 0) return kErrorFileNotFound;
  PosixProcessLauncher launcher;
  int err = 0, child = -1;
  if (!launcher.SpawnDetached({c.image_path}, {}, &err, &child)) return kErrorFileNotFound;
  return WriteRecord(c, child) ? 0 : kErrorAccessDenied;
}

uint32_t PosixServiceManager::Stop(const std::string& name) {
  std::lock_guard<std::mutex> l(mu_);
  ServiceConfig c;
  RecordedProcess r;
  if (!ReadRecord(name, &c, &r.pid, &r.start, &r.boot)) return kErrorServiceDoesNotExist;
  if (!Runs(r, c.image_path)) return kErrorServiceNotActive;
  const int pid = r.pid;
  if (kill(pid, SIGTERM) != 0) return errno == EPERM ? kErrorAccessDenied : kErrorServiceNotActive;
  WriteRecord(c, 0);
  return 0;
}

uint32_t PosixServiceManager::Delete(const std::string& name) {
  std::lock_guard<std::mutex> l(mu_);
  if (!ValidName(name) || !PathExists(RecordPath(name))) return kErrorServiceDoesNotExist;
  return unlink(RecordPath(name).c_str()) == 0 ? 0 : kErrorAccessDenied;
}

}  // namespace tillcast::platform
