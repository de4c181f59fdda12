#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <utility>

#include "platform/env.h"
#include "platform/ipc.h"

namespace tillcast::platform {
namespace {

constexpr int kClientTimeoutMs = 2000;

bool FillAddress(const std::string& path, sockaddr_un* addr) {
  std::memset(addr, 0, sizeof(*addr));
  addr->sun_family = AF_UNIX;
  if (path.size() >= sizeof(addr->sun_path)) return false;
  std::memcpy(addr->sun_path, path.c_str(), path.size() + 1);
  return true;
}

// Reads or writes exactly n bytes within the deadline of `timeout_ms`.
bool Transfer(int fd, char* buf, size_t n, bool reading, int timeout_ms) {
  size_t done = 0;
  while (done < n) {
    pollfd p{fd, static_cast<short>(reading ? POLLIN : POLLOUT), 0};
    const int pr = poll(&p, 1, timeout_ms);
    if (pr < 0 && errno == EINTR) continue;
    if (pr <= 0) return false;
    const ssize_t r = reading ? recv(fd, buf + done, n - done, 0) : send(fd, buf + done, n - done, MSG_NOSIGNAL);
    if (r < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (r <= 0) return false;
    done += static_cast<size_t>(r);
  }
  return true;
}

void PutU32(char* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

uint32_t GetU32(const char* p) {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(static_cast<unsigned char>(p[i])) << (8 * i);
  return v;
}

}  // namespace

std::string DefaultIpcSocketPath() { return EnvOr("TILLCAST_IPC_SOCKET", RuntimeFolder() + "/tillcast.sock"); }

IpcServer::~IpcServer() { Stop(); }

bool IpcServer::Start(const std::string& path, IpcHandler handler, int* err) {
  sockaddr_un addr;
  if (!FillAddress(path, &addr)) {
    if (err) *err = ENAMETOOLONG;
    return false;
  }
  ScopedFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.valid()) {
    if (err) *err = errno;
    return false;
  }
  // The caller holds the single-instance lock, so a socket file still here
  // is left over from a process that died.
  unlink(path.c_str());
  const mode_t old = umask(0177);
  const int rc = bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
  umask(old);
  int wake[2] = {-1, -1};
  if (rc != 0 || chmod(path.c_str(), 0600) != 0 || listen(fd.get(), 8) != 0 || pipe2(wake, O_CLOEXEC) != 0) {
    if (err) *err = errno;
    return false;
  }
  listen_fd_ = std::move(fd);
  wake_read_.reset(wake[0]);
  wake_write_.reset(wake[1]);
  path_ = path;
  handler_ = std::move(handler);
  thread_ = std::thread([this] { Serve(); });
  return true;
}

void IpcServer::Stop() {
  if (!thread_.joinable()) return;
  const char c = 'q';
  (void)!write(wake_write_.get(), &c, 1);
  thread_.join();
  listen_fd_.reset();
  wake_read_.reset();
  wake_write_.reset();
  unlink(path_.c_str());
}

void IpcServer::Serve() {
  for (;;) {
    pollfd fds[2] = {{listen_fd_.get(), POLLIN, 0}, {wake_read_.get(), POLLIN, 0}};
    const int pr = poll(fds, 2, -1);
    if (pr < 0 && errno == EINTR) continue;
    if (pr < 0 || (fds[1].revents & POLLIN)) return;
    if (!(fds[0].revents & POLLIN)) continue;
    const ScopedFd client(accept4(listen_fd_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (client.valid()) HandleClient(client.get());
  }
}

void IpcServer::HandleClient(int fd) {
  ucred cred{};
  socklen_t len = sizeof(cred);
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || cred.uid != getuid()) return;
  char head[8];
  if (!Transfer(fd, head, sizeof(head), true, kClientTimeoutMs)) return;
  const uint32_t code = GetU32(head), size = GetU32(head + 4);
  char reply[4];
  if (size > kMaxIpcPayload) {
    PutU32(reply, 0);
    Transfer(fd, reply, sizeof(reply), false, kClientTimeoutMs);
    return;
  }
  std::string payload(size, '\0');
  if (size && !Transfer(fd, payload.data(), size, true, kClientTimeoutMs)) return;
  const bool handled = handler_ ? handler_(code, payload) : false;
  PutU32(reply, handled ? 1 : 0);
  Transfer(fd, reply, sizeof(reply), false, kClientTimeoutMs);
}

namespace {

// One request and its reply status; false with `*error` when no reply came.
bool Exchange(const std::string& path, uint32_t code, const std::string& payload, int timeout_ms, uint32_t* status,
              std::string* error) {
  sockaddr_un addr;
  if (payload.size() > kMaxIpcPayload) {
    if (error) *error = "payload too large";
    return false;
  }
  if (!FillAddress(path, &addr)) {
    if (error) *error = "socket path too long";
    return false;
  }
  ScopedFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.valid()) {
    if (error) *error = std::strerror(errno);
    return false;
  }
  if (connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    if (error) *error = std::string("cannot reach ") + path + ": " + std::strerror(errno);
    return false;
  }
  std::string msg(8, '\0');
  PutU32(msg.data(), code);
  PutU32(msg.data() + 4, static_cast<uint32_t>(payload.size()));
  msg += payload;
  char reply[4];
  const bool sent =
      Transfer(fd.get(), msg.data(), msg.size(), false, timeout_ms) && Transfer(fd.get(), reply, 4, true, timeout_ms);
  fd.reset();
  if (!sent) {
    if (error) *error = "no reply from the agent";
    return false;
  }
  *status = GetU32(reply);
  return true;
}

}  // namespace

bool IpcSend(const std::string& path, uint32_t code, const std::string& payload, int timeout_ms, std::string* error) {
  uint32_t status = 0;
  if (!Exchange(path, code, payload, timeout_ms, &status, error)) return false;
  if (status != 1) {
    if (error) *error = "the agent did not handle the message";
    return false;
  }
  return true;
}

bool IpcAnswers(const std::string& path, int timeout_ms, std::string* error) {
  uint32_t status = 0;
  return Exchange(path, kIpcProbeCode, "", timeout_ms, &status, error);
}

}  // namespace tillcast::platform
