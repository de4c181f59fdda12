// Settings read once from setting.ini at start-up, before any thread that
// reads them starts; read-only afterwards.
#pragma once

#include <cstdint>
#include <string>

namespace tillcast {

struct ProcessSettings {
  std::string httpIp;     // [proxy] http_ip: HTTP proxy host for cloud requests and the updater
  std::string httpPort;   // [proxy] http_port
  std::string redisIp;    // [proxy] redis_ip: replaces the Redis host the cloud gives
  std::string redisPort;  // [proxy] redis_port: replaces the Redis port the cloud gives
  // [capture] driver_retry_ms: how often the link to the capture driver
  // connects while it is away, and checks it is there while connected.
  uint32_t driverRetryMs = 5000;
  // [capture] service_retry_ms: how often the driver service is started
  // until it runs, and checked (and started again) afterwards.
  uint32_t serviceRetryMs = 2000;
};

ProcessSettings& GetProcessSettings();

}  // namespace tillcast
