// The package under test: finding it, unpacking it, running commands on it.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace tillcast::test {

// build/tillcast_<version>_<arch>.deb; "" when it has not been built.
std::string DebPath();

struct Output {
  int code = -1;
  std::string out, err;
};

// Runs argv with `env` added to ours (an empty value unsets nothing: the
// programs read "" as unset), for at most `timeout_ms`.
Output Run(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env = {},
           int timeout_ms = 60000);

// The package unpacked into a temporary root, its control files (the
// maintainer scripts) in <root>/DEBIAN.
class UnpackedPackage {
 public:
  UnpackedPackage();
  bool ok() const { return ok_; }
  const std::string& root() const { return dir_.path(); }
  std::string Path(const std::string& inside) const { return dir_.path() + inside; }

 private:
  TempDir dir_;
  bool ok_ = false;
};

// Every file and folder under `folder` with its type, size, mode and
// modification time, one a line, sorted: equal listings mean nothing changed.
std::string Snapshot(const std::string& folder);

}  // namespace tillcast::test
