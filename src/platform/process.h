// Starting other programs.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace tillcast::platform {

// Thread-safe.
class ProcessLauncher {
 public:
  virtual ~ProcessLauncher() = default;
  // Starts argv[0] detached from this process (own session, no inherited
  // descriptors, standard streams on /dev/null) and does not wait for it.
  // A bare program name is searched in each of `search_dirs` in order.
  // False, with `*err` set, when it could not be started.
  virtual bool SpawnDetached(const std::vector<std::string>& argv, const std::vector<std::string>& search_dirs,
                             int* err, int* pid = nullptr) = 0;
};

class PosixProcessLauncher final : public ProcessLauncher {
 public:
  bool SpawnDetached(const std::vector<std::string>& argv, const std::vector<std::string>& search_dirs, int* err,
                     int* pid = nullptr) override;
};

class FakeProcessLauncher final : public ProcessLauncher {
 public:
  bool SpawnDetached(const std::vector<std::string>& argv, const std::vector<std::string>& /*search_dirs*/, int* err,
                     int* pid = nullptr) override {
    std::lock_guard<std::mutex> l(mu_);
    launched.push_back(argv);
    if (err) *err = succeed ? 0 : 2;
    if (pid) *pid = succeed ? 4242 : -1;
    return succeed;
  }
  bool succeed = true;
  std::vector<std::vector<std::string>> launched;

 private:
  std::mutex mu_;
};

// The result of a program run to its end.
struct RunResult {
  bool started = false;    // false: it could not be started (`error` says why)
  bool timed_out = false;  // killed after the time limit
  int exit_code = -1;      // its exit status; 128 + signal when a signal ended it
  int error = 0;           // errno of a failed start
  std::string out;         // standard output, at most kMaxRunOutput bytes
  std::string err;         // standard error, likewise
};
inline constexpr size_t kMaxRunOutput = 64 * 1024;

// Runs argv[0] (a bare name is searched on $PATH) with standard input on
// /dev/null, and collects its output. Waits at most `timeout_ms`; a program
// still running then is killed and reaped. Thread-safe.
RunResult RunAndCapture(const std::vector<std::string>& argv, int timeout_ms);

// True when a process with this pid exists.
bool ProcessAlive(int pid);

// When a running process started, in clock ticks after boot (field 22 of
// /proc/PID/stat): with the pid, it names one process of this boot. False
// when there is no such process or it has ended (a zombie).
bool ProcessStartTime(int pid, uint64_t* ticks);

// This boot's identity (/proc/sys/kernel/random/boot_id), "" when unknown.
std::string BootId();

}  // namespace tillcast::platform
