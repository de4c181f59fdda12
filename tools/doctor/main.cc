// tillcast-doctor: tells the shop's IT person what is wrong with the agent
// on this machine and how to fix it. See doctor.h.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "base/log.h"
#include "data/data_mgr.h"
#include "doctor.h"

namespace {

constexpr char kHelp[] =
    "Usage: tillcast-doctor [--json] [--till-user USER] [--only CHECK,...]\n"
    "\n"
    "Checks what the Tillcast agent needs on this machine and says, in plain words,\n"
    "what is wrong and how to fix it: the agent and its desktop session, the device\n"
    "configuration and store binding, the cloud, Redis with the bound credentials,\n"
    "the capture driver service and the till's ports, a CUPS capture queue, the\n"
    "receipt printer (opened and asked for its status), the scanner's input devices,\n"
    "free disk, receipts waiting for the cloud or refused by it, and the log.\n"
    "A check that cannot apply on this machine says \"skipped\" and why.\n"
    "\n"
    "Run it as the desktop user the agent runs as (the data folder, the agent's\n"
    "endpoint and the session are that user's). It only looks: it starts, stops\n"
    "and changes nothing, and never prints the device key, the store secret or the\n"
    "Redis password. It talks to the cloud and Redis like the agent does, and sends\n"
    "the printer one status request.\n"
    "\n"
    "  --json            one JSON object: {\"ok\", \"problems\", \"checks\": [{\"id\",\n"
    "                    \"title\", \"status\" (ok|problem|skipped), \"detail\", \"fix\"}]}\n"
    "  --till-user USER  also check that USER (the till program's user) can open\n"
    "                    the till's ports\n"
    "  --only CHECK,...  run only these checks; their names: ";

constexpr char kHelpEnd[] =
    "\n"
    "  --help            this text\n"
    "\n"
    "Exit status: 0 when every check that applies holds, 1 when one does not,\n"
    "2 on a wrong command line.\n";

void PrintHelp(FILE* to) {
  std::fputs(kHelp, to);
  const auto& checks = tillcast::doctor::DoctorChecks();
  for (size_t i = 0; i < checks.size(); ++i) std::fprintf(to, "%s%s", i ? ", " : "", checks[i].id);
  std::fputs(kHelpEnd, to);
}

bool KnownCheck(const std::string& id) {
  for (const auto& c : tillcast::doctor::DoctorChecks())
    if (id == c.id) return true;
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace tillcast::doctor;
  DoctorContext context;
  bool json = false;
  std::vector<std::string> only;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      PrintHelp(stdout);
      return 0;
    }
    if (a == "--json") {
      json = true;
    } else if (a == "--till-user" && i + 1 < argc) {
      context.options.till_user = argv[++i];
    } else if (a == "--only" && i + 1 < argc) {
      std::istringstream in(argv[++i]);
      for (std::string id; std::getline(in, id, ',');) {
        if (!KnownCheck(id)) {
          std::fprintf(stderr, "tillcast-doctor: no check named \"%s\" (see --help)\n", id.c_str());
          return 2;
        }
        only.push_back(id);
      }
    } else {
      std::fprintf(stderr, "tillcast-doctor: unexpected argument \"%s\" (see --help)\n", a.c_str());
      return 2;
    }
  }
  // The doctor writes nothing into the agent's log.
  tillcast::InitLog(-1);
  const std::vector<CheckResult> results = RunChecks(context, only);
  const std::string user = CurrentUserName();
  if (json) {
    std::fputs(FormatJson(results, user, tillcast::kAppVersion).c_str(), stdout);
  } else {
    const std::string header = std::string("tillcast-doctor ") + tillcast::kAppVersion + ": checked as " + user +
                               " (uid " + std::to_string(::getuid()) + "), data folder " + AgentDataFolder();
    std::fputs(FormatText(results, header).c_str(), stdout);
  }
  return ExitStatus(results);
}
