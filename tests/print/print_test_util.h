// Shared pieces of the printer tests: the recording SDK, pseudo-terminals
// (support/pty.h), port configuration.
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
#include "support/pty.h"
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
