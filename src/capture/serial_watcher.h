// The agent's client of the capture driver: keeps the port monitors it has
// registered, one event per monitor, a worker that fetches one payload per
// signal, and a connect timer (every 5 s unless set otherwise) that connects
// while the driver is not there and, once connected, checks that it still
// is. A driver that went away (crashed, restarted) is connected to again
// when it is back, and the driver-connected callable registers the monitors
// anew.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "capture/driver_connection.h"
#include "platform/timer_service.h"
#include "platform/wait_event.h"

namespace tillcast {

namespace capture {
// Platform seams this module builds on.
using platform::ManualTimerService;
using platform::ThreadTimerService;
using platform::TimerProc;
using platform::TimerService;
using platform::WaitAny;
using platform::WaitEvent;
using platform::WaitResult;
}  // namespace capture

class ISerialWatcher {
 public:
  virtual ~ISerialWatcher() = default;
  // Registers a monitor once per (type, port); always true.
  virtual bool AddPortMonitor(uint32_t type, int32_t port) = 0;
  virtual bool RemovePortMonitor(uint32_t type, int32_t port) = 0;
  virtual bool RemoveAllPortMonitor() = 0;
  // False when `f` is empty.
  virtual bool SetSerialDataCallback(PortDataCallback f) = 0;
  virtual bool GetSerialComData() = 0;
  virtual bool SetParallelDataCallback(PortDataCallback f) = 0;
  virtual bool GetParallelData() = 0;
  virtual bool AppExit() = 0;
};

// "Zellora_<appid>_<type>_<port>": the name of a monitor's event, as logs
// and the driver know it.
std::string MonitorEventName(uint32_t appid, uint32_t type, int32_t port);

// Thread-safe. The data callbacks run on the worker thread; the
// driver-connected callable runs on the caller of Init or on the timer's
// thread, once per connection. The destructor stops the timer and the
// worker (waiting for a fetch in progress) and closes every event.
class SerialWatcher final : public ISerialWatcher {
 public:
  // Null arguments mean the driver's Unix socket and a timer thread.
  explicit SerialWatcher(std::unique_ptr<capture::DriverDevice> device = nullptr,
                         std::unique_ptr<capture::TimerService> timers = nullptr);
  ~SerialWatcher() override;
  SerialWatcher(const SerialWatcher&) = delete;
  SerialWatcher& operator=(const SerialWatcher&) = delete;

  // The connect timer's period (default kConnectPeriodMs); takes effect at
  // Init. 0 keeps the default.
  void SetConnectPeriod(uint32_t period_ms);

  // Starts the worker, connects, and starts the connect timer. While not
  // connected the timer retries and runs `on_driver_connected` each time it
  // connects; while connected it checks quietly that the driver is still
  // there. True when the driver was reached at once.
  bool Init(std::function<void()> on_driver_connected);

  bool AddPortMonitor(uint32_t type, int32_t port) override;
  bool RemovePortMonitor(uint32_t type, int32_t port) override;
  bool RemoveAllPortMonitor() override;
  bool SetSerialDataCallback(PortDataCallback f) override;
  bool GetSerialComData() override;
  bool SetParallelDataCallback(PortDataCallback f) override;
  bool GetParallelData() override;
  bool AppExit() override;

  // The connect timer's id, 0 before Init.
  uint32_t timer_id() const { return timer_id_.load(); }
  size_t MonitorCount();
  DriverConnection& connection() { return connection_; }

  static constexpr uint32_t kConnectPeriodMs = 5000;

 private:
  struct MonitorRecord {
    uint32_t appid;
    uint32_t type;
    int32_t port;
    std::unique_ptr<capture::WaitEvent> event;
  };
  void Worker();
  void OnConnectTimer(uint32_t id);
  // The events of a driver that went away signal nothing any more: the
  // records go, so the callable can register every monitor afresh.
  void ForgetMonitors();
  // Runs `change` on the monitor map with the worker held out of its wait,
  // so no event it waits on is ever closed under it.
  void ChangeMonitors(const std::function<void(std::map<int, MonitorRecord>&)>& change);
  void StopWorker();

  DriverConnection connection_;
  std::unique_ptr<capture::TimerService> timers_;
  std::function<void()> on_driver_connected_;
  std::atomic<uint32_t> timer_id_{0};
  std::atomic<uint32_t> period_ms_{kConnectPeriodMs};

  std::mutex ops_mu_;  // one registration change at a time
  std::mutex mu_;      // guards everything below
  std::condition_variable cv_;
  std::map<int, MonitorRecord> monitors_;  // by event descriptor
  std::unique_ptr<capture::WaitEvent> wake_;
  bool exiting_ = false;
  bool in_wait_ = false;
  int pending_changes_ = 0;
  bool worker_started_ = false;
  std::thread worker_;
};

// The process-wide watcher.
SerialWatcher* GetSerialWatcher();

// Shutdown hook: removes every port monitor of the agent.
void RemoveAllPortMonitors();

}  // namespace tillcast
