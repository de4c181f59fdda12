#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <sstream>
#include <thread>

#include "platform/paths.h"
#include "platform/process.h"
#include "platform/scoped_fd.h"

extern char** environ;

namespace tillcast::platform {
namespace {

// Starts `program` (searched on $PATH when `search_path`) with standard input
// from /dev/null, output and errors to `out_fd` and `err_fd` (-1: /dev/null),
// no other descriptor of ours (even one opened without close-on-exec) and
// every signal at its default. Returns posix_spawn's result.
int Spawn(const std::string& program, bool search_path, const std::vector<std::string>& argv, int out_fd, int err_fd,
          bool own_session, pid_t* pid) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  if (out_fd >= 0)
    posix_spawn_file_actions_adddup2(&fa, out_fd, 1);
  else
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  if (err_fd >= 0)
    posix_spawn_file_actions_adddup2(&fa, err_fd, 2);
  else
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addclosefrom_np(&fa, 3);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  if (own_session) flags |= POSIX_SPAWN_SETSID;
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setflags(&attr, flags);
  const int rc = search_path ? posix_spawnp(pid, program.c_str(), &fa, &attr, args.data(), environ)
                             : posix_spawn(pid, program.c_str(), &fa, &attr, args.data(), environ);
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&fa);
  return rc;
}

}  // namespace

bool PosixProcessLauncher::SpawnDetached(const std::vector<std::string>& argv,
                                         const std::vector<std::string>& search_dirs, int* err, int* pid_out) {
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
  pid_t pid = -1;
  // A session of its own: the child outlives us and gets none of our
  // terminal's signals.
  const int rc = Spawn(program, false, argv, -1, -1, true, &pid);
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

RunResult RunAndCapture(const std::vector<std::string>& argv, int timeout_ms) {
  RunResult r;
  if (argv.empty()) {
    r.error = EINVAL;
    return r;
  }
  int out_pipe[2], err_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0) {
    r.error = errno;
    return r;
  }
  ScopedFd out_read(out_pipe[0]), out_write(out_pipe[1]);
  if (pipe2(err_pipe, O_CLOEXEC) != 0) {
    r.error = errno;
    return r;
  }
  ScopedFd err_read(err_pipe[0]), err_write(err_pipe[1]);
  pid_t pid = -1;
  const int rc = Spawn(argv[0], true, argv, out_write.get(), err_write.get(), false, &pid);
  out_write.reset();
  err_write.reset();
  if (rc != 0) {
    r.error = rc;
    return r;
  }
  r.started = true;
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  const auto left_ms = [&] {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
  };
  // Both streams to their end (or the deadline); output past the bound is
  // read and dropped so the program never blocks on a full pipe.
  ScopedFd* streams[2] = {&out_read, &err_read};
  std::string* sinks[2] = {&r.out, &r.err};
  while (out_read.valid() || err_read.valid()) {
    pollfd fds[2];
    nfds_t n = 0;
    int which[2];
    for (int i = 0; i < 2; ++i) {
      if (!streams[i]->valid()) continue;
      fds[n] = {streams[i]->get(), POLLIN, 0};
      which[n++] = i;
    }
    const int wait = left_ms();
    if (wait == 0) break;
    const int ready = poll(fds, n, wait);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    for (nfds_t k = 0; k < n; ++k) {
      if (fds[k].revents == 0) continue;
      char buf[4096];
      const ssize_t got = read(fds[k].fd, buf, sizeof(buf));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        streams[which[k]]->reset();
        continue;
      }
      std::string* sink = sinks[which[k]];
      sink->append(buf, std::min(static_cast<size_t>(got), kMaxRunOutput - sink->size()));
    }
  }
  int status = 0;
  for (;;) {
    const pid_t w = waitpid(pid, &status, WNOHANG);
    if (w == pid) break;
    if (w < 0 && errno != EINTR) return r;
    if (left_ms() == 0) {
      kill(pid, SIGKILL);
      while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
      r.timed_out = true;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (WIFEXITED(status))
    r.exit_code = WEXITSTATUS(status);
  else if (WIFSIGNALED(status))
    r.exit_code = 128 + WTERMSIG(status);
  return r;
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
