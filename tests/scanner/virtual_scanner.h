// A scanner made with uinput, for the real-device test and benchmark: a
// keyboard that types what it is told.
#pragma once

#include <fcntl.h>
#include <linux/uinput.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "platform/input_nodes.h"

namespace tillcast::test {

inline constexpr const char* kTestScannerName = "Tillcast test scanner";

// True when /dev/uinput can be opened for writing; `*why` says why not.
inline bool UinputUsable(std::string* why) {
  platform::ScopedFd fd(::open("/dev/uinput", O_WRONLY | O_CLOEXEC));
  if (!fd.valid()) *why = std::string("/dev/uinput: ") + std::strerror(errno);
  return fd.valid();
}

class VirtualScanner {
 public:
  // Creates the device; node() is "" when that failed.
  VirtualScanner() {
    fd_.reset(::open("/dev/uinput", O_WRONLY | O_NONBLOCK | O_CLOEXEC));
    if (!fd_.valid()) return;
    ::ioctl(fd_.get(), UI_SET_EVBIT, EV_KEY);
    for (int code = KEY_ESC; code <= KEY_KPDOT; ++code) ::ioctl(fd_.get(), UI_SET_KEYBIT, code);
    ::ioctl(fd_.get(), UI_SET_KEYBIT, KEY_KPENTER);
    uinput_setup setup{};
    setup.id.bustype = BUS_USB;
    setup.id.vendor = 0x1234;
    setup.id.product = 0x5678;
    std::strncpy(setup.name, kTestScannerName, UINPUT_MAX_NAME_SIZE - 1);
    if (::ioctl(fd_.get(), UI_DEV_SETUP, &setup) < 0 || ::ioctl(fd_.get(), UI_DEV_CREATE) < 0) {
      fd_.reset();
      return;
    }
    char sysname[64] = {};
    if (::ioctl(fd_.get(), UI_GET_SYSNAME(sizeof(sysname) - 1), sysname) < 0) return;
    const std::string dir = std::string("/sys/devices/virtual/input/") + sysname;
    // The node appears once udev (or devtmpfs) has made it.
    for (int i = 0; i < 400 && node_.empty(); ++i) {
      for (int n = 0; n < 1024; ++n) {
        const std::string event = "event" + std::to_string(n);
        if (::access((dir + "/" + event).c_str(), F_OK) == 0 && ::access(("/dev/input/" + event).c_str(), F_OK) == 0) {
          node_ = "/dev/input/" + event;
          break;
        }
      }
      if (node_.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  ~VirtualScanner() {
    if (fd_.valid()) ::ioctl(fd_.get(), UI_DEV_DESTROY);
  }
  const std::string& node() const { return node_; }

  void Key(uint16_t code, int32_t value) {
    input_event ev[2] = {};
    ev[0].type = EV_KEY;
    ev[0].code = code;
    ev[0].value = value;
    ev[1].type = EV_SYN;
    ev[1].code = SYN_REPORT;
    if (::write(fd_.get(), ev, sizeof(ev)) != static_cast<ssize_t>(sizeof(ev))) {
      // A full uinput queue is not expected at test rates.
    }
  }
  void Tap(uint16_t code) {
    Key(code, 1);
    Key(code, 0);
  }

 private:
  platform::ScopedFd fd_;
  std::string node_;
};

// Reads key events from an event node until `until` says stop or the
// deadline passes; returns false on the deadline.
template <typename F>
bool ReadKeys(int fd, int timeout_ms, F until) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (std::chrono::steady_clock::now() < deadline) {
    input_event ev;
    const ssize_t n = ::read(fd, &ev, sizeof(ev));
    if (n == static_cast<ssize_t>(sizeof(ev))) {
      if (ev.type == EV_KEY && until(ev.code, ev.value)) return true;
      continue;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

}  // namespace tillcast::test
