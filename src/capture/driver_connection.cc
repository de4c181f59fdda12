#include "capture/driver_connection.h"

#include <cstring>

#include "base/log.h"

namespace tillcast {

using namespace driver;

DriverConnection::DriverConnection(std::unique_ptr<capture::DriverDevice> device)
    : device_(device ? std::move(device) : std::make_unique<capture::UnixSocketDriverDevice>()) {}

bool DriverConnection::Connect() {
  std::lock_guard<std::mutex> l(connect_mu_);
  if (connected_.load()) return true;
  uint32_t err = 0;
  if (!device_->Open(&err)) {
    Log(LOG_ERROR, "Connect to driver failed:%d", static_cast<int>(err));
    return false;
  }
  Log(LOG_INFO, "Connect to driver succeed");
  connected_.store(true);
  if (lost_) {
    lost_ = false;
    Log(LOG_INFO, "capture driver connection back");
  }
  return true;
}

bool DriverConnection::CheckAlive() {
  if (connected_.load() && !device_->Alive()) MarkLost();
  return connected_.load();
}

void DriverConnection::CallFailed() {
  if (!device_->Alive()) MarkLost();
}

void DriverConnection::MarkLost() {
  std::lock_guard<std::mutex> l(connect_mu_);
  if (!connected_.load()) return;
  // Closed under the lock, so a Connect never reuses the dead device.
  device_->Close();
  connected_.store(false);
  lost_ = true;
  Log(LOG_INFO, "capture driver connection lost");
}

void DriverConnection::SetSerialDataCallback(PortDataCallback f) {
  std::lock_guard<std::mutex> l(callback_mu_);
  on_serial_ = std::move(f);
}

void DriverConnection::SetParallelDataCallback(PortDataCallback f) {
  std::lock_guard<std::mutex> l(callback_mu_);
  on_parallel_ = std::move(f);
}

bool DriverConnection::DriverMethodCall(int method, const void* arg) {
  if (!connected_.load()) return false;
  Log(LOG_INFO, "DriverMethodCall:%d", method);
  size_t returned = 0;
  uint32_t err = 0;
  switch (method) {
    case kDmAddPortMonitor: {
      if (arg == nullptr) return false;
      const auto* r = static_cast<const PortMonitorRequest*>(arg);
      const std::string in = EncodePortMonitorRequest(*r);
      if (!device_->Control(kIoctlAddPortMonitor, in.data(), in.size(), static_cast<int>(r->event), nullptr, 0,
                            &returned, &err)) {
        Log(LOG_ERROR, "DeviceIoControl failed: SF_DVC_ADD_PORT_MONITOR ");
        CallFailed();
        return false;
      }
      Log(LOG_INFO, "Dm_AddPortMonitor success appid:%d,event:%d, port:%d ", static_cast<int>(r->appid),
          static_cast<int>(r->event), r->port);
      return true;
    }
    case kDmRemovePortMonitor: {
      if (arg == nullptr) return false;
      const auto* r = static_cast<const PortMonitorRemoval*>(arg);
      const std::string in = EncodePortMonitorRemoval(*r);
      if (!device_->Control(kIoctlRemovePortMonitor, in.data(), in.size(), -1, nullptr, 0, &returned, &err)) {
        Log(LOG_ERROR, "DeviceIoControl failed: Dm_RemovePortMonitor ");
        CallFailed();
        return false;
      }
      Log(LOG_INFO, "Dm_RemovePortMonitor success appid:%d,type:%d, id:%d,  ", static_cast<int>(r->appid),
          static_cast<int>(r->type), r->port);
      return true;
    }
    case kDmRemoveAllPortMonitor: {
      if (arg == nullptr) return false;
      const auto* r = static_cast<const AppIdRecord*>(arg);
      const std::string in = EncodeAppIdRecord(*r);
      if (!device_->Control(kIoctlRemoveAllPortMonitor, in.data(), in.size(), -1, nullptr, 0, &returned, &err)) {
        Log(LOG_ERROR, "DeviceIoControl failed: Dm_RemoveAllPortMonitor ");
        CallFailed();
        return false;
      }
      Log(LOG_INFO, "Dm_RemoveAllPortMonitor success appid:%d ", static_cast<int>(r->appid));
      return true;
    }
    case kDmGetSerialComData:
    case kDmGetParallelData: return FetchData(method);
    case kDmAppExit:
      if (!device_->Control(kIoctlAppExit, nullptr, 0, -1, nullptr, 0, &returned, &err)) {
        Log(LOG_INFO, "DeviceIoControl failed:Dm_AppExit");
        CallFailed();
        return false;
      }
      return true;
    default: return false;
  }
}

bool DriverConnection::FetchData(int method) {
  const bool serial = method == kDmGetSerialComData;
  std::string reply(sizeof(PortDataReply), '\0');
  size_t returned = 0;
  uint32_t err = 0;
  const bool ok = device_->Control(serial ? kIoctlGetSerialComData : kIoctlGetParallelData, nullptr, 0, -1,
                                   reply.data(), reply.size(), &returned, &err);
  // A reply without its source and length words is no reply.
  if (!ok || returned < 8) {
    if (serial) Log(LOG_ERROR, "DeviceIoControl failed:Dm_GetSerialComData");
    if (!ok) CallFailed();
    return false;
  }
  PortDataReply r{};
  DecodePortDataReply(reinterpret_cast<const uint8_t*>(reply.data()), reply.size(), &r);
  // Never trust the driver's length beyond the payload it can carry, nor
  // beyond the bytes that actually came back.
  uint32_t length = r.length > kPayloadMax ? static_cast<uint32_t>(kPayloadMax) : r.length;
  if (length > returned - 8) length = static_cast<uint32_t>(returned - 8);
  // Every byte is delivered as it came, also in payloads of one or two
  // bytes (a till that sends ESC or a line feed on its own).
  uint8_t delivery[kPayloadMax];
  std::memset(delivery, 0, sizeof(delivery));
  std::memcpy(delivery, r.payload, length);
  PortDataCallback cb;
  {
    std::lock_guard<std::mutex> l(callback_mu_);
    cb = serial ? on_serial_ : on_parallel_;
    if (cb) ++callbacks_running_;
  }
  if (cb) {
    cb(r.source, delivery, length);
    std::lock_guard<std::mutex> l(callback_mu_);
    if (--callbacks_running_ == 0) callback_done_.notify_all();
  }
  return true;
}

void DriverConnection::DetachCallbacks() {
  std::unique_lock<std::mutex> l(callback_mu_);
  on_serial_ = nullptr;
  on_parallel_ = nullptr;
  callback_done_.wait(l, [&] { return callbacks_running_ == 0; });
}

}  // namespace tillcast
