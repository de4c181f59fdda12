// The crash reporter: on a fatal signal it writes a report with a backtrace
// into the agent's logs folder, then lets the signal end the process.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// Installs the handlers. `reserved` and `flags` are 0. Returns 1 on success.
// The logs folder is $TILLCAST_LOG_DIR, else <executable folder>/logs.
__attribute__((visibility("default"))) int Install(void* reserved, const char* mail, const char* app_name, int flags);

// Writes later reports into `folder` instead (an installed agent's log
// folder in the user's state folder). Call it from one thread, before any
// fatal signal can arrive. Returns 1 on success, 0 for an empty folder.
__attribute__((visibility("default"))) int SetReportFolder(const char* folder);

// Replaces the mail address and application name written into later reports.
__attribute__((visibility("default"))) int SetMail(const char* mail, const char* app_name);

#ifdef __cplusplus
}
#endif
