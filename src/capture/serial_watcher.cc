#include "capture/serial_watcher.h"

#include <cstdio>
#include <vector>

#include "base/log.h"

namespace tillcast {

using capture::WaitEvent;

std::string MonitorEventName(uint32_t appid, uint32_t type, int32_t port) {
  char name[64];
  std::snprintf(name, sizeof(name), "Zellora_%d_%d_%d", static_cast<int>(appid), static_cast<int>(type), port);
  return name;
}

SerialWatcher::SerialWatcher(std::unique_ptr<capture::DriverDevice> device,
                             std::unique_ptr<capture::TimerService> timers)
    : connection_(std::move(device)),
      timers_(timers ? std::move(timers) : std::make_unique<capture::ThreadTimerService>()),
      wake_(WaitEvent::Create()) {}

SerialWatcher::~SerialWatcher() {
  if (const uint32_t id = timer_id_.exchange(0)) timers_->KillTimer(id);
  StopWorker();
  std::lock_guard<std::mutex> l(mu_);
  monitors_.clear();
}

void SerialWatcher::StopWorker() {
  {
    std::lock_guard<std::mutex> l(mu_);
    exiting_ = true;
    if (wake_) wake_->Signal();
  }
  cv_.notify_all();
  if (worker_.joinable() && worker_.get_id() != std::this_thread::get_id()) worker_.join();
}

bool SerialWatcher::Init(std::function<void()> on_driver_connected) {
  {
    std::lock_guard<std::mutex> l(mu_);
    on_driver_connected_ = std::move(on_driver_connected);
    if (!worker_started_ && wake_) {
      worker_started_ = true;
      worker_ = std::thread([this] { Worker(); });
    }
  }
  const auto start_timer = [this] {
    if (timer_id_.load() == 0)
      timer_id_.store(timers_->SetTimer(period_ms_.load(), [this](uint32_t id) { OnConnectTimer(id); }));
  };
  if (connection_.Connect()) {
    if (on_driver_connected_) on_driver_connected_();
    start_timer();
    return true;
  }
  Log(LOG_INFO, "Startup driver conn timer\n");
  start_timer();
  Log(LOG_INFO, "SerialWatcher::Init return failed\n");
  return false;
}

void SerialWatcher::SetConnectPeriod(uint32_t period_ms) { period_ms_.store(period_ms ? period_ms : kConnectPeriodMs); }

void SerialWatcher::OnConnectTimer(uint32_t id) {
  if (id != timer_id_.load()) return;
  // Connected: only a quiet look whether the driver is still there.
  if (connection_.IsConnected() && connection_.CheckAlive()) return;
  Log(LOG_INFO, "DriverConnTimerProc enter");
  if (!connection_.Connect()) return;
  ForgetMonitors();
  if (on_driver_connected_) on_driver_connected_();
}

void SerialWatcher::ForgetMonitors() {
  std::lock_guard<std::mutex> ops(ops_mu_);
  ChangeMonitors([](std::map<int, MonitorRecord>& m) { m.clear(); });
}

void SerialWatcher::ChangeMonitors(const std::function<void(std::map<int, MonitorRecord>&)>& change) {
  std::unique_lock<std::mutex> l(mu_);
  ++pending_changes_;
  if (in_wait_) {
    wake_->Signal();
    cv_.wait(l, [&] { return !in_wait_; });
  }
  change(monitors_);
  --pending_changes_;
  l.unlock();
  cv_.notify_all();
}

size_t SerialWatcher::MonitorCount() {
  std::lock_guard<std::mutex> l(mu_);
  return monitors_.size();
}

bool SerialWatcher::AddPortMonitor(uint32_t type, int32_t port) {
  std::lock_guard<std::mutex> ops(ops_mu_);
  Log(LOG_INFO, "AddPortMonitor appid:%d\n", static_cast<int>(driver::kAppId));
  {
    std::lock_guard<std::mutex> l(mu_);
    for (const auto& [fd, rec] : monitors_)
      if (rec.type == type && rec.port == port) return true;
  }
  const std::string name = MonitorEventName(driver::kAppId, type, port);
  std::unique_ptr<WaitEvent> event = wake_ ? WaitEvent::Create() : nullptr;
  if (!event) {
    Log(LOG_ERROR, "CreateEvent %s failed", name.c_str());
    return true;
  }
  const driver::PortMonitorRequest request{driver::kAppId, type, port, static_cast<uint32_t>(event->native())};
  if (!connection_.DriverMethodCall(kDmAddPortMonitor, &request)) {
    Log(LOG_WARNING, "port monitor %s not registered", name.c_str());
    return true;  // the event is closed on return
  }
  ChangeMonitors([&](std::map<int, MonitorRecord>& m) {
    const int key = event->native();
    m[key] = MonitorRecord{driver::kAppId, type, port, std::move(event)};
  });
  return true;
}

bool SerialWatcher::RemovePortMonitor(uint32_t type, int32_t port) {
  std::lock_guard<std::mutex> ops(ops_mu_);
  ChangeMonitors([&](std::map<int, MonitorRecord>& m) {
    for (auto it = m.begin(); it != m.end(); ++it) {
      if (it->second.type == type && it->second.port == port) {
        m.erase(it);
        break;
      }
    }
  });
  const driver::PortMonitorRemoval removal{driver::kAppId, type, port};
  return connection_.DriverMethodCall(kDmRemovePortMonitor, &removal);
}

bool SerialWatcher::RemoveAllPortMonitor() {
  std::lock_guard<std::mutex> ops(ops_mu_);
  Log(LOG_INFO, "RemoveAllPortMonitor appid:%d", static_cast<int>(driver::kAppId));
  ChangeMonitors([](std::map<int, MonitorRecord>& m) { m.clear(); });
  const driver::AppIdRecord record{driver::kAppId};
  return connection_.DriverMethodCall(kDmRemoveAllPortMonitor, &record);
}

bool SerialWatcher::SetSerialDataCallback(PortDataCallback f) {
  if (!f) return false;
  connection_.SetSerialDataCallback(std::move(f));
  return true;
}

bool SerialWatcher::SetParallelDataCallback(PortDataCallback f) {
  if (!f) return false;
  connection_.SetParallelDataCallback(std::move(f));
  return true;
}

bool SerialWatcher::GetSerialComData() { return connection_.DriverMethodCall(kDmGetSerialComData, nullptr); }

bool SerialWatcher::GetParallelData() { return connection_.DriverMethodCall(kDmGetParallelData, nullptr); }

bool SerialWatcher::AppExit() {
  {
    std::lock_guard<std::mutex> l(mu_);
    exiting_ = true;
    if (wake_) wake_->Signal();
  }
  cv_.notify_all();
  return connection_.DriverMethodCall(kDmAppExit, nullptr);
}

void SerialWatcher::Worker() {
  std::unique_lock<std::mutex> l(mu_);
  std::vector<const WaitEvent*> set;
  std::vector<size_t> ready;
  std::vector<uint32_t> fetches;
  while (!exiting_) {
    if (pending_changes_ > 0) {
      cv_.wait(l, [&] { return pending_changes_ == 0 || exiting_; });
      continue;
    }
    if (monitors_.empty()) {
      cv_.wait_for(l, std::chrono::milliseconds(1000),
                   [&] { return exiting_ || pending_changes_ > 0 || !monitors_.empty(); });
      continue;
    }
    set.clear();
    set.push_back(wake_.get());
    for (const auto& [fd, rec] : monitors_) set.push_back(rec.event.get());
    in_wait_ = true;
    l.unlock();
    const capture::WaitResult result = capture::WaitAny(set, -1, &ready);
    l.lock();
    in_wait_ = false;
    cv_.notify_all();
    if (result != capture::WaitResult::kSignalled) {
      cv_.wait_for(l, std::chrono::milliseconds(100), [&] { return exiting_; });
      continue;
    }
    // The set is unchanged while this thread holds the lock, so `set` still
    // names live events here.
    fetches.clear();
    for (const size_t i : ready) {
      if (i == 0) {
        while (wake_->TryConsume()) {
        }
        continue;
      }
      auto it = monitors_.find(set[i]->native());
      if (it == monitors_.end() || !it->second.event->TryConsume()) continue;
      fetches.push_back(it->second.type);
    }
    l.unlock();
    for (const uint32_t type : fetches) {
      if (type == driver::kPortSerial)
        GetSerialComData();
      else if (type == driver::kPortParallel)
        GetParallelData();
    }
    l.lock();
  }
}

SerialWatcher* GetSerialWatcher() {
  static SerialWatcher watcher;
  return &watcher;
}

void RemoveAllPortMonitors() { GetSerialWatcher()->RemoveAllPortMonitor(); }

}  // namespace tillcast
