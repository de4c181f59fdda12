#include "package_util.h"

#include <glob.h>
#include <stdlib.h>

#include <filesystem>
#include <set>
#include <sstream>

#include "platform/process.h"

namespace tillcast::test {

std::string DebPath() {
  const std::string pattern = std::string(TILLCAST_DEB_DIR) + "/tillcast_" + TILLCAST_VERSION + "_*.deb";
  glob_t g{};
  std::string found;
  if (glob(pattern.c_str(), 0, nullptr, &g) == 0 && g.gl_pathc == 1) found = g.gl_pathv[0];
  globfree(&g);
  return found;
}

Output Run(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env, int timeout_ms) {
  // The environment goes through env(1), so the runner stays the platform's.
  std::vector<std::string> full{"/usr/bin/env"};
  for (const auto& [k, v] : env) full.push_back(k + "=" + v);
  full.insert(full.end(), argv.begin(), argv.end());
  const platform::RunResult r = platform::RunAndCapture(full, timeout_ms);
  Output o;
  o.code = r.started && !r.timed_out ? r.exit_code : -1;
  o.out = r.out;
  o.err = r.err;
  return o;
}

UnpackedPackage::UnpackedPackage() {
  const std::string deb = DebPath();
  if (deb.empty()) return;
  ok_ = Run({"dpkg-deb", "-x", deb, dir_.path()}).code == 0 &&
        Run({"dpkg-deb", "-e", deb, dir_.path() + "/DEBIAN"}).code == 0;
}

std::string Snapshot(const std::string& folder) {
  namespace fs = std::filesystem;
  std::set<std::string> lines;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(folder, ec); it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    const fs::file_status st = it->symlink_status();
    std::ostringstream line;
    line << it->path().string() << " type " << static_cast<int>(st.type()) << " mode "
         << static_cast<unsigned>(st.permissions());
    if (fs::is_regular_file(st)) {
      line << " size " << fs::file_size(it->path(), ec) << " time "
           << fs::last_write_time(it->path(), ec).time_since_epoch().count();
    }
    lines.insert(line.str());
  }
  std::string out;
  for (const std::string& l : lines) out += l + "\n";
  return out;
}

}  // namespace tillcast::test
