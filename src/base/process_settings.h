// Settings read once from setting.ini at start-up, before any thread that
// reads them starts; read-only afterwards.
#pragma once

#include <cstdint>
#include <string>

namespace tillcast {

namespace platform {
class IniFile;
}

struct ProcessSettings {
  std::string httpIp;     // [proxy] http_ip: HTTP proxy host for cloud requests and the updater
  std::string httpPort;   // [proxy] http_port
  std::string redisIp;    // [proxy] redis_ip: replaces the Redis host the cloud gives
  std::string redisPort;  // [proxy] redis_port: replaces the Redis port the cloud gives

  // [outbox]: uploads that wait for the cloud.
  uint32_t outboxRetryMs = 5000;       // retry_ms: pause after the first failed attempt (doubled after each)
  uint32_t outboxRetryMaxMs = 300000;  // retry_max_ms: the longest pause
  uint32_t outboxMaxCount = 5000;      // max_count
  uint32_t outboxMaxMb = 512;          // max_mb
  uint32_t outboxMaxDays = 30;         // max_days
  // [rejected]: uploads the cloud refused for good, kept for a look.
  uint32_t rejectedMaxCount = 1000;
  uint32_t rejectedMaxMb = 128;
  uint32_t rejectedMaxDays = 90;
  // [capture] driver_retry_ms: how often the link to the capture driver
  // connects while it is away, and checks it is there while connected.
  uint32_t driverRetryMs = 5000;
  // [capture] service_retry_ms: how often the driver service is started
  // until it runs, and checked (and started again) afterwards.
  uint32_t serviceRetryMs = 2000;
};

ProcessSettings& GetProcessSettings();

// Reads the settings above from setting.ini (`ini`) into `settings`: the
// proxy keys as they are, numbers past their range clamped, a malformed
// number keeping the value it replaces (a bad period with a warning).
void ReadProcessSettings(const platform::IniFile& ini, ProcessSettings* settings);

}  // namespace tillcast
