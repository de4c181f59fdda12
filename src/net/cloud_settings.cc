#include "net/cloud_settings.h"

#include <cstdlib>
#include <mutex>

#include "app/text_util.h"
#include "platform/ini_file.h"

namespace tillcast {
namespace {

std::mutex& SettingsLock() {
  static std::mutex lock;
  return lock;
}

struct Holder {
  bool loaded = false;
  CloudSettings settings;
};

Holder& TheHolder() {
  static Holder holder;
  return holder;
}

CloudSettings ReadFile() {
  platform::IniFile ini;
  ini.Load(GetDataFolder() + "/setting.ini");
  CloudSettings s;
  s.orderUrl = ini.GetString("cloud", "order_url", "");
  s.caFile = ini.GetString("cloud", "ca_file", "");
  s.sslVerify = ini.GetString("cloud", "ssl_verify", "1") != "0";
  // Whole megabytes; a value that is no number or out of range keeps the
  // default.
  const std::string mb = ini.GetString("cloud", "max_reply_mb", "");
  char* end = nullptr;
  const unsigned long n = std::strtoul(mb.c_str(), &end, 10);
  if (!mb.empty() && *end == '\0' && n >= 1 && n <= 1024) s.maxReplyBytes = static_cast<size_t>(n) << 20;
  return s;
}

}  // namespace

CloudSettings GetCloudSettings() {
  {
    std::lock_guard<std::mutex> l(SettingsLock());
    if (TheHolder().loaded) return TheHolder().settings;
  }
  ReloadCloudSettings();
  std::lock_guard<std::mutex> l(SettingsLock());
  return TheHolder().settings;
}

void ReloadCloudSettings() { SetCloudSettings(ReadFile()); }

void SetCloudSettings(const CloudSettings& settings) {
  std::lock_guard<std::mutex> l(SettingsLock());
  TheHolder().settings = settings;
  TheHolder().loaded = true;
}

std::string OrderServiceBase() {
  const std::string url = GetCloudSettings().orderUrl;
  return url.empty() ? kDefaultOrderServiceUrl : url;
}

}  // namespace tillcast
