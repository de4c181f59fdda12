#include "support/subprocess.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
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

std::vector<int> ProcessesMentioning(const std::string& needle) {
  std::vector<int> out;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return out;
  while (dirent* e = readdir(proc)) {
    char* end = nullptr;
    const long pid = std::strtol(e->d_name, &end, 10);
    if (pid <= 0 || *end != '\0' || pid == getpid()) continue;
    std::ifstream cmdline("/proc/" + std::string(e->d_name) + "/cmdline", std::ios::binary);
    std::string args((std::istreambuf_iterator<char>(cmdline)), std::istreambuf_iterator<char>());
    // A zombie has no command line left.
    if (!args.empty() && args.find(needle) != std::string::npos) out.push_back(static_cast<int>(pid));
  }
  closedir(proc);
  return out;
}

int RunProgram(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env, int timeout_ms) {
  Subprocess p(argv, env);
  if (!p.Wait(timeout_ms)) return -1000;
  return p.exit_code();
}

}  // namespace tillcast::test
