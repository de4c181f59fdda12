// The local message endpoint through which other programs of the same user
// send (code, payload) messages to the agent, as the companion application
// does with WM_COPYDATA on the home platform.
//
// Wire format, both directions little-endian: request = u32 code, u32 length,
// then `length` payload bytes; reply = u32 status (1 handled, 0 refused).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include "platform/scoped_fd.h"

namespace tillcast::platform {

inline constexpr uint32_t kMaxIpcPayload = 16u * 1024u * 1024u;

// <RuntimeFolder()>/tillcast.sock unless $TILLCAST_IPC_SOCKET names another.
std::string DefaultIpcSocketPath();

// Called on the endpoint's own thread for each message; returns whether it
// was handled.
using IpcHandler = std::function<bool(uint32_t code, const std::string& payload)>;

// A Unix socket server, mode 0600, that accepts connections from processes
// of the same user only. Not copyable; Stop (or the destructor) joins the
// thread.
class IpcServer {
 public:
  IpcServer() = default;
  ~IpcServer();
  IpcServer(const IpcServer&) = delete;
  IpcServer& operator=(const IpcServer&) = delete;

  // Binds `path` (replacing a stale socket file) and starts serving. False
  // with `*err` set when the socket cannot be created.
  bool Start(const std::string& path, IpcHandler handler, int* err);
  void Stop();
  const std::string& path() const { return path_; }

 private:
  void Serve();
  void HandleClient(int fd);
  std::string path_;
  IpcHandler handler_;
  ScopedFd listen_fd_;
  // A pipe whose write end Stop writes to, so the serving thread's poll
  // returns.
  ScopedFd wake_read_, wake_write_;
  std::thread thread_;
};

// Sends one message and waits up to `timeout_ms` for the reply. Returns
// false when the endpoint cannot be reached or did not handle it.
bool IpcSend(const std::string& path, uint32_t code, const std::string& payload, int timeout_ms, std::string* error);

// A code no handler takes: a request with it only shows whether an endpoint
// listens and answers.
inline constexpr uint32_t kIpcProbeCode = 0;

// True when an endpoint at `path` answers a request (handled or not) within
// `timeout_ms`: the agent runs and its endpoint thread is alive.
bool IpcAnswers(const std::string& path, int timeout_ms, std::string* error);

}  // namespace tillcast::platform
