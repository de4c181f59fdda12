// A stand-in for `systemctl` (and other system commands the package's
// scripts call): a shell script that appends each command line it is given
// to a calls file and answers as told.
#pragma once

#include <string>
#include <vector>

#include "support/test_support.h"

namespace tillcast::test {

class FakeSystemctl {
 public:
  // Creates <folder>/systemctl and the same recorder under each of `others`
  // (e.g. "groupadd", "udevadm"); every one shares the calls file.
  explicit FakeSystemctl(const std::vector<std::string>& others = {});
  // The folder to put first on $PATH, and the script's full path.
  const std::string& folder() const { return dir_.path(); }
  std::string program() const { return dir_.Sub("systemctl"); }
  // What `systemctl show ...` prints (Key=Value lines).
  void SetShow(const std::string& text);
  // Unit state shortcut: LoadState=loaded and the given active and sub state.
  void SetUnit(const std::string& active, const std::string& sub, int pid);
  void SetExit(int code, const std::string& stderr_text = "");
  void SetDelaySeconds(double seconds);
  // Every command line so far, "<program> <args...>", oldest first.
  std::vector<std::string> Calls() const;
  // $PATH with the fake folder first.
  std::string PathValue() const;

 private:
  TempDir dir_;
};

}  // namespace tillcast::test
