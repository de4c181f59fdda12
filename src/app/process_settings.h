// Settings read once from setting.ini at start-up, before any thread that
// reads them starts; read-only afterwards.
#pragma once

#include <string>

namespace tillcast {

struct ProcessSettings {
  std::string httpIp;     // [proxy] http_ip: HTTP proxy host for cloud requests and the updater
  std::string httpPort;   // [proxy] http_port
  std::string redisIp;    // [proxy] redis_ip: replaces the Redis host the cloud gives
  std::string redisPort;  // [proxy] redis_port: replaces the Redis port the cloud gives
};

ProcessSettings& GetProcessSettings();

}  // namespace tillcast
