// The `tillcast` CUPS backend: a queue whose device URI is
// "tillcast:/<device URI>" (e.g. tillcast:/usb://EPSON/TM-T20 or
// tillcast:/serial:/dev/ttyS0?baud=9600) prints through the real backend of
// that device, and leaves a copy of each printed job in the agent's inbox.
//
// The printer stream goes to the real backend untouched (its file argument,
// or its standard input, the back and side channels as CUPS gave them), and
// its exit status is the job's, so CUPS' error policy works as without the
// wrapper. The copy is the job's own document (d<job>-NNN in CUPS' request
// folder, typed by CONTENT_TYPE) where one can be read, the stream on a raw
// queue otherwise; it is published only once the device took the job, so a
// job CUPS tries again is captured once. A copy that cannot be made never
// holds the job up.
//
// Run by cupsd: as root when installed with mode 0700; the real backend then
// runs as root only when its own file is closed to group and others, as
// cupsd would run it, else as cupsd's user (User/Group of cups-files.conf).
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace tillcast::cupsbackend {

// Exit codes CUPS knows.
inline constexpr int kBackendOk = 0;
inline constexpr int kBackendFailed = 1;
inline constexpr int kBackendStop = 4;

// "tillcast:/usb://x" -> "usb://x" with its scheme "usb". False, with
// `*error`, for a URI that names no device behind the wrapper.
bool InnerDevice(const std::string& uri, std::string* inner, std::string* scheme, std::string* error);

// The URI without a user name or password (for argv[0], which others see).
std::string SanitizeUri(const std::string& uri);

// The documents of job `job` in `request_root`: d<job>-001, d<job>-002, ...
std::vector<std::string> JobDocuments(const std::string& request_root, long job);

// The type of a job's later document (CONTENT_TYPE names the first one):
// from its first bytes, else `fallback`.
std::string SniffType(const std::string& head, const std::string& fallback);

// The user and group cupsd runs its unprivileged programs as: User and
// Group of <server_root>/cups-files.conf, default lp.
void CupsRunUser(const std::string& server_root, uid_t* uid, gid_t* gid);

// One run as CUPS starts it; returns the exit status (a real backend ended
// by a signal ends this process with the same signal).
int RunBackend(int argc, char** argv);

}  // namespace tillcast::cupsbackend
