#include "keeper_link.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

#include "capture/driver_protocol.h"
#include "keeper_protocol.h"

extern char** environ;

namespace tillcast::serialfilter {
namespace {

using platform::ScopedFd;

// How long a keeper is given to answer (to come up, or to hand the ports).
constexpr int kAnswerTimeoutMs = 5000;

std::string U32(uint32_t v) {
  std::string s;
  driver::AppendU32(&s, v);
  return s;
}

// This program, for starting the keeper; after an update replaced the file
// the new one at the same path.
std::string SelfPath() {
  char buf[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
  if (n <= 0) return {};
  std::string path(buf, static_cast<size_t>(n));
  const std::string deleted = " (deleted)";
  if (path.size() > deleted.size() && path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0)
    path.resize(path.size() - deleted.size());
  return path;
}

// Starts the keeper detached: its own session and process group (so a
// signal to the driver's group does not reach it), no signal of ours
// blocked or ignored, no descriptor of ours but the standard error, where
// its lines join the driver's.
int SpawnKeeper(const std::string& config_path, std::string* error) {
  const std::string self = SelfPath();
  if (self.empty()) {
    *error = "cannot find this program's path";
    return -1;
  }
  std::vector<std::string> argv = {self, "--keep-ports", "-c", config_path};
  std::vector<char*> args;
  for (std::string& a : argv) args.push_back(a.data());
  args.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addclosefrom_np(&fa, 3);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, self.c_str(), &fa, &attr, args.data(), environ);
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&fa);
  if (rc != 0) {
    *error = "cannot start the port keeper: " + std::string(std::strerror(rc));
    return -1;
  }
  return pid;
}

}  // namespace

bool KeeperLink::Connect(const std::string& path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof(addr.sun_path)) return false;
  std::memcpy(addr.sun_path, path.c_str(), path.size());
  ScopedFd fd(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
  if (!fd.valid() || connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) return false;
  conn_ = std::move(fd);
  return true;
}

bool KeeperLink::Ask(std::vector<HeldPort>* ports, std::string* error) {
  if (!SendKeeperMessage(conn_.get(), U32(kKeeperOpPorts))) {
    *error = "the port keeper did not take the request";
    return false;
  }
  for (;;) {
    std::string msg;
    std::vector<ScopedFd> fds;
    if (!ReceiveKeeperMessage(conn_.get(), kAnswerTimeoutMs, &msg, &fds) || msg.size() < 8) {
      *error = "the port keeper did not answer";
      return false;
    }
    const auto* m = reinterpret_cast<const uint8_t*>(msg.data());
    const uint32_t kind = driver::ReadU32(m);
    if (kind == kKeeperEnd) return true;
    if (kind != kKeeperPort || msg.size() < 12) continue;
    HeldPort p;
    p.type = driver::ReadU32(m + 4);
    const uint32_t count = driver::ReadU32(m + 8);
    p.path = msg.substr(12);
    const size_t want = p.type == driver::kPortSerial ? 2 : 1;
    if (count != want || fds.size() != want) continue;  // malformed: the descriptors close here
    p.dev = std::move(fds[0]);
    if (want == 2) p.slave_keep = std::move(fds[1]);
    ports->push_back(std::move(p));
  }
}

bool KeeperLink::Obtain(const DriverConfig& config, const std::string& config_path, std::vector<HeldPort>* ports,
                        std::string* error) {
  const std::string path = PortsSocketPath(config);
  if (!Connect(path)) {
    const int pid = SpawnKeeper(config_path, error);
    if (pid < 0) return false;
    spawned_ = pid;
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
      if (Connect(path)) break;
      Reap();
      timespec now{};
      clock_gettime(CLOCK_MONOTONIC, &now);
      const long waited = (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
      if (spawned_ < 0 || waited > kAnswerTimeoutMs) {
        *error = "the port keeper did not come up at " + path;
        return false;
      }
      usleep(10000);
    }
  }
  if (!Ask(ports, error)) {
    conn_.reset();
    ports->clear();
    return false;
  }
  return true;
}

void KeeperLink::Release() {
  if (!conn_.valid()) return;
  if (SendKeeperMessage(conn_.get(), U32(kKeeperOpQuit))) {
    std::string msg;
    std::vector<ScopedFd> fds;
    ReceiveKeeperMessage(conn_.get(), kAnswerTimeoutMs, &msg, &fds);
  }
  conn_.reset();
  Reap();
}

void KeeperLink::Reap() {
  if (spawned_ > 0 && waitpid(spawned_, nullptr, WNOHANG) == spawned_) spawned_ = -1;
}

}  // namespace tillcast::serialfilter
