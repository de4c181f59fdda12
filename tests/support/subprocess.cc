#include "support/subprocess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

extern char** environ;

namespace tillcast::test {

Subprocess::Subprocess(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                       const std::string& output_file) {
  std::map<std::string, std::string> merged;
  for (char** e = environ; *e; ++e) {
    const std::string kv = *e;
    const size_t eq = kv.find('=');
    if (eq != std::string::npos) merged[kv.substr(0, eq)] = kv.substr(eq + 1);
  }
  for (const auto& [k, v] : env) merged[k] = v;
  std::vector<std::string> env_strings;
  for (const auto& [k, v] : merged) env_strings.push_back(k + "=" + v);
  std::vector<char*> envp, args;
  for (auto& s : env_strings) envp.push_back(s.data());
  envp.push_back(nullptr);
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  const std::string out = output_file.empty() ? "/dev/null" : output_file;
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_adddup2(&fa, 1, 2);
  const int rc = posix_spawn(&pid_, argv[0].c_str(), &fa, nullptr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&fa);
  if (rc != 0) throw std::runtime_error("cannot start " + argv[0]);
}

Subprocess::~Subprocess() {
  if (!done_ && pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

bool Subprocess::Wait(int timeout_ms) {
  if (done_) return true;
  return WaitUntil(
      [this] {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) != pid_) return false;
        done_ = true;
        exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
        return true;
      },
      timeout_ms);
}

void Subprocess::Signal(int sig) {
  if (!done_) kill(pid_, sig);
}

int RunProgram(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env, int timeout_ms) {
  Subprocess p(argv, env);
  if (!p.Wait(timeout_ms)) return -1000;
  return p.exit_code();
}

}  // namespace tillcast::test
