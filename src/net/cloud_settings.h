// The [cloud] section of setting.ini: where the order service is and how
// the server certificates of HTTPS requests are checked.
//
//   [cloud]
//   order_url=https://open.example     ; order service base (scheme and host)
//   ca_file=/etc/tillcast/ca.pem       ; CA bundle instead of the system's
//   ssl_verify=0                       ; only for a server with a private certificate
//   max_reply_mb=32                    ; the largest reply taken (1 to 1024)
//
// Thread-safe: every function may be called from any thread.
#pragma once

#include <cstddef>
#include <string>

namespace tillcast {

// Built-in base of the order service; [cloud] order_url replaces it.
inline constexpr const char* kDefaultOrderServiceUrl = "https://open.tillcast.example";

// The default limit of a reply: far above any logo, template or order the
// cloud sends, far below what would strain the till PC.
inline constexpr size_t kDefaultMaxReplyBytes = size_t{32} << 20;

struct CloudSettings {
  std::string orderUrl;                          // "" = kDefaultOrderServiceUrl
  std::string caFile;                            // "" = the system's CA bundle
  bool sslVerify = true;                         // false only when ssl_verify is "0"
  size_t maxReplyBytes = kDefaultMaxReplyBytes;  // [cloud] max_reply_mb
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
