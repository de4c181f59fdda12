#include "port_keeper.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <vector>

#include "capture/driver_protocol.h"
#include "config.h"
#include "keeper_protocol.h"
#include "listener.h"
#include "ports.h"
#include "warn.h"

namespace tillcast::serialfilter {
namespace {

using platform::ScopedFd;

constexpr size_t kMaxClients = 8;
// A driver that does not take its answer within this time is dropped.
constexpr int kSendTimeoutMs = 2000;

uint64_t NowMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
}

std::string U32(uint32_t v) {
  std::string s;
  driver::AppendU32(&s, v);
  return s;
}

}  // namespace

struct PortKeeper::Impl {
  std::string config_path;
  bool managed = false;
  DriverConfig config;
  std::string socket_path;
  ScopedFd listener;
  ScopedFd signals;
  std::vector<HeldPort> ports;
  std::map<int, ScopedFd> clients;  // by descriptor
  uint64_t alone_since = 0;         // when the last driver left
  bool quit = false;

  void Sync();
  void Accept();
  bool Serve(int fd);
  bool SendPorts(int fd);
  void ReleaseLost();
  void Shutdown();
};

PortKeeper::PortKeeper() = default;
PortKeeper::~PortKeeper() {
  if (impl_) impl_->Shutdown();
}

// The configuration as it is now: ports no longer configured are removed,
// ports whose path someone else took are let go, missing ones are made.
void PortKeeper::Impl::Sync() {
  DriverConfig fresh;
  std::string error;
  if (LoadConfig(config_path, &fresh, &error)) {
    config = fresh;
  } else {
    Warn("%s: %s; the ports are kept as they are", config_path.c_str(), error.c_str());
  }
  ReleaseLost();
  for (auto it = ports.begin(); it != ports.end();) {
    bool wanted = false;
    for (const PortConfig& c : config.ports) wanted = wanted || (c.type == it->type && c.path == it->path);
    if (wanted) {
      ++it;
      continue;
    }
    RemovePortPath(*it);
    it = ports.erase(it);
  }
  for (const PortConfig& c : config.ports) {
    bool held = false;
    for (const HeldPort& p : ports) held = held || (p.type == c.type && p.path == c.path);
    if (held) continue;
    HeldPort p;
    if (CreatePort(c, PortAccessOf(config), &p)) ports.push_back(std::move(p));
  }
}

// Ports whose path was removed or replaced by someone else: no till can
// open them any more, so they are let go (the path is not touched).
void PortKeeper::Impl::ReleaseLost() {
  for (auto it = ports.begin(); it != ports.end();) {
    if (PortPathIntact(*it)) {
      ++it;
      continue;
    }
    Warn("%s was removed or replaced; port let go", it->path.c_str());
    it = ports.erase(it);
  }
}

void PortKeeper::Impl::Accept() {
  ScopedFd fd(accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
  if (!fd.valid() || !PeerAllowed(fd.get()) || clients.size() >= kMaxClients) return;
  const timeval tv{kSendTimeoutMs / 1000, (kSendTimeoutMs % 1000) * 1000};
  setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
  const int key = fd.get();
  clients[key] = std::move(fd);
}

bool PortKeeper::Impl::SendPorts(int fd) {
  Sync();
  for (const HeldPort& p : ports) {
    std::vector<int> fds = {p.dev.get()};
    if (p.slave_keep.valid()) fds.push_back(p.slave_keep.get());
    const std::string msg = U32(kKeeperPort) + U32(p.type) + U32(static_cast<uint32_t>(fds.size())) + p.path;
    if (!SendKeeperMessage(fd, msg, fds)) return false;
  }
  return SendKeeperMessage(fd, U32(kKeeperEnd) + U32(managed ? kKeeperManaged : 0));
}

// False when the connection is to be dropped.
bool PortKeeper::Impl::Serve(int fd) {
  std::string msg;
  std::vector<ScopedFd> unwanted;
  if (!ReceiveKeeperMessage(fd, 0, &msg, &unwanted) || msg.size() != 4) return false;
  switch (driver::ReadU32(reinterpret_cast<const uint8_t*>(msg.data()))) {
    case kKeeperOpPorts: return SendPorts(fd);
    case kKeeperOpQuit:
      if (managed) return SendKeeperMessage(fd, U32(kKeeperStays));
      // The links go before the answer: once the driver has exited, no
      // till can open a port without a driver.
      Shutdown();
      SendKeeperMessage(fd, U32(kKeeperQuitting));
      quit = true;
      return false;
    default: return false;
  }
}

void PortKeeper::Impl::Shutdown() {
  for (const HeldPort& p : ports) RemovePortPath(p);
  ports.clear();
  if (listener.valid()) {
    unlink(socket_path.c_str());
    listener.reset();
  }
}

bool PortKeeper::Start(const std::string& config_path, bool managed, std::string* error, bool* in_use) {
  *in_use = false;
  impl_ = std::make_unique<Impl>();
  Impl& k = *impl_;
  k.config_path = config_path;
  k.managed = managed;
  if (!LoadConfig(config_path, &k.config, error)) {
    *error = config_path + ": " + *error;
    return false;
  }
  k.socket_path = PortsSocketPath(k.config);
  if (!BindListener(k.socket_path, 0600, &k.listener, error, in_use)) return false;
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  k.signals.reset(signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK));
  if (!k.signals.valid()) {
    *error = std::string("signalfd: ") + std::strerror(errno);
    return false;
  }
  k.Sync();
  k.alone_since = NowMs();
  return true;
}

int PortKeeper::Run() {
  Impl& k = *impl_;
  std::vector<pollfd> pfds;
  uint64_t last_check = NowMs();
  while (!k.quit) {
    pfds.clear();
    pfds.push_back({k.signals.get(), POLLIN, 0});
    pfds.push_back({k.listener.get(), POLLIN, 0});
    for (const auto& [fd, c] : k.clients) pfds.push_back({fd, POLLIN, 0});
    if (poll(pfds.data(), pfds.size(), 1000) < 0 && errno != EINTR) {
      Warn("poll failed: %s", std::strerror(errno));
      break;
    }
    if (pfds[0].revents != 0) break;
    if (pfds[1].revents != 0) k.Accept();
    for (size_t i = 2; i < pfds.size() && !k.quit; ++i) {
      if (pfds[i].revents == 0) continue;
      if (!k.Serve(pfds[i].fd)) {
        k.clients.erase(pfds[i].fd);
        if (k.clients.empty()) k.alone_since = NowMs();
      }
    }
    if (k.quit) break;
    const uint64_t now = NowMs();
    if (now - last_check < 1000) continue;
    last_check = now;
    k.ReleaseLost();
    if (k.ports.empty()) {
      Warn("no port left to keep; exiting");
      break;
    }
    if (!k.managed && k.clients.empty() && now - k.alone_since >= k.config.ports_linger_ms) {
      Warn("no driver for %u ms; ports removed", k.config.ports_linger_ms);
      break;
    }
  }
  k.Shutdown();
  return 0;
}

}  // namespace tillcast::serialfilter
