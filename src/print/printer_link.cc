#include "print/printer_link.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "base/log.h"
#include "base/printer_settings.h"
#include "base/text_util.h"
#include "data/data_mgr.h"
#include "print/sdk_binding.h"

namespace tillcast {
namespace {

std::function<void(int)>& RetryPause() {
  static std::function<void(int)> pause;
  return pause;
}

int Decimal(const std::string& text) {
  // Base-10 as the C library reads it; values past int range are refused by
  // the SDK like any other unknown rate.
  const long v = std::strtol(text.c_str(), nullptr, 10);
  if (v > 0x7FFFFFFFL || v < -0x7FFFFFFFL) return 0;
  return static_cast<int>(v);
}

}  // namespace

std::mutex& PrinterLock() {
  static std::mutex* lock = new std::mutex;
  return *lock;
}

// Literals of the core are compiled to the ANSI code page.
const std::string& PortTypeSerial() {
  static const std::string v = "串口";
  return v;
}
const std::string& PortTypeParallel() {
  static const std::string v = "并口";
  return v;
}
const std::string& PortTypeDriver() {
  static const std::string v = "驱动";
  return v;
}
const std::string& PortTypeNetwork() {
  static const std::string v = "网口";
  return v;
}

PortSettings ReadPortSettings() {
  static const std::string kOdd = "奇";
  static const std::string kEven = "偶";
  static const std::string kHardware = "硬件";
  DataMgr& data = DataMgr::GetInstance();
  PortSettings s;
  s.portName = data.GetConfig("PortName");
  s.portType = data.GetConfig("PortType");
  if (s.portType != PortTypeSerial()) return s;
  s.baudrate = Decimal(data.GetConfig("Baudrate"));
  s.dataBits = Decimal(data.GetConfig("DataBits"));
  s.stopBits = data.GetConfig("StopBits") == "2" ? 2 : 0;
  const std::string parity = data.GetConfig("Parity");
  s.parity = parity == kOdd ? 1 : parity == kEven ? 2 : 0;
  const std::string flow = data.GetConfig("FlowControl");
  s.flow = flow == "XON/OFF" ? 2 : flow == kHardware ? 1 : 3;
  return s;
}

bool OpenPortWith(const PortSettings& s, PrinterLink& link, bool quiet) {
  const PosSdkTable& sdk = PrinterSdk();
  POS_HANDLE handle = POS_INVALID_HANDLE;
  int err = 0;
  if (s.portType == PortTypeSerial()) {
    if (!quiet)
      Log(LOG_INFO, "打印机设置：名称：%s, 波特率:%d,数据位:%d,停止位:%d,校验位：%d, 流控：%d\n", s.portName.c_str(),
          s.baudrate, s.dataBits, s.stopBits, s.parity, s.flow);
    link.isDriver = false;
    if (sdk.POS_Open != nullptr) {
      errno = 0;
      handle = sdk.POS_Open(s.portName.c_str(), s.baudrate, s.dataBits, s.stopBits, s.parity, s.flow);
      err = errno;
    }
  } else if (s.portType == PortTypeParallel()) {
    link.isDriver = false;
    if (sdk.POS_Open != nullptr) {
      errno = 0;
      handle = sdk.POS_Open(s.portName.c_str(), 0, 0, 0, 0, POS_OPEN_PARALLEL);
      err = errno;
    }
  } else if (s.portType == PortTypeNetwork()) {
    link.isDriver = false;
    if (sdk.POS_Open != nullptr) {
      errno = 0;
      handle = sdk.POS_Open(s.portName.c_str(), 0, 0, 0, 0, POS_OPEN_NETWORK);
      err = errno;
    }
  } else if (s.portType == PortTypeDriver()) {
    link.isDriver = true;
    if (sdk.POS_Open != nullptr) {
      errno = 0;
      handle = sdk.POS_Open(s.portName.c_str(), 0, 0, 0, 0, POS_OPEN_PRINTER_NAME);
      err = errno;
    }
  } else {
    Log(LOG_ERROR, "端口类型错误:%s\n", s.portType.c_str());
    return false;
  }
  if (sdk.POS_Open == nullptr) err = ELIBACC;  // the SDK is not loaded
  link.handle = handle;
  if (handle == POS_INVALID_HANDLE) {
    if (!quiet) Log(LOG_ERROR, "打开端口错误：GetLastError:%d\n", err);
    return false;
  }
  Log(LOG_INFO, "打开端口完成，端口类型：%s，端口名称：%s\n", s.portType.c_str(), s.portName.c_str());
  return true;
}

bool OpenPort(PrinterLink& link) { return OpenPortWith(ReadPortSettings(), link); }

namespace {

// Up to `attempts` opens, kOpenRetryPauseMs apart; `stop` (may be empty)
// ends the waits early.
bool OpenWithRetries(const PortSettings& settings, PrinterLink& link, int attempts, bool quiet,
                     const std::function<bool()>& stop) {
  for (int attempt = 1;; ++attempt) {
    if (OpenPortWith(settings, link, quiet)) return true;
    // Without the SDK no retry can succeed; do not hold the lock for nothing.
    if (attempt >= attempts || PrinterSdk().POS_Open == nullptr) return false;
    if (stop && stop()) return false;
    if (const auto& pause = RetryPause()) {
      pause(kOpenRetryPauseMs);
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(kOpenRetryPauseMs));
    }
    if (stop && stop()) return false;
  }
}

// Writes one document on the open port and closes it.
bool WriteDocument(PrinterLink& link, const std::vector<unsigned char>& bytes) {
  const PosSdkTable& sdk = PrinterSdk();
  bool ok = false;
  // A partly bound SDK has an open function but maybe not the others.
  if (sdk.POS_WriteFile != nullptr && sdk.POS_StartDoc != nullptr && sdk.POS_EndDoc != nullptr) {
    if (link.isDriver) sdk.POS_StartDoc();
    errno = 0;
    const int rc = sdk.POS_WriteFile(link.handle, bytes.data(), static_cast<unsigned>(bytes.size()));
    const int err = errno;
    if (rc == POS_SUCCESS) {
      Log(LOG_INFO, "打印时写数据完成");
      ok = true;
    } else {
      Log(LOG_ERROR, "打印时写数据失败,GetLastError: %d", err);
    }
    if (link.isDriver && sdk.POS_EndDoc() != POS_SUCCESS && ok) {
      // The queue refused the finished job: nothing was printed.
      Log(LOG_ERROR, "打印时写数据失败,GetLastError: %d", errno);
      ok = false;
    }
  } else {
    Log(LOG_ERROR, "打印时写数据失败,GetLastError: %d", ELIBACC);
  }
  ClosePort(link);
  return ok;
}

}  // namespace

