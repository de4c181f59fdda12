// Checks of print capture: the driver's service, its control socket, the
// till's ports from the driver's configuration, and a CUPS capture queue.
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "base/install_layout.h"
#include "capture/driver_device.h"
#include "capture/driver_protocol.h"
#include "capture/driver_service.h"
#include "doctor.h"
#include "platform/env.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "platform/service_manager.h"

namespace tillcast::doctor {
namespace {

std::string Octal(unsigned mode) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%04o", mode);
  return buf;
}

std::string GroupName(gid_t gid) {
  if (const group* g = ::getgrgid(gid)) return g->gr_name;
  return std::to_string(gid);
}

std::string OwnerName(uid_t uid) {
  if (const passwd* p = ::getpwuid(uid)) return p->pw_name;
  return std::to_string(uid);
}

std::string RestartDriverFix(bool systemd) {
  return systemd
             ? "sudo systemctl restart tillcast-serialfilter (journalctl -u tillcast-serialfilter -u tillcast-ports "
               "says what went wrong)"
             : "start the agent: it starts the driver, which makes the ports";
}

bool SystemdManaged() {
  std::string why;
  return CreateDriverServiceManager(PerUserInstallation(), &why)->OwnedBySystem();
}

// Whether `user` may open a file of this owner, group and mode for reading
// and writing, as the kernel decides it.
bool UserCanOpen(const std::string& user, const struct stat& st, std::string* why) {
  const passwd* pw = ::getpwnam(user.c_str());
  if (pw == nullptr) {
    *why = "there is no user " + user;
    return false;
  }
  if (pw->pw_uid == 0) return true;
  unsigned bits;
  if (pw->pw_uid == st.st_uid) {
    bits = (st.st_mode >> 6) & 7;
  } else {
    std::vector<gid_t> groups(64);
    int count = static_cast<int>(groups.size());
    if (::getgrouplist(pw->pw_name, pw->pw_gid, groups.data(), &count) < 0) {
      groups.resize(static_cast<size_t>(count));
      ::getgrouplist(pw->pw_name, pw->pw_gid, groups.data(), &count);
    }
    groups.resize(static_cast<size_t>(count));
    bool member = false;
    for (gid_t g : groups) member = member || g == st.st_gid;
    bits = member ? (st.st_mode >> 3) & 7 : st.st_mode & 7;
  }
  if ((bits & 6) == 6) return true;
  *why = user + " is not the owner " + OwnerName(st.st_uid) + " nor in the group " + GroupName(st.st_gid) +
         " with read and write access (mode " + Octal(st.st_mode & 07777) + ")";
  return false;
}

std::string GroupMembers(gid_t gid) {
  std::string members;
  if (const group* g = ::getgrgid(gid)) {
    for (char** m = g->gr_mem; m != nullptr && *m != nullptr; ++m)
      members += std::string(members.empty() ? "" : ", ") + *m;
  }
  return members.empty() ? "no members" : "members: " + members;
}

// One till port: what it is, and what is wrong with it ("" when nothing).
struct PortFinding {
  std::string text;
  std::string problem;
  std::string fix;
};

// The checks of one kind of till port (a device file); network ports are
// checked by CheckNetworkPort.
struct PortKind {
  uint32_t type;
  const char* name;
  bool (*is_kind)(const struct stat&);
  const char* what;
};

const PortKind kPortKinds[] = {
    {1, "serial", [](const struct stat& st) { return S_ISCHR(st.st_mode); }, "a pseudo-terminal"},
    {2, "parallel", [](const struct stat& st) { return S_ISFIFO(st.st_mode); }, "a pipe"},
};

// Whether a TCP socket of this machine listens on `port` (IPv4 or IPv6),
// read from /proc/net without connecting: a connection to a network till
// port would be a till's connection to the driver.
bool TcpListening(unsigned port) {
  for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::ifstream in(table);
    std::string line;
    std::getline(in, line);  // the header
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::string slot, local, remote, state;
      if (!(fields >> slot >> local >> remote >> state)) continue;
      const size_t colon = local.rfind(':');
      if (colon == std::string::npos || state != "0A") continue;  // 0A: LISTEN
      if (std::strtoul(local.c_str() + colon + 1, nullptr, 16) == port) return true;
    }
  }
  return false;
}

// A network till port: the driver (its port keeper) listens where the till
// is pointed; the printer behind it is the driver's to reach.
PortFinding CheckNetworkPort(const serialfilter::PortConfig& port, bool systemd) {
  PortFinding f;
  f.text = "network " + std::to_string(port.number) + " " + port.path + ", printer " + port.printer;
  const size_t colon = port.path.rfind(':');
  const unsigned number = colon == std::string::npos ? 0 : std::strtoul(port.path.c_str() + colon + 1, nullptr, 10);
  if (number == 0 || number > 65535) {
    f.problem = "the network port's address " + port.path + " has no port number";
    f.fix = "write it as ADDRESS:PORT (for example 0.0.0.0:9100) in the driver's configuration";
    return f;
  }
  if (!TcpListening(number)) {
    f.problem =
        "nothing listens on TCP port " + std::to_string(number) + " (" + port.path + "): the till cannot print to it";
    f.fix = RestartDriverFix(systemd) +
            "; the driver's log says why it could not listen (a port in use, an "
            "address this machine does not have)";
    return f;
  }
  f.text += " (listening)";
  return f;
}

