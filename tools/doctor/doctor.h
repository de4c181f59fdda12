// tillcast-doctor's checks: each looks at one thing the agent needs on
// this machine (the agent itself, its session, the cloud and its binding,
// Redis, the capture driver and the till's ports, the printer, the scanner's
// input devices, disk, outbox and log) and says in plain words what it
// found, and how to fix it when it is wrong.
//
// The checks only look: they take no lock of the agent's, start and stop
// nothing, and write no file of the agent's. Secrets (the device key, the
// store secret, the Redis password) are used where the agent uses them and
// never put into a result.
//
// Not thread-safe: one thread runs the checks, in table order (later ones
// use what earlier ones found, e.g. Redis the cloud's connection answer).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/ini_file.h"
#include "serialfilter/config.h"

namespace tillcast::doctor {

struct DoctorOptions {
  // The user the till's program runs as ("" = not known): the till-ports
  // check then says whether that user can open the ports.
  std::string till_user;
  // Programs asked, searched on $PATH when bare; and the folder that exists
  // while systemd-logind runs.
  std::string loginctl = "loginctl";
  std::string lpstat = "lpstat";
  std::string logind_folder = "/run/systemd/seats";
  // Below this much free space in the data folder's file system the disk
  // check fails.
  uint64_t min_free_bytes = 200ull << 20;
  // A receipt waiting in the outbox longer than this means the cloud does
  // not take uploads.
  int64_t outbox_stale_seconds = 600;
  // Each program asked (systemctl, loginctl, lpstat) may take this long.
  int command_timeout_ms = 5000;
};

enum class CheckStatus { kOk, kProblem, kSkipped };

struct CheckResult {
  std::string id;     // short, stable name ("redis", "till-ports")
  std::string title;  // what was checked, for people
  CheckStatus status = CheckStatus::kOk;
  std::string detail;  // what was found (or why skipped), UTF-8
  std::string fix;     // what to do, for a problem
};

// What earlier checks found, for the later ones.
struct DoctorState {
  std::string data_folder;  // "" until the config check found it
  bool data_folder_exists = false;
  platform::IniFile settings;  // setting.ini
  bool bound = false;
  bool cloud_described = false;  // the cloud gave its connection description
  std::string cloud_trouble;     // why it did not, in plain words
  bool driver_config_loaded = false;
  std::string driver_config_path;
  std::string driver_config_error;
  serialfilter::DriverConfig driver_config;
};

struct DoctorContext {
  DoctorOptions options;
  DoctorState state;
};

using CheckFunction = CheckResult (*)(DoctorContext&);

struct CheckEntry {
  const char* id;
  const char* title;
  CheckFunction run;
};

// Every check, in the order they run and are reported. A new check (a CUPS
// queue, a network till port) is one row here.
const std::vector<CheckEntry>& DoctorChecks();

// Runs every check (or only those whose id is in `only`, when not empty).
std::vector<CheckResult> RunChecks(DoctorContext& context, const std::vector<std::string>& only = {});

// 0 when every check that applies holds, 1 otherwise.
int ExitStatus(const std::vector<CheckResult>& results);

// The report for people, and the same as one JSON object for machines.
std::string FormatText(const std::vector<CheckResult>& results, const std::string& header);
std::string FormatJson(const std::vector<CheckResult>& results, const std::string& user, const std::string& version);

// Result builders for the checks.
CheckResult Ok(std::string detail);
CheckResult Problem(std::string detail, std::string fix);
CheckResult Skipped(std::string why);

// Checks, one per row of the table (checks_*.cc).
CheckResult CheckAgent(DoctorContext& c);
CheckResult CheckSession(DoctorContext& c);
CheckResult CheckConfiguration(DoctorContext& c);
CheckResult CheckBinding(DoctorContext& c);
CheckResult CheckCloud(DoctorContext& c);
CheckResult CheckRedis(DoctorContext& c);
CheckResult CheckDriverService(DoctorContext& c);
CheckResult CheckDriverLink(DoctorContext& c);
CheckResult CheckTillPorts(DoctorContext& c);
CheckResult CheckCupsQueue(DoctorContext& c);
CheckResult CheckPrinter(DoctorContext& c);
CheckResult CheckScanner(DoctorContext& c);
CheckResult CheckDisk(DoctorContext& c);
CheckResult CheckOutbox(DoctorContext& c);
CheckResult CheckLog(DoctorContext& c);

// Helpers shared by the checks.
std::string CurrentUserName();
std::string HumanBytes(uint64_t bytes);
std::string HumanAge(int64_t seconds);
// The folder where the agent keeps its data for this user (not created).
std::string AgentDataFolder();

}  // namespace tillcast::doctor
