// Checks of this machine and this user: the agent's endpoint, the desktop
// session, the scanner's input devices, disk, outbox and log.
#include <dirent.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <sstream>

#include "base/install_layout.h"
#include "base/log.h"
#include "base/text_util.h"
#include "capture/upload_outbox.h"
#include "doctor.h"
#include "platform/env.h"
#include "platform/input_nodes.h"
#include "platform/ipc.h"
#include "platform/paths.h"
#include "platform/process.h"

namespace tillcast::doctor {
namespace {

namespace fs = std::filesystem;

std::string RootNote() {
  return ::getuid() == 0 ? " (the doctor runs as root here: run it as the desktop user the agent runs as)" : "";
}

std::vector<std::string> Words(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> words;
  for (std::string w; in >> w;) words.push_back(w);
  return words;
}

// "Key=value" lines of `loginctl show-session -p ...`.
std::string Property(const std::string& text, const std::string& key) {
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    if (line.rfind(key + "=", 0) == 0) return line.substr(key.size() + 1);
  return {};
}

}  // namespace

CheckResult CheckAgent(DoctorContext&) {
  const std::string path = platform::DefaultIpcSocketPath();
  std::string error;
  if (platform::IpcAnswers(path, 2000, &error)) return Ok("running: its local endpoint " + path + " answers");
  return Problem(
      "not running as " + CurrentUserName() + ": nothing answers at " + path + " (" + error + ")" + RootNote(),
      "the agent starts with the desktop session of its user; log that user in, or start it in the "
      "session with `tillcast` (in a build folder: scripts/run --agent-only)");
}

CheckResult CheckSession(DoctorContext& c) {
  if (!platform::IsDirectory(c.options.logind_folder))
    return Skipped("systemd-logind does not run on this machine (no " + c.options.logind_folder +
                   "), so sessions cannot be asked");
  const platform::RunResult list =
      platform::RunAndCapture({c.options.loginctl, "list-sessions", "--no-legend"}, c.options.command_timeout_ms);
  if (!list.started) return Skipped("loginctl is not installed (" + std::string(std::strerror(list.error)) + ")");
  if (list.exit_code != 0) {
    const std::string said = list.err.empty() ? list.out : list.err;
    return Skipped("systemd-logind does not answer (" + said.substr(0, said.find('\n')) + ")");
  }
  const std::string uid = std::to_string(::getuid());
  std::istringstream in(list.out);
  std::vector<std::string> others;
  for (std::string line; std::getline(in, line);) {
    const std::vector<std::string> w = Words(line);
    if (w.size() < 2 || w[1] != uid) continue;
    const platform::RunResult show =
        platform::RunAndCapture({c.options.loginctl, "show-session", w[0], "-p", "Type", "-p", "Class", "-p", "State"},
                                c.options.command_timeout_ms);
    if (!show.started || show.exit_code != 0) continue;
    const std::string type = Property(show.out, "Type");
    if (type == "x11" || type == "wayland" || type == "mir")
      return Ok(CurrentUserName() + " has a desktop session (session " + w[0] + ", " + type + ", " +
                Property(show.out, "State") + ")");
    others.push_back(w[0] + " (" + (type.empty() ? "?" : type) + ")");
  }
  std::string found = others.empty() ? "no session at all" : "only non-desktop sessions";
  for (size_t i = 0; i < others.size(); ++i) found += (i == 0 ? ": " : ", ") + others[i];
  return Problem("no desktop session of " + CurrentUserName() + " is logged in (" + found +
                     "): the agent runs in the desktop session, so nothing is captured or uploaded without one" +
                     RootNote(),
                 "log " + CurrentUserName() +
                     " in on the till's screen, or turn on automatic login for that user in the display manager");
}

CheckResult CheckScanner(DoctorContext& c) {
  const std::string hook = c.state.settings.GetString("setting", "hookkeyboard", "1");
  if (hook != "1") return Skipped("the scanner filter is switched off (hookkeyboard=" + hook + " in setting.ini)");
  const std::string feed = platform::EnvOr("TILLCAST_KEY_FEED", "");
  if (!feed.empty())
    return Skipped("the filter reads keys from the pipe " + feed + " (TILLCAST_KEY_FEED), not from input devices");
  const std::string input = platform::EnvOr("TILLCAST_INPUT_DIR", "/dev/input");
  const std::string uinput = platform::EnvOr("TILLCAST_UINPUT_PATH", "/dev/uinput");
  if (!platform::IsDirectory(input))
    return Skipped("this machine has no input devices (no " + input + "; a container?)");

  const std::string group_fix = "sudo usermod -aG tillcast " + CurrentUserName() +
                                " (the package's udev rule gives the group tillcast " + uinput +
                                " and the keyboards), then log out and in again";
  if (!platform::PathExists(uinput))
    return Problem(uinput +
                       " is missing: the uinput module is not loaded, so keys the filter holds back cannot be "
                       "given back and the filter stays off",
                   "sudo modprobe uinput, and for every boot: echo uinput | sudo tee /etc/modules-load.d/uinput.conf");
  if (::access(uinput.c_str(), W_OK) != 0)
    return Problem(CurrentUserName() + " may not write " + uinput + ": the filter stays off" + RootNote(), group_fix);

  platform::EvdevNodes nodes;
  std::vector<std::string> keyboards;
  int devices = 0, refused = 0;
  std::error_code ec;
  std::vector<std::string> paths;
  for (const auto& e : fs::directory_iterator(input, ec))
    if (e.path().filename().string().rfind("event", 0) == 0) paths.push_back(e.path().string());
  std::sort(paths.begin(), paths.end());
  for (const std::string& path : paths) {
    ++devices;
    int err = 0;
    const int fd = nodes.Open(path, &err);
    if (fd < 0) {
      if (err == EACCES || err == EPERM) ++refused;
      continue;
    }
    platform::InputDeviceInfo info;
    if (nodes.Describe(fd, &info) && info.keyboard) keyboards.push_back(info.name.empty() ? path : info.name);
    ::close(fd);
  }
  if (keyboards.empty() && refused > 0)
    return Problem(CurrentUserName() + " cannot read the input devices (" + std::to_string(refused) + " of " +
                       std::to_string(devices) + " in " + input + " refused)" + RootNote(),
                   group_fix);
  if (keyboards.empty())
    return Problem("no keyboard or barcode scanner is connected (none of " + std::to_string(devices) +
                       " input devices in " + input + " has Enter and the digits)",
                   "plug in the scanner, set to keyboard mode (USB HID)");
  std::string names;
  for (size_t i = 0; i < keyboards.size() && i < 4; ++i) names += (i ? ", " : "") + keyboards[i];
  if (keyboards.size() > 4) names += ", ...";
  return Ok(std::to_string(keyboards.size()) + " keyboards and scanners readable (" + names + "), " + uinput +
            " writable");
}

CheckResult CheckDisk(DoctorContext& c) {
  // The nearest folder that exists: the data folder, or where it will be.
  fs::path where = c.state.data_folder.empty() ? fs::path(AgentDataFolder()) : fs::path(c.state.data_folder);
  while (!where.empty() && !platform::IsDirectory(where.string()) && where != where.root_path())
    where = where.parent_path();
  struct statvfs st {};
  if (::statvfs(where.c_str(), &st) != 0)
    return Problem("the free space of " + where.string() + " cannot be read: " + std::strerror(errno), "");
  const uint64_t free_bytes = static_cast<uint64_t>(st.f_bavail) * st.f_frsize;
  const uint64_t total = static_cast<uint64_t>(st.f_blocks) * st.f_frsize;
  const std::string found =
      HumanBytes(free_bytes) + " free of " + HumanBytes(total) + " where the data folder is (" + where.string() + ")";
  if (free_bytes < c.options.min_free_bytes)
    return Problem(found + ": less than " + HumanBytes(c.options.min_free_bytes) +
                       "; receipts waiting for the cloud and capture files need room",
                   "free space on that file system (df -h " + where.string() +
                       " shows it; old files in /var/log and "
                       "the user's downloads are the usual places)");
  return Ok(found);
}

CheckResult CheckOutbox(DoctorContext& c) {
  if (!c.state.data_folder_exists) return Skipped("no data folder (see the configuration check)");
  const std::string outbox = c.state.data_folder + "/outbox";
  const std::string rejected = c.state.data_folder + "/rejected";
  const capture::OutboxSummary s = capture::SummarizeOutbox(outbox, rejected);
  std::string waiting = s.waiting == 0 ? "nothing waits"
                                       : std::to_string(s.waiting) + " receipts (" + HumanBytes(s.waiting_bytes) +
                                             ") wait, the oldest for " + HumanAge(s.oldest_age_seconds);
  std::vector<std::string> problems, fixes;
  if (s.waiting > 0 && s.oldest_age_seconds > c.options.outbox_stale_seconds) {
    problems.push_back(waiting + " in " + outbox + ": the cloud has not taken them");
    fixes.push_back(
        "they are sent by themselves once the cloud takes uploads again (see the cloud check); nothing is "
        "lost meanwhile");
  }
  if (s.rejected > 0) {
    std::string why = AnsiToUtf8(s.newest_rejected_why);
    problems.push_back(std::to_string(s.rejected) + " receipts the cloud refused are set aside in " + rejected +
                       " (the newest, " + s.newest_rejected + ": " + (why.empty() ? "no reason kept" : why) + ")");
    fixes.push_back(
        "they are never sent again: read the .why files beside them and tell the vendor; once read, remove "
        "them (rm " +
        rejected + "/*) and this check holds again");
  }
  if (problems.empty()) return Ok(waiting + "; none refused");
  std::string detail, fix;
  for (size_t i = 0; i < problems.size(); ++i) {
    detail += (i ? "; " : "") + problems[i];
    fix += (i ? "; " : "") + fixes[i];
  }
  return Problem(detail, fix);
}

CheckResult CheckLog(DoctorContext&) {
  const std::string folder = ResolveLogFolder();
  if (!platform::IsDirectory(folder))
    return Problem("the log folder " + folder + " does not exist: the agent's log lines are lost",
                   "start the agent once (an installed agent makes it), or: mkdir -p " + folder);
  if (::access(folder.c_str(), W_OK | X_OK) != 0)
    return Problem(
        CurrentUserName() + " may not write the log folder " + folder + ": the agent's log lines are lost" + RootNote(),
        "give the folder to the agent's user: sudo chown -R " + CurrentUserName() + " " + folder);
  const LogRotation rotation = CurrentLogRotation();
  uint64_t total = 0, current = 0;
  int older = 0, crashes = 0;
  int64_t newest_crash = -1;
  std::string newest_crash_name;
  std::error_code ec;
  const auto now = fs::file_time_type::clock::now();
  for (const auto& e : fs::directory_iterator(folder, ec)) {
    const std::string name = e.path().filename().string();
    if (!e.is_regular_file(ec)) continue;
    const uint64_t size = e.file_size(ec);
    if (name == "tillcast.txt") {
      current = size;
      total += size;
    } else if (name.rfind("tillcast.", 0) == 0 && name.size() > 4 && name.compare(name.size() - 4, 4, ".txt") == 0) {
      ++older;
      total += size;
    } else if (name.rfind("crash_", 0) == 0) {
      ++crashes;
      const auto age = std::chrono::duration_cast<std::chrono::seconds>(now - e.last_write_time(ec)).count();
      if (newest_crash < 0 || age < newest_crash) {
        newest_crash = age;
        newest_crash_name = name;
      }
    }
  }
  const std::string found = HumanBytes(total) + " in " + folder + " (tillcast.txt " + HumanBytes(current) + ", " +
                            std::to_string(older) + " older files)";
  // A file much past its bound means the rotation does not work (a
  // foreign file of that name, or a folder it cannot rename in).
  if (rotation.max_bytes > 0 &&
      (current > 2 * rotation.max_bytes || total > (rotation.keep + 2ull) * rotation.max_bytes))
    return Problem(found + ": more than its bound of " + HumanBytes(rotation.max_bytes) + " a file, " +
                       std::to_string(rotation.keep) + " files kept",
                   "check that the agent's user may rename files in " + folder +
                       ", and the values of TILLCAST_LOG_MAX_BYTES and TILLCAST_LOG_KEEP");
  if (newest_crash >= 0 && newest_crash < 7 * 86400)
    return Problem(found + "; the agent crashed " + HumanAge(newest_crash) + " ago (" + std::to_string(crashes) +
                       " crash reports, the newest " + folder + "/" + newest_crash_name + ")",
                   "send the newest crash report and tillcast.txt to the vendor; the agent starts again with the "
                   "desktop session. Reports older than a week no longer count here");
  return Ok(found);
}

}  // namespace tillcast::doctor
