// The [cloud] section of setting.ini: where the order service is and how
// the server certificates of HTTPS requests are checked.
//
//   [cloud]
//   order_url=https://open.example     ; order service base (scheme and host)
//   ca_file=/etc/tillcast/ca.pem       ; CA bundle instead of the system's
//   ssl_verify=0                       ; only for a server with a private certificate
//
// Thread-safe: every function may be called from any thread.
#pragma once

#include <string>

namespace tillcast {

// Built-in base of the order service; [cloud] order_url replaces it.
inline constexpr const char* kDefaultOrderServiceUrl = "https://open.tillcast.example";

struct CloudSettings {
  std::string orderUrl;   // "" = kDefaultOrderServiceUrl
  std::string caFile;     // "" = the system's CA bundle
  bool sslVerify = true;  // false only when ssl_verify is "0"
};

// The settings, read from <data folder>/setting.ini on first use.
CloudSettings GetCloudSettings();

// Reads <data folder>/setting.ini again (after the file or the data folder
// changed).
void ReloadCloudSettings();

// Replaces the settings in memory (tests, and callers that read the file
// themselves).
void SetCloudSettings(const CloudSettings& settings);

// The order service base actually used.
std::string OrderServiceBase();

}  // namespace tillcast
