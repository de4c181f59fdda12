#include "support/fake_systemctl.h"

#include <sys/stat.h>

#include <cstdlib>
#include <sstream>

namespace tillcast::test {
namespace {

// $0's base name and arguments go to "calls"; "show" prints the file "show";
// "exit", "stderr" and "delay" set the answer.
constexpr const char* kScript = R"sh(#!/bin/sh
d=$(dirname "$0")
echo "$(basename "$0") $*" >> "$d/calls"
[ -f "$d/delay" ] && sleep "$(cat "$d/delay")"
[ -f "$d/stderr" ] && cat "$d/stderr" >&2
if [ "$(basename "$0")" = systemctl ] && [ "$1" = show ] && [ -f "$d/show" ]; then cat "$d/show"; fi
exit "$(cat "$d/exit" 2>/dev/null || echo 0)"
)sh";

}  // namespace

FakeSystemctl::FakeSystemctl(const std::vector<std::string>& others) {
  std::vector<std::string> names{"systemctl"};
  names.insert(names.end(), others.begin(), others.end());
  for (const std::string& name : names) {
    WriteFile(dir_.Sub(name), kScript);
    chmod(dir_.Sub(name).c_str(), 0755);
  }
}

void FakeSystemctl::SetShow(const std::string& text) { WriteFile(dir_.Sub("show"), text); }

void FakeSystemctl::SetUnit(const std::string& active, const std::string& sub, int pid) {
  SetShow("LoadState=loaded\nActiveState=" + active + "\nSubState=" + sub + "\nMainPID=" + std::to_string(pid) +
          "\nResult=success\n");
}

void FakeSystemctl::SetExit(int code, const std::string& stderr_text) {
  WriteFile(dir_.Sub("exit"), std::to_string(code));
  WriteFile(dir_.Sub("stderr"), stderr_text);
}

void FakeSystemctl::SetDelaySeconds(double seconds) { WriteFile(dir_.Sub("delay"), std::to_string(seconds)); }

std::vector<std::string> FakeSystemctl::Calls() const {
  std::vector<std::string> out;
  std::istringstream in(ReadFile(dir_.Sub("calls")));
  std::string line;
  while (std::getline(in, line)) out.push_back(line);
  return out;
}

std::string FakeSystemctl::PathValue() const {
  const char* path = std::getenv("PATH");
  return folder() + ":" + (path != nullptr ? path : "/usr/bin:/bin");
}

}  // namespace tillcast::test