namespace {
thread_local const std::atomic<bool>* t_print_abort = nullptr;
}  // namespace

ScopedPrintAbort::ScopedPrintAbort(const std::atomic<bool>* abort) : previous_(t_print_abort) { t_print_abort = abort; }
ScopedPrintAbort::~ScopedPrintAbort() { t_print_abort = previous_; }

bool OpenPortWithRetries(PrinterLink& link) {
  const std::atomic<bool>* abort = t_print_abort;
  std::function<bool()> stop;
  if (abort != nullptr) stop = [abort] { return abort->load(); };
  return OpenWithRetries(ReadPortSettings(), link, GetPrinterSettings().openAttempts, false, stop);
}

void ClosePort(PrinterLink& link) {
  if (link.handle == POS_INVALID_HANDLE) return;
  if (PrinterSdk().POS_Close != nullptr) PrinterSdk().POS_Close();
  link.handle = POS_INVALID_HANDLE;
}

bool PrintRaw(PrinterLink& link, const std::vector<unsigned char>& bytes) {
  std::lock_guard<std::mutex> l(PrinterLock());
  if (!OpenPortWithRetries(link)) return false;
  return WriteDocument(link, bytes);
}

bool PrinterAnswersStatus(int timeoutMs) {
  const PosSdkTable& sdk = PrinterSdk();
  unsigned char status = 0;
  if (sdk.POS_RTQueryStatusEx != nullptr) return sdk.POS_RTQueryStatusEx(&status, timeoutMs) == POS_SUCCESS;
  return sdk.POS_RTQueryStatus != nullptr && sdk.POS_RTQueryStatus(&status) == POS_SUCCESS;
}

RawPrintResult PrintRawTry(PrinterLink& link, const std::vector<unsigned char>& bytes, const RawPrintTry& how) {
  const PrinterSettings settings = GetPrinterSettings();
  const int attempts = how.openAttempts > 0 ? how.openAttempts : settings.openAttempts;
  std::lock_guard<std::mutex> l(PrinterLock());
  const PortSettings port = ReadPortSettings();
  if (!OpenWithRetries(port, link, attempts, how.quiet, how.stop)) return RawPrintResult::kUnavailable;
  if (port.portType == PortTypeSerial() && settings.statusTimeoutMs > 0 &&
      !PrinterAnswersStatus(settings.statusTimeoutMs)) {
    if (!how.quiet) {
      Log(LOG_ERROR, "printer on %s does not answer its status request within %d ms", port.portName.c_str(),
          settings.statusTimeoutMs);
    }
    ClosePort(link);
    return RawPrintResult::kUnavailable;
  }
  return WriteDocument(link, bytes) ? RawPrintResult::kPrinted : RawPrintResult::kFailed;
}

void SetOpenRetryPauseForTest(std::function<void(int ms)> pause) { RetryPause() = std::move(pause); }

}  // namespace tillcast
