// Shared pieces of the printer tests: the recording SDK, pseudo-terminals,
// port configuration.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <vector>

#include "data/data_mgr.h"
#include "print/printer_link.h"
#include "print/sdk_binding.h"
#include "support/test_support.h"

namespace tillcast::test {

// Binds the recording SDK for one test and gives access to its calls.
class FakeSdk {
 public:
  explicit FakeSdk(const char* path = FAKE_SDK_PATH) {
    bound_ = BindPrinterSdkFrom(path);
    void* h = dlopen(path, RTLD_NOW | RTLD_NOLOAD);
    calls_ = reinterpret_cast<const char* (*)()>(dlsym(h, "FakeSdk_Calls"));
    reset_ = reinterpret_cast<void (*)(POS_HANDLE, int, int)>(dlsym(h, "FakeSdk_Reset"));
    if (h != nullptr) dlclose(h);  // drops only our extra reference
    Reset();
  }
  ~FakeSdk() { UnbindPrinterSdkForTest(); }
  bool bound() const { return bound_; }
  void Reset(POS_HANDLE open = 7, int openErrno = 2, int write = POS_SUCCESS) { reset_(open, openErrno, write); }
  std::string Calls() const { return calls_(); }
  std::vector<std::string> CallList() const {
    std::vector<std::string> out;
    std::string all = Calls();
    size_t pos = 0, nl;
    while ((nl = all.find('\n', pos)) != std::string::npos) {
      out.push_back(all.substr(pos, nl - pos));
      pos = nl + 1;
    }
    return out;
  }

 private:
  bool bound_ = false;
  const char* (*calls_)() = nullptr;
  void (*reset_)(POS_HANDLE, int, int) = nullptr;
};

// Counts the pauses between open attempts instead of sleeping.
class CountedRetryPause {
 public:
  CountedRetryPause() {
    SetOpenRetryPauseForTest([this](int ms) {
      ++pauses;
      pausedMs += ms;
    });
  }
  ~CountedRetryPause() { SetOpenRetryPauseForTest(nullptr); }
  std::atomic<int> pauses{0};
  std::atomic<int> pausedMs{0};
};

// A pseudo-terminal standing in for a serial printer: the SDK opens the
// slave path, the test reads what the printer would receive on the master.
class Pty {
 public:
  Pty() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
    const char* name = ptsname(master_);
    if (name == nullptr) return;
    slave_path_ = name;
    // Held open so the master never sees a hang-up between documents.
    keep_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios t{};
    tcgetattr(keep_, &t);
    cfmakeraw(&t);
    tcsetattr(keep_, TCSANOW, &t);
  }
  ~Pty() {
    if (keep_ >= 0) close(keep_);
    if (master_ >= 0) close(master_);
  }
  bool ok() const { return keep_ >= 0; }
  const std::string& slave() const { return slave_path_; }
  int slave_fd() const { return keep_; }
  int master_fd() const { return master_; }

  // What arrived, reading until `quiet_ms` pass without a byte.
  std::string Drain(int quiet_ms = 150) {
    std::string out;
    char buf[4096];
    for (;;) {
      pollfd p{master_, POLLIN, 0};
      if (poll(&p, 1, quiet_ms) <= 0) break;
      const ssize_t n = read(master_, buf, sizeof buf);
      if (n <= 0) break;
      out.append(buf, static_cast<size_t>(n));
    }
    return out;
  }

  termios SlaveSettings() const {
    termios t{};
    tcgetattr(keep_, &t);
    return t;
  }

 private:
  int master_ = -1;
  int keep_ = -1;
  std::string slave_path_;
};

// Writes the port settings into the device configuration (UTF-8 literals
// converted to the agent's code page).
inline void ConfigurePort(const std::string& typeUtf8, const std::string& name, const std::string& baud = "9600",
                          const std::string& dataBits = "8", const std::string& stopBits = "1",
                          const std::string& parityUtf8 = "无", const std::string& flowUtf8 = "无") {
  DataMgr& d = DataMgr::GetInstance();
  d.SetConfig("PortType", Gbk(typeUtf8));
  d.SetConfig("PortName", name);
  d.SetConfig("Baudrate", baud);
  d.SetConfig("DataBits", dataBits);
  d.SetConfig("StopBits", stopBits);
  d.SetConfig("Parity", Gbk(parityUtf8));
  d.SetConfig("FlowControl", Gbk(flowUtf8));
}

inline std::string Hex(const std::string& bytes) {
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : bytes) {
    if (!out.empty()) out += ' ';
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

inline std::string Bytes(std::initializer_list<int> b) {
  std::string s;
  for (int v : b) s.push_back(static_cast<char>(v));
  return s;
}

}  // namespace tillcast::test