PortFinding CheckOnePort(const serialfilter::PortConfig& port, const serialfilter::DriverConfig& config,
                         const DoctorOptions& options, bool systemd) {
  if (port.type == serialfilter::kPortNetwork) return CheckNetworkPort(port, systemd);
  const PortKind* kind = nullptr;
  for (const PortKind& k : kPortKinds)
    if (k.type == port.type) kind = &k;
  PortFinding f;
  f.text = port.path;
  if (kind == nullptr) {
    f.text += " (a port kind this doctor does not know: " + std::to_string(port.type) + ")";
    return f;
  }
  f.text = std::string(kind->name) + " " + std::to_string(port.number) + " " + port.path;
  struct stat st {};
  if (::stat(port.path.c_str(), &st) != 0) {
    f.problem = port.path + " is missing: the till cannot print to it";
    f.fix = RestartDriverFix(systemd);
    return f;
  }
  if (!kind->is_kind(st)) {
    f.problem = port.path + " is not " + kind->what +
                (S_ISREG(st.st_mode) ? " but a regular file (a program wrote to it while the port was missing)" : "");
    f.fix = "remove it (sudo rm " + port.path + "), then " + RestartDriverFix(systemd);
    return f;
  }
  f.text += " (group " + GroupName(st.st_gid) + ", mode " + Octal(st.st_mode & 07777) + ")";
  unsigned gid = 0;
  if (config.port_group != "-" && serialfilter::ResolveGroup(config.port_group, &gid) && gid != st.st_gid) {
    f.problem = port.path + " has the group " + GroupName(st.st_gid) + ", not " + config.port_group +
                " as the driver's configuration says";
    f.fix = RestartDriverFix(systemd);
    return f;
  }
  if ((st.st_mode & 07777) != config.port_mode) {
    f.problem = port.path + " has the mode " + Octal(st.st_mode & 07777) + ", not " + Octal(config.port_mode) +
                " as the driver's configuration says";
    f.fix = RestartDriverFix(systemd);
    return f;
  }
  if (!port.printer.empty() && !platform::PathExists(port.printer)) {
    f.problem = "the printer " + port.printer + " behind " + port.path +
                " is missing: what the till prints is captured but reaches no paper";
    f.fix = "plug in and switch on the printer, or correct the port's line in the driver's configuration";
    return f;
  }
  f.text += port.printer.empty() ? ", capture only" : ", printer " + port.printer;
  if (!options.till_user.empty()) {
    std::string why;
    if (!UserCanOpen(options.till_user, st, &why)) {
      f.problem = "the till's user " + options.till_user + " cannot open " + port.path + ": " + why;
      f.fix = "sudo usermod -aG " + GroupName(st.st_gid) + " " + options.till_user +
              ", then start the till's program again in a new login";
      return f;
    }
    f.text += ", " + options.till_user + " can open it";
  } else {
    f.text += ", open to " + OwnerName(st.st_uid) + " and the group " + GroupName(st.st_gid) + " (" +
              GroupMembers(st.st_gid) + ")";
  }
  return f;
}

}  // namespace

CheckResult CheckDriverService(DoctorContext&) {
  std::string why;
  std::unique_ptr<platform::ServiceManager> manager = CreateDriverServiceManager(PerUserInstallation(), &why);
  const bool systemd = manager->OwnedBySystem();
  const std::string name = DriverServiceName();
  const std::string what = systemd ? std::string("the unit ") + kDriverUnitName : "the driver " + name;
  platform::ServiceStatus status;
  const uint32_t rc = manager->QueryStatus(name, &status);
  if (rc == platform::kErrorServiceDoesNotExist)
    return Problem(systemd ? what + " is not installed" : what + " has no service record yet (" + why + ")",
                   systemd ? "sudo apt install --reinstall tillcast"
                           : "start the agent: it registers and starts the driver " + DriverImagePath(name));
  if (rc != 0)
    return Problem(
        "the service manager cannot be asked about " + what + " (" + why + ": " + manager->LastError() + ")",
        systemd ? "systemctl status tillcast-serialfilter" : "check the folder " + platform::ServiceRecordFolder());
  const std::string detail = status.detail.empty() ? "" : ", " + status.detail;
  if (status.state == platform::kServiceRunning)
    return Ok(what + " runs (" + (status.pid > 0 ? "pid " + std::to_string(status.pid) : std::string("pid not known")) +
              detail + "); " + why);
  return Problem(
      what + " is not running" + detail + ": nothing the till prints is captured or passed on to the printer",
      systemd ? "sudo systemctl restart tillcast-serialfilter; journalctl -u tillcast-serialfilter says why "
                "it stopped"
              : "the running agent starts it again within [capture] service_retry_ms of setting.ini; "
                "without a running agent, start the agent");
}

