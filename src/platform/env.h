// System locations and their environment overrides. Every location the agent
// touches outside its own folder comes from here, so tests can point them at
// a temporary folder.
#pragma once

#include <string>

namespace tillcast::platform {

// Value of the environment variable `name`, or `fallback` when unset or empty.
std::string EnvOr(const char* name, const std::string& fallback);

// The user's home folder ($HOME, else the password database).
std::string HomeFolder();

// $XDG_DATA_HOME, default ~/.local/share.
std::string UserDataRoot();

// $XDG_CONFIG_HOME, default ~/.config.
std::string UserConfigRoot();

// $XDG_STATE_HOME, default ~/.local/state.
std::string UserStateRoot();

// $XDG_RUNTIME_DIR when set and usable, else /tmp/tillcast-<uid> (created 0700).
std::string RuntimeFolder();

// $TILLCAST_AUTOSTART_DIR, default /etc/xdg/autostart.
std::string AutostartFolder();

// $TILLCAST_SERVICE_DIR, default /var/lib/tillcast/services.
std::string ServiceRecordFolder();

// $TILLCAST_LOG_DIR when set, else "" (the logger then uses <module>/logs).
std::string LogFolderOverride();

}  // namespace tillcast::platform
