// A child process for tests that run the real programs.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace tillcast::test {

class Subprocess {
 public:
  // Starts argv[0] (a path) with the current environment plus `env`; its
  // output goes to `output_file` ("" = /dev/null).
  Subprocess(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
             const std::string& output_file = "");
  ~Subprocess();  // kills the child if it still runs
  Subprocess(const Subprocess&) = delete;
  Subprocess& operator=(const Subprocess&) = delete;

  int pid() const { return pid_; }
  // Waits up to `timeout_ms`; true when it ended. Then exit_code() is its
  // exit status (0..255) or -signal when a signal ended it.
  bool Wait(int timeout_ms);
  int exit_code() const { return exit_code_; }
  void Signal(int sig);

 private:
  int pid_ = -1;
  bool done_ = false;
  int exit_code_ = 0;
};

// Runs to completion (up to `timeout_ms`); returns the exit code or -1000 on
// timeout.
int RunProgram(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env, int timeout_ms);

// Pids of the running processes (zombies left out) one of whose command-line
// arguments contains `needle`, e.g. a test's private folder: what a test
// may have left behind.
std::vector<int> ProcessesMentioning(const std::string& needle);

// Polls `pred` every 20 ms for up to `timeout_ms`.
template <typename Pred>
bool WaitUntil(Pred pred, int timeout_ms);

}  // namespace tillcast::test

#include <chrono>
#include <thread>

template <typename Pred>
bool tillcast::test::WaitUntil(Pred pred, int timeout_ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    if (pred()) return true;
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}
