#include "app/process_settings.h"

#include <algorithm>
#include <cstdlib>

#include "app/log.h"
#include "platform/ini_file.h"

namespace tillcast {
namespace {

// A period in milliseconds from setting.ini: digits only, 100 ms to 10
// minutes; anything else keeps `fallback`, with a warning.
uint32_t ReadPeriodMs(const platform::IniFile& ini, const char* section, const char* key, uint32_t fallback) {
  const std::string text = ini.GetString(section, key, "");
  if (text.empty()) return fallback;
  char* end = nullptr;
  const unsigned long long v = std::strtoull(text.c_str(), &end, 10);
  if (text[0] < '0' || text[0] > '9' || *end != '\0' || v < 100 || v > 600000) {
    Log(LOG_WARNING, "setting.ini [%s] %s=%s is not a period of 100 to 600000 ms; %u is used", section, key,
        text.c_str(), fallback);
    return fallback;
  }
  return static_cast<uint32_t>(v);
}

}  // namespace

ProcessSettings& GetProcessSettings() {
  static ProcessSettings settings;
  return settings;
}

void ReadProcessSettings(const platform::IniFile& ini, ProcessSettings* settings) {
  settings->httpIp = ini.GetString("proxy", "http_ip", "");
  settings->httpPort = ini.GetString("proxy", "http_port", "");
  settings->redisIp = ini.GetString("proxy", "redis_ip", "");
  settings->redisPort = ini.GetString("proxy", "redis_port", "");
  const auto number = [&ini](const char* section, const char* key, uint32_t fallback, uint32_t lo, uint32_t hi) {
    const std::string text = ini.GetString(section, key, "");
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || text[0] == '-') return fallback;
    return static_cast<uint32_t>(std::clamp<unsigned long long>(v, lo, hi));
  };
  settings->outboxRetryMs = number("outbox", "retry_ms", settings->outboxRetryMs, 100, 3600000);
  settings->outboxRetryMaxMs = number("outbox", "retry_max_ms", settings->outboxRetryMaxMs, 100, 86400000);
  settings->outboxMaxCount = number("outbox", "max_count", settings->outboxMaxCount, 1, 10000000);
  settings->outboxMaxMb = number("outbox", "max_mb", settings->outboxMaxMb, 1, 1048576);
  settings->outboxMaxDays = number("outbox", "max_days", settings->outboxMaxDays, 0, 36500);
  settings->rejectedMaxCount = number("rejected", "max_count", settings->rejectedMaxCount, 1, 10000000);
  settings->rejectedMaxMb = number("rejected", "max_mb", settings->rejectedMaxMb, 1, 1048576);
  settings->rejectedMaxDays = number("rejected", "max_days", settings->rejectedMaxDays, 0, 36500);
  settings->driverRetryMs = ReadPeriodMs(ini, "capture", "driver_retry_ms", ProcessSettings{}.driverRetryMs);
  settings->serviceRetryMs = ReadPeriodMs(ini, "capture", "service_retry_ms", ProcessSettings{}.serviceRetryMs);
}

}  // namespace tillcast
