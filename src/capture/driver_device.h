// The capture driver's control device: open it, then issue control calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace tillcast::capture {

// Thread-safe: calls from several threads are serialised.
class DriverDevice {
 public:
  virtual ~DriverDevice() = default;
  // Opens the device. False with `*error` (a system error number) on failure.
  virtual bool Open(uint32_t* error) = 0;
  // One control call: `in_size` bytes in; up to `out_size` bytes out, the
  // count in `*returned`. `pass_fd` >= 0 is handed to the driver with the
  // call (it stays open here too). False with `*error` on failure.
  virtual bool Control(uint32_t code, const void* in, size_t in_size, int pass_fd, void* out, size_t out_size,
                       size_t* returned, uint32_t* error) = 0;
  // False once the driver has gone: the device is closed, or its far end
  // ended or failed. Reads nothing.
  virtual bool Alive() = 0;
  // Closes the device; the next Open opens it afresh.
  virtual void Close() = 0;
};

// The driver stand-in's Unix socket (driver::ControlSocketPath() unless
// given). A call that gets no reply within `timeout_ms` fails.
class UnixSocketDriverDevice final : public DriverDevice {
 public:
  explicit UnixSocketDriverDevice(std::string path = "", int timeout_ms = 5000);
  ~UnixSocketDriverDevice() override;
  bool Open(uint32_t* error) override;
  bool Control(uint32_t code, const void* in, size_t in_size, int pass_fd, void* out, size_t out_size, size_t* returned,
               uint32_t* error) override;
  // Polls the socket for a hang-up without reading from it.
  bool Alive() override;
  void Close() override;

 private:
  std::string path_;
  int timeout_ms_;
  std::mutex mu_;
  int fd_ = -1;
};

// A device for tests: records each call and answers through `handler`
// (default: success, nothing returned).
class FakeDriverDevice final : public DriverDevice {
 public:
  struct Call {
    uint32_t code;
    std::string in;
    int pass_fd;
  };
  using Handler = std::function<bool(const Call&, std::string* out, uint32_t* error)>;

  bool Open(uint32_t* error) override {
    std::lock_guard<std::mutex> l(mu);
    ++opens;
    if (open_error) *error = open_error;
    if (open_error == 0) alive = true;
    return open_error == 0;
  }
  bool Alive() override {
    std::lock_guard<std::mutex> l(mu);
    return alive;
  }
  void Close() override {
    std::lock_guard<std::mutex> l(mu);
    ++closes;
    alive = false;
  }
  bool Control(uint32_t code, const void* in, size_t in_size, int pass_fd, void* out, size_t out_size, size_t* returned,
               uint32_t* error) override {
    Call c{code, std::string(static_cast<const char*>(in), in ? in_size : 0), pass_fd};
    Handler h;
    {
      std::lock_guard<std::mutex> l(mu);
      calls.push_back(c);
      h = handler;
    }
    std::string reply;
    uint32_t err = 0;
    const bool ok = h ? h(c, &reply, &err) : true;
    if (!ok) {
      *error = err;
      return false;
    }
    *returned = reply.size() < out_size ? reply.size() : out_size;
    if (*returned) reply.copy(static_cast<char*>(out), *returned);
    return true;
  }
  std::vector<Call> Calls() {
    std::lock_guard<std::mutex> l(mu);
    return calls;
  }

  std::mutex mu;
  uint32_t open_error = 0;
  int opens = 0;
  int closes = 0;
  bool alive = false;  // true from a successful Open until Close (or a test says so)
  Handler handler;
  std::vector<Call> calls;
};

}  // namespace tillcast::capture
