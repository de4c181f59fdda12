// Shared pieces of the window tests: the offscreen application, a copy of
// the skin folder per test, a port list over fixed names and a cloud client
// that records what it is asked.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <set>
#include <thread>
#include <string>
#include <vector>

#include <QApplication>

#include "capture/capture_uploader.h"
#include "print/port_list.h"
#include "support/test_support.h"
#include "net/cloud_api.h"

namespace tillcast::ui {
enum class LoginPage : int;
// Pages by number in test failures.
inline void PrintTo(LoginPage page, std::ostream* os) { *os << "page " << static_cast<int>(page); }
}  // namespace tillcast::ui

namespace tillcast::test {

// The one QApplication of the test process (offscreen).
QApplication* EnsureApp();

// Processes Qt events until `pred` holds or `timeout_ms` passed.
bool PumpUntil(const std::function<bool()>& pred, int timeout_ms);
void PumpFor(int ms);

// A temporary skin folder holding copies of build/bin/skin, made the
// toolkit's skin folder for the life of the object.
class SkinCopy {
 public:
  SkinCopy();
  ~SkinCopy();
  const std::string& path() const { return dir_.path(); }
  std::string Sub(const std::string& name) const { return dir_.Sub(name); }

 private:
  TempDir dir_;
};

// Ports by type, fixed by the test (ANSI type names).
class FixedPorts final : public PortSource {
 public:
  FixedPorts(std::set<std::string> serial, std::set<std::string> parallel, std::set<std::string> printers)
      : serial_(std::move(serial)), parallel_(std::move(parallel)), printers_(std::move(printers)) {}
  std::optional<std::set<std::string>> SerialPorts() override { return serial_; }
  std::optional<std::set<std::string>> ParallelPorts() override { return parallel_; }
  std::optional<std::set<std::string>> Printers() override { return printers_; }

 private:
  std::set<std::string> serial_, parallel_, printers_;
};

// Answers with fixed results and keeps what it was given. Thread-safe.
class RecordingCloud final : public CloudApi {
 public:
  std::atomic<bool> connection_info_ok{true};
  std::atomic<bool> connection_ok{true};
  bool GetConnectionInfo() override {
    ++connection_info_calls;
    return connection_info_ok.load();
  }
  bool CreateConnection() override {
    ++connection_calls;
    return connection_ok.load();
  }
  bool GetStoreLogo() override { return false; }
  bool RequestReceiptPrint(const std::string& code) override {
    std::lock_guard<std::mutex> l(lock);
    receipt_codes.push_back(code);
    return true;
  }
  std::vector<std::string> Codes() {
    std::lock_guard<std::mutex> l(lock);
    return receipt_codes;
  }
  // The upload worker's functions: every capture is taken (its bytes kept
  // in Uploads()) and answered with `upload_code`; `hold_uploads` keeps a
  // capture in the worker (a printer or a cloud that takes long) until it
  // is cleared.
  capture::CaptureUploadHooks UploadHooks() {
    capture::CaptureUploadHooks h;
    h.prepare = [this](const std::string& bytes, const std::string&, uint32_t, capture::CaptureAge, std::string* body,
                       const std::atomic<bool>& abort) {
      while (hold_uploads.load() && !abort.load()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
      *body = bytes;
      return true;
    };
    h.send = [this](const std::string& body, const std::atomic<bool>&) {
      const int code = upload_code.load();
      if (code == 200) {
        std::lock_guard<std::mutex> l(lock);
        uploads.push_back(body);
      }
      return code;
    };
    return h;
  }
  std::vector<std::string> Uploads() {
    std::lock_guard<std::mutex> l(lock);
    return uploads;
  }

  std::atomic<int> connection_info_calls{0};
  std::atomic<int> connection_calls{0};
  std::atomic<int> upload_code{200};
  std::atomic<bool> hold_uploads{false};
  std::mutex lock;
  std::vector<std::string> receipt_codes;
  std::vector<std::string> uploads;
};

}  // namespace tillcast::test
