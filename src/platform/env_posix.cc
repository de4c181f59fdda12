#include "platform/env.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

namespace tillcast::platform {

std::string EnvOr(const char* name, const std::string& fallback) {
  const char* v = std::getenv(name);
  if (v == nullptr || *v == '\0') return fallback;
  return v;
}

std::string HomeFolder() {
  const char* h = std::getenv("HOME");
  if (h != nullptr && *h != '\0') return h;
  if (const passwd* pw = getpwuid(getuid()); pw != nullptr && pw->pw_dir != nullptr) return pw->pw_dir;
  return "/tmp";
}

std::string UserDataRoot() { return EnvOr("XDG_DATA_HOME", HomeFolder() + "/.local/share"); }

std::string UserConfigRoot() { return EnvOr("XDG_CONFIG_HOME", HomeFolder() + "/.config"); }

std::string UserStateRoot() { return EnvOr("XDG_STATE_HOME", HomeFolder() + "/.local/state"); }

std::string AutostartFolder() { return EnvOr("TILLCAST_AUTOSTART_DIR", "/etc/xdg/autostart"); }

std::string ServiceRecordFolder() { return EnvOr("TILLCAST_SERVICE_DIR", "/var/lib/tillcast/services"); }

std::string LogFolderOverride() { return EnvOr("TILLCAST_LOG_DIR", ""); }

}  // namespace tillcast::platform
