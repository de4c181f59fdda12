#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>
#include <thread>

#include "platform/paths.h"
#include "platform/process.h"

extern char** environ;

namespace tillcast::platform {

bool PosixProcessLauncher::SpawnDetached(const std::vector<std::string>& argv, const std::vector<std::string>& search_dirs,
                                         int* err, int* pid_out) {
  if (argv.empty()) {
    if (err) *err = EINVAL;
    return false;
  }
  std::string program = argv[0];
  if (program.find('/') == std::string::npos) {
    std::string found;
    for (const std::string& dir : search_dirs) {
      const std::string candidate = dir + "/" + program;
      if (access(candidate.c_str(), X_OK) == 0) {
        found = candidate;
        break;
      }
    }
    if (found.empty()) {
      if (err) *err = ENOENT;
      return false;
    }
    program = found;
  }
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
  // Nothing of ours beyond the standard streams, even descriptors someone
  // opened without close-on-exec.
  posix_spawn_file_actions_addclosefrom_np(&fa, 3);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  // A session of its own: the child outlives us and gets none of our
  // terminal's signals. Every descriptor of ours is close-on-exec.
  short flags = POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setflags(&attr, flags);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, program.c_str(), &fa, &attr, args.data(), environ);
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&fa);
  if (rc != 0) {
    if (err) *err = rc;
    return false;
  }
  // Reap the child when it ends so it never lingers as a zombie.
  std::thread([pid] { waitpid(pid, nullptr, 0); }).detach();
  if (err) *err = 0;
  if (pid_out) *pid_out = pid;
  return true;
}

bool ProcessAlive(int pid) { return pid > 0 && (kill(pid, 0) == 0 || errno == EPERM); }

bool ProcessStartTime(int pid, uint64_t* ticks) {
  if (pid <= 0) return false;
  std::string stat;
  int err = 0;
  if (!ReadWholeFile("/proc/" + std::to_string(pid) + "/stat", &stat, &err)) return false;
  // "pid (comm) state ppid ...": the name may hold blanks and parentheses,
  // so the fields are counted from the last ')'. State is field 3, the
  // start time field 22.
  const size_t close = stat.rfind(')');
  if (close == std::string::npos) return false;
  std::istringstream fields(stat.substr(close + 1));
  std::string state, field;
  if (!(fields >> state) || state == "Z" || state == "X" || state == "x") return false;
  for (int n = 4; n < 22; ++n)
    if (!(fields >> field)) return false;
  uint64_t start = 0;
  if (!(fields >> start)) return false;
  *ticks = start;
  return true;
}

std::string BootId() {
  std::string id;
  int err = 0;
  if (!ReadWholeFile("/proc/sys/kernel/random/boot_id", &id, &err)) return {};
  while (!id.empty() && (id.back() == '\n' || id.back() == '\r')) id.pop_back();
  return id;
}

}  // namespace tillcast::platform
