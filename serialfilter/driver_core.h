// The capture driver's bookkeeping: port monitors per (appid, type, port),
// payload queues per port type, and the answer to each control request.
// No I/O of its own besides signalling monitor events.
//
// Not thread-safe: the daemon runs it on its one loop thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace tillcast::serialfilter {

class DriverCore {
 public:
  // `test_hooks` enables the inject control code.
  explicit DriverCore(bool test_hooks);
  ~DriverCore();
  DriverCore(const DriverCore&) = delete;
  DriverCore& operator=(const DriverCore&) = delete;

  // Answers one request message from connection `client`. `passed_fd` is a
  // descriptor that came with it (-1 for none); it is taken over (kept as a
  // monitor's event or closed). Returns the reply message.
  std::string Handle(int client, const uint8_t* msg, size_t size, int passed_fd);

  // A connection ended: its monitors are dropped.
  void DropClient(int client);

  // Bytes the till wrote on a port: queued in payloads of at most 4096
  // bytes while a monitor of that type exists, one signal per payload.
  // Bytes of the same source join the last payload while it is unfetched
  // and has room.
  void Capture(uint32_t type, uint32_t source, const uint8_t* data, size_t size);

  // Bytes captured while no monitor of their type exists (from the start,
  // or since the last one went away) are kept for up to `hold_ms`, so an
  // agent that comes or comes back in that time gets them; older ones are
  // dropped. 0 (the default) drops them at once. `now_ms` is the clock.
  // Held payloads carry kSourceHeld in their source.
  void HoldUnmonitored(uint32_t hold_ms, uint64_t (*now_ms)());

  size_t Pending(uint32_t type) const;
  size_t MonitorCount() const { return monitors_.size(); }

  // Payloads kept per type while no one fetches them; the oldest go first.
  static constexpr size_t kMaxQueued = 16384;

 private:
  struct Monitor {
    uint32_t appid;
    uint32_t type;
    int32_t port;
    int client;
    int event;  // owned
  };
  struct Payload {
    uint32_t source;
    std::string bytes;
  };
  std::string AddMonitor(int client, const uint8_t* in, size_t size, int fd);
  std::string RemoveMonitor(const uint8_t* in, size_t size);
  std::string RemoveAll(const uint8_t* in, size_t size);
  std::string Fetch(uint32_t type);
  std::string Inject(const uint8_t* in, size_t size);
  void Enqueue(uint32_t type, uint32_t source, const uint8_t* data, size_t size);
  void EraseMonitors(bool (*match)(const Monitor&, const void*), const void* arg);
  static void Signal(int fd);
  std::deque<Payload>* Queue(uint32_t type);
  bool Monitored(uint32_t type) const;
  // True when bytes of an unmonitored type are no longer kept.
  bool HoldOver(uint32_t type) const;
  // Drops what was held for a type without a monitor once the hold is over.
  void DropExpired(uint32_t type);

  bool test_hooks_;
  uint32_t hold_ms_ = 0;
  uint64_t (*now_ms_)() = nullptr;
  uint64_t unmonitored_since_[2] = {0, 0};  // serial, parallel
  std::vector<Monitor> monitors_;
  std::deque<Payload> serial_;
  std::deque<Payload> parallel_;
};

}  // namespace tillcast::serialfilter
