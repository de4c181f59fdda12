#include "doctor.h"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include <json/json.h>

#include "platform/env.h"

namespace tillcast::doctor {

const std::vector<CheckEntry>& DoctorChecks() {
  static const std::vector<CheckEntry> kChecks = {
      {"agent", "The agent", CheckAgent},
      {"session", "Desktop session", CheckSession},
      {"config", "Device configuration", CheckConfiguration},
      {"binding", "Store binding", CheckBinding},
      {"cloud", "The cloud", CheckCloud},
      {"redis", "Redis (cloud print jobs)", CheckRedis},
      {"driver-service", "Capture driver service", CheckDriverService},
      {"driver-link", "Capture driver connection", CheckDriverLink},
      {"till-ports", "Till ports", CheckTillPorts},
      {"cups", "CUPS capture queue", CheckCupsQueue},
      {"printer", "Receipt printer", CheckPrinter},
      {"scanner", "Barcode scanner input", CheckScanner},
      {"disk", "Free disk space", CheckDisk},
      {"outbox", "Receipts waiting for the cloud", CheckOutbox},
      {"log", "The agent's log", CheckLog},
  };
  return kChecks;
}

std::vector<CheckResult> RunChecks(DoctorContext& context, const std::vector<std::string>& only) {
  std::vector<CheckResult> results;
  for (const CheckEntry& entry : DoctorChecks()) {
    if (!only.empty() && std::find(only.begin(), only.end(), entry.id) == only.end()) continue;
    CheckResult r = entry.run(context);
    r.id = entry.id;
    r.title = entry.title;
    results.push_back(std::move(r));
  }
  return results;
}

int ExitStatus(const std::vector<CheckResult>& results) {
  for (const CheckResult& r : results)
    if (r.status == CheckStatus::kProblem) return 1;
  return 0;
}

namespace {

const char* StatusWord(CheckStatus s) {
  switch (s) {
    case CheckStatus::kOk: return "ok";
    case CheckStatus::kProblem: return "problem";
    case CheckStatus::kSkipped: return "skipped";
  }
  return "?";
}

}  // namespace

std::string FormatText(const std::vector<CheckResult>& results, const std::string& header) {
  std::string out = header + "\n\n";
  size_t problems = 0;
  for (const CheckResult& r : results) {
    const char* mark = r.status == CheckStatus::kOk        ? "ok     "
                       : r.status == CheckStatus::kProblem ? "PROBLEM"
                                                           : "skipped";
    out += std::string(mark) + "  " + r.title + ": " + r.detail + "\n";
    if (r.status == CheckStatus::kProblem) {
      ++problems;
      if (!r.fix.empty()) out += "         fix: " + r.fix + "\n";
    }
  }
  out += "\n";
  if (problems == 0) {
    out += "Every check that applies holds.\n";
  } else {
    out += std::to_string(problems) + (problems == 1 ? " problem" : " problems") +
           ". Fix the first one first: later checks often fail because of it.\n";
  }
  return out;
}

std::string FormatJson(const std::vector<CheckResult>& results, const std::string& user, const std::string& version) {
  Json::Value root(Json::objectValue);
  root["version"] = version;
  root["user"] = user;
  root["ok"] = ExitStatus(results) == 0;
  Json::Value checks(Json::arrayValue);
  int problems = 0;
  for (const CheckResult& r : results) {
    Json::Value c(Json::objectValue);
    c["id"] = r.id;
    c["title"] = r.title;
    c["status"] = StatusWord(r.status);
    c["detail"] = r.detail;
    if (r.status == CheckStatus::kProblem) {
      c["fix"] = r.fix;
      ++problems;
    }
    checks.append(c);
  }
  root["problems"] = problems;
  root["checks"] = checks;
  Json::StreamWriterBuilder w;
  w["indentation"] = "  ";
  w["emitUTF8"] = true;
  return Json::writeString(w, root) + "\n";
}

CheckResult Ok(std::string detail) {
  CheckResult r;
  r.status = CheckStatus::kOk;
  r.detail = std::move(detail);
  return r;
}

CheckResult Problem(std::string detail, std::string fix) {
  CheckResult r;
  r.status = CheckStatus::kProblem;
  r.detail = std::move(detail);
  r.fix = std::move(fix);
  return r;
}

CheckResult Skipped(std::string why) {
  CheckResult r;
  r.status = CheckStatus::kSkipped;
  r.detail = std::move(why);
  return r;
}

std::string CurrentUserName() {
  passwd pw{};
  passwd* found = nullptr;
  char buf[4096];
  if (::getpwuid_r(::getuid(), &pw, buf, sizeof buf, &found) == 0 && found != nullptr) return found->pw_name;
  return "uid " + std::to_string(::getuid());
}

std::string HumanBytes(uint64_t bytes) {
  char buf[64];
  if (bytes < 1024) {
    std::snprintf(buf, sizeof buf, "%llu bytes", static_cast<unsigned long long>(bytes));
  } else if (bytes < (1ull << 20)) {
    std::snprintf(buf, sizeof buf, "%.1f KiB", static_cast<double>(bytes) / 1024);
  } else if (bytes < (1ull << 30)) {
    std::snprintf(buf, sizeof buf, "%.1f MiB", static_cast<double>(bytes) / (1 << 20));
  } else {
    std::snprintf(buf, sizeof buf, "%.1f GiB", static_cast<double>(bytes) / (1 << 30));
  }
  return buf;
}

std::string HumanAge(int64_t seconds) {
  if (seconds < 120) return std::to_string(seconds) + " s";
  if (seconds < 7200) return std::to_string(seconds / 60) + " min";
  if (seconds < 2 * 86400) return std::to_string(seconds / 3600) + " h";
  return std::to_string(seconds / 86400) + " days";
}

std::string AgentDataFolder() { return platform::UserDataRoot() + "/Tillcast"; }

}  // namespace tillcast::doctor
