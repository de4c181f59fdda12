#include "base/install_layout.h"

#include <unistd.h>

#include <atomic>

#include "base/text_util.h"
#include "platform/env.h"
#include "platform/paths.h"

namespace tillcast {
namespace {

// -1 not known yet, 0 build layout, 1 per-user.
std::atomic<int> g_perUser{-1};

bool Detect() {
  const std::string folder = GetModuleFolder();
  return platform::PathExists(folder + "/" + kPackageMarker) || access(folder.c_str(), W_OK) != 0;
}

}  // namespace

bool PerUserInstallation() {
  int v = g_perUser.load();
  if (v < 0) {
    v = Detect() ? 1 : 0;
    g_perUser.store(v);
  }
  return v == 1;
}

std::string UserStateFolder() { return platform::UserStateRoot() + "/Tillcast"; }

std::string ResolveLogFolder() {
  const std::string env = platform::LogFolderOverride();
  if (!env.empty()) return env;
  return PerUserInstallation() ? UserStateFolder() + "/logs" : GetModuleFolder() + "/logs";
}

std::string StoreLogoFilePath() {
  return PerUserInstallation() ? GetDataFolder() + "/StoreLogo.png" : GetModuleFolder() + "/skin/StoreLogo.png";
}

void SetPerUserInstallationForTest(int value) { g_perUser.store(value < 0 ? -1 : value ? 1 : 0); }

}  // namespace tillcast
