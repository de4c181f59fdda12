#include "base/process_settings.h"

#include "base/log.h"
#include "platform/ini_file.h"

namespace tillcast {
namespace {

// A number from setting.ini in [lo, hi]; anything else keeps `fallback`,
// with a warning.
uint32_t ReadSetting(const platform::IniFile& ini, const char* section, const char* key, uint32_t fallback, uint32_t lo,
                     uint32_t hi) {
  bool bad = false;
  const uint32_t v = ini.GetNumber(section, key, fallback, lo, hi, &bad);
  if (bad)
    Log(LOG_WARNING, "setting.ini [%s] %s=%s is not a number of %u to %u; %u is used", section, key,
        ini.GetString(section, key, "").c_str(), lo, hi, fallback);
  return v;
}

// A period in milliseconds: 100 ms to 10 minutes.
uint32_t ReadPeriodMs(const platform::IniFile& ini, const char* section, const char* key, uint32_t fallback) {
  return ReadSetting(ini, section, key, fallback, 100, 600000);
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
  settings->outboxRetryMs = ReadSetting(ini, "outbox", "retry_ms", settings->outboxRetryMs, 100, 3600000);
  settings->outboxRetryMaxMs = ReadSetting(ini, "outbox", "retry_max_ms", settings->outboxRetryMaxMs, 100, 86400000);
  settings->outboxMaxCount = ReadSetting(ini, "outbox", "max_count", settings->outboxMaxCount, 1, 10000000);
  settings->outboxMaxMb = ReadSetting(ini, "outbox", "max_mb", settings->outboxMaxMb, 1, 1048576);
  settings->outboxMaxDays = ReadSetting(ini, "outbox", "max_days", settings->outboxMaxDays, 0, 36500);
  settings->rejectedMaxCount = ReadSetting(ini, "rejected", "max_count", settings->rejectedMaxCount, 1, 10000000);
  settings->rejectedMaxMb = ReadSetting(ini, "rejected", "max_mb", settings->rejectedMaxMb, 1, 1048576);
  settings->rejectedMaxDays = ReadSetting(ini, "rejected", "max_days", settings->rejectedMaxDays, 0, 36500);
  settings->driverRetryMs = ReadPeriodMs(ini, "capture", "driver_retry_ms", ProcessSettings{}.driverRetryMs);
  settings->serviceRetryMs = ReadPeriodMs(ini, "capture", "service_retry_ms", ProcessSettings{}.serviceRetryMs);
}

}  // namespace tillcast
