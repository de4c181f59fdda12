// The driver stand-in's core behind a fake control device, in this process.
#pragma once

#include <unistd.h>

#include <memory>
#include <mutex>

#include "capture/driver_device.h"
#include "capture/driver_protocol.h"
#include "driver_core.h"

namespace tillcast::test {

class InProcessDriver {
 public:
  InProcessDriver() : core_(true) {}
  // A device answering through this driver; the driver must outlive it.
  std::unique_ptr<capture::FakeDriverDevice> MakeDevice(int client = 1) {
    auto dev = std::make_unique<capture::FakeDriverDevice>();
    dev->handler = [this, client](const capture::FakeDriverDevice::Call& c, std::string* out, uint32_t* error) {
      const std::string msg = driver::EncodeMessage(c.code, c.in.data(), c.in.size());
      std::string reply;
      {
        std::lock_guard<std::mutex> l(mu_);
        reply = core_.Handle(client, reinterpret_cast<const uint8_t*>(msg.data()), msg.size(),
                             c.pass_fd >= 0 ? dup(c.pass_fd) : -1);
      }
      uint32_t status = 0;
      const uint8_t* body = nullptr;
      size_t size = 0;
      driver::DecodeMessage(reinterpret_cast<const uint8_t*>(reply.data()), reply.size(), driver::kMaxMessage, &status,
                            &body, &size);
      if (status != 0) {
        *error = status;
        return false;
      }
      out->assign(reinterpret_cast<const char*>(body), size);
      return true;
    };
    return dev;
  }
  void Capture(uint32_t type, const std::string& bytes, uint32_t source = 1) {
    std::lock_guard<std::mutex> l(mu_);
    core_.Capture(type, source, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  }
  size_t Monitors() {
    std::lock_guard<std::mutex> l(mu_);
    return core_.MonitorCount();
  }
  size_t Pending(uint32_t type) {
    std::lock_guard<std::mutex> l(mu_);
    return core_.Pending(type);
  }

 private:
  std::mutex mu_;
  serialfilter::DriverCore core_;
};

}  // namespace tillcast::test