CheckResult CheckDriverLink(DoctorContext&) {
  const std::string path = driver::ControlSocketPath();
  capture::UnixSocketDriverDevice device(path, 2000);
  uint32_t error = 0;
  if (!device.Open(&error)) {
    if (error == driver::kErrAccessDenied)
      return Problem(CurrentUserName() + " may not use the capture driver's socket " + path,
                     "sudo usermod -aG tillcast " + CurrentUserName() + ", then log out and in again");
    return Problem("no capture driver listens on " + path, "see the capture driver service check");
  }
  // The driver closes a connection from a user it does not serve right
  // after accepting it.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  if (!device.Alive())
    return Problem(
        "the capture driver at " + path + " does not serve " + CurrentUserName() + " (it closed the connection)",
        "sudo usermod -aG tillcast " + CurrentUserName() +
            " (or the group named socket_group in the "
            "driver's configuration), then log out and in again");
  device.Close();
  return Ok("the driver's socket " + path + " serves " + CurrentUserName());
}

CheckResult CheckTillPorts(DoctorContext& c) {
  DoctorState& s = c.state;
  s.driver_config_path = serialfilter::DefaultConfigPath();
  std::string error;
  s.driver_config_loaded = serialfilter::LoadConfig(s.driver_config_path, &s.driver_config, &error);
  const bool systemd = SystemdManaged();
  if (!s.driver_config_loaded) {
    s.driver_config_error = error;
    return Problem("the driver's configuration " + s.driver_config_path + " cannot be used: " + error,
                   "correct it, then " + RestartDriverFix(systemd));
  }
  if (s.driver_config.ports.empty())
    return Problem("the driver's configuration " + s.driver_config_path + " names no till port",
                   "add a serial or parallel line for the port the till prints to, then " + RestartDriverFix(systemd));
  std::string found, problems, fixes;
  for (const serialfilter::PortConfig& port : s.driver_config.ports) {
    const PortFinding f = CheckOnePort(port, s.driver_config, c.options, systemd);
    if (!f.problem.empty()) {
      problems += (problems.empty() ? "" : "; ") + f.problem;
      if (fixes.find(f.fix) == std::string::npos) fixes += (fixes.empty() ? "" : "; ") + f.fix;
    } else {
      found += (found.empty() ? "" : "; ") + f.text;
    }
  }
  if (!problems.empty()) return Problem(problems, fixes);
  std::string detail = found + " (from " + s.driver_config_path + ")";
  if (c.options.till_user.empty()) detail += "; --till-user USER says whether the till's user can open them";
  return Ok(detail);
}

CheckResult CheckCupsQueue(DoctorContext& c) {
  constexpr const char* kNotSetUp = "no tillcast queue (CUPS capture not set up)";
  const platform::RunResult devices = platform::RunAndCapture({c.options.lpstat, "-v"}, c.options.command_timeout_ms);
  if (!devices.started || devices.exit_code != 0) return Skipped(kNotSetUp);
  // "device for QUEUE: URI"; a capture queue prints to the tillcast backend.
  std::istringstream in(devices.out);
  std::vector<std::string> queues;
  for (std::string line; std::getline(in, line);) {
    const size_t colon = line.find(": ");
    if (line.rfind("device for ", 0) != 0 || colon == std::string::npos) continue;
    if (line.compare(colon + 2, 9, "tillcast:") == 0) queues.push_back(line.substr(11, colon - 11));
  }
  if (queues.empty()) return Skipped(kNotSetUp);
  std::string found, problems, fixes;
  for (const std::string& q : queues) {
    const platform::RunResult p = platform::RunAndCapture({c.options.lpstat, "-p", q}, c.options.command_timeout_ms);
    const platform::RunResult a = platform::RunAndCapture({c.options.lpstat, "-a", q}, c.options.command_timeout_ms);
    const bool disabled = p.out.find("disabled") != std::string::npos || p.exit_code != 0;
    const bool accepting = a.exit_code == 0 && a.out.find("not accepting") == std::string::npos;
    if (disabled || !accepting) {
      problems += (problems.empty() ? "" : "; ") + std::string("the queue ") + q +
                  (disabled ? " is disabled" : " does not accept jobs") +
                  ": what the till prints to it is not captured";
      fixes += (fixes.empty() ? "" : "; ") + std::string("sudo cupsenable ") + q + " && sudo cupsaccept " + q;
    } else {
      found += (found.empty() ? "" : ", ") + q;
    }
  }
  if (!problems.empty()) return Problem(problems, fixes);
  return Ok("the capture queue " + found + " is enabled and accepts jobs");
}

}  // namespace tillcast::doctor
