// Where this installation keeps what it writes.
//
// A build folder (or any one-folder installation its user may write) keeps
// today's layout: the log in <installation>/logs, the store logo in
// <installation>/skin. An installation made by the package (the marker file
// kPackageMarker beside the program) or one whose folder the user cannot
// write is shared by all users and owned by root: it is only read, and each
// user's log, crash reports and store logo live in that user's folders.
//
// Thread-safe: the answer is computed once and kept.
#pragma once

#include <string>

namespace tillcast {

inline constexpr const char* kPackageMarker = "tillcast.installation";

// True for the shared, read-only layout described above.
bool PerUserInstallation();

// $XDG_STATE_HOME/Tillcast (default ~/.local/state/Tillcast); not created here.
std::string UserStateFolder();

// The log folder: $TILLCAST_LOG_DIR, else <state folder>/logs for a per-user
// installation, else <installation>/logs.
std::string ResolveLogFolder();

// The store logo file: <data folder>/StoreLogo.png for a per-user
// installation, else <installation>/skin/StoreLogo.png.
std::string StoreLogoFilePath();

// Test hook: 1 = per-user, 0 = build layout, -1 = detect again.
void SetPerUserInstallationForTest(int value);

}  // namespace tillcast
