// The agent's link to the capture driver: opens its control device and
// turns the six driver methods into control calls; fetched payloads go to
// the serial or parallel data callback.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "capture/driver_device.h"
#include "capture/driver_protocol.h"

namespace tillcast {

// Receives one payload: the driver's source word, the bytes and their
// count. `data` points at a 4096-byte buffer valid for the call only.
using PortDataCallback = std::function<void(uint32_t source, const uint8_t* data, uint32_t length)>;

// Driver methods, as DriverMethodCall numbers them.
enum DriverMethod : int {
  kDmAddPortMonitor = 0,
  kDmRemovePortMonitor = 1,
  kDmRemoveAllPortMonitor = 2,
  kDmGetSerialComData = 3,
  kDmGetParallelData = 4,
  kDmAppExit = 5,
};

// Thread-safe: Connect, the setters and every method may be called from any
// thread. Callbacks run on the thread that fetched the payload, outside any
// lock of the connection.
//
// A driver that goes away (its end of the device ended or failed, noticed
// by CheckAlive or by a failed control call) makes the connection
// disconnected again, with one INFO line "capture driver connection lost";
// the next successful Connect logs "capture driver connection back".
class DriverConnection {
 public:
  // Takes the device; a null device means the driver's Unix socket.
  explicit DriverConnection(std::unique_ptr<capture::DriverDevice> device = nullptr);

  // Opens the device while disconnected; when connected only reports so.
  bool Connect();
  bool IsConnected() const { return connected_.load(); }
  // While connected, looks whether the driver is still there, without a
  // control call; marks the connection lost when it is not. The result is
  // IsConnected() afterwards.
  bool CheckAlive();
  void SetSerialDataCallback(PortDataCallback f);
  void SetParallelDataCallback(PortDataCallback f);
  // Drops both callbacks and waits until a callback still running (on the
  // fetching thread) has returned, so its receiver may go away. Must not be
  // called from a callback.
  void DetachCallbacks();

  // `arg`: PortMonitorRequest* (0; its `event` is the descriptor handed to
  // the driver), PortMonitorRemoval* (1), AppIdRecord* (2), ignored
  // otherwise. False when not connected, on a null record, on failure or
  // for an unknown method.
  bool DriverMethodCall(int method, const void* arg);

 private:
  bool FetchData(int method);
  // After a failed control call: a device that is no longer alive means the
  // driver went away.
  void CallFailed();
  void MarkLost();
  std::unique_ptr<capture::DriverDevice> device_;
  std::atomic<bool> connected_{false};
  std::mutex connect_mu_;  // guards opening, closing and lost_
  bool lost_ = false;      // lost since the last successful Connect
  std::mutex callback_mu_;
  std::condition_variable callback_done_;
  int callbacks_running_ = 0;  // guarded by callback_mu_
  PortDataCallback on_serial_;
  PortDataCallback on_parallel_;
};

}  // namespace tillcast
