#include "app/printer_settings.h"

#include <mutex>
#include <string>

#include "app/text_util.h"
#include "platform/ini_file.h"

namespace tillcast {
namespace {

struct Holder {
  std::mutex lock;
  bool loaded = false;
  PrinterSettings settings;
};

Holder& TheHolder() {
  static Holder holder;
  return holder;
}

int32_t Number(const platform::IniFile& ini, const char* key, int32_t lo, int32_t hi, int32_t fallback) {
  return static_cast<int32_t>(ini.GetNumber("printer", key, static_cast<uint32_t>(fallback), static_cast<uint32_t>(lo),
                                            static_cast<uint32_t>(hi)));
}

PrinterSettings ReadFile() {
  platform::IniFile ini;
  ini.Load(GetDataFolder() + "/setting.ini");
  const PrinterSettings d;
  PrinterSettings s;
  s.openAttempts = Number(ini, "open_attempts", 1, 1000, d.openAttempts);
  s.holdSeconds = Number(ini, "hold_seconds", 0, 7 * 24 * 3600, d.holdSeconds);
  s.holdRetryMs = Number(ini, "hold_retry_ms", 10, 3600 * 1000, d.holdRetryMs);
  s.statusTimeoutMs = Number(ini, "status_timeout_ms", 0, 60 * 1000, d.statusTimeoutMs);
  s.receiptMaxKb = Number(ini, "receipt_max_kb", 1, 1024 * 1024, d.receiptMaxKb);
  s.receiptMaxPictures = Number(ini, "receipt_max_pictures", 0, 100000, d.receiptMaxPictures);
  return s;
}

}  // namespace

PrinterSettings GetPrinterSettings() {
  Holder& h = TheHolder();
  {
    std::lock_guard<std::mutex> l(h.lock);
    if (h.loaded) return h.settings;
  }
  ReloadPrinterSettings();
  std::lock_guard<std::mutex> l(h.lock);
  return h.settings;
}

void ReloadPrinterSettings() { SetPrinterSettings(ReadFile()); }

void SetPrinterSettings(const PrinterSettings& settings) {
  Holder& h = TheHolder();
  std::lock_guard<std::mutex> l(h.lock);
  h.settings = settings;
  h.loaded = true;
}

}  // namespace tillcast
