// A thin HTTP(S) client over libcurl's easy interface.
//
// One request is one Connection: it owns one easy handle, collects the
// request settings, runs the transfer and hands back a Response. The
// module-level functions build a fresh Connection per call with the
// process-wide proxy and the [cloud] TLS settings, so calls from different
// threads share nothing but libcurl's global state (initialised by NetMgr).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "net/cloud_settings.h"

namespace tillcast::RestClient {

// Reply header name -> value, one value per name (a later line wins).
using HeaderFields = std::map<std::string, std::string>;

// code: the HTTP status, or a transport failure: 28 timeout ("Operation
// Timeout."), 58 local certificate problem (libcurl's text), -1 anything
// else ("Failed to query.").
struct Response {
  int32_t code = 0;
  std::string body;
  HeaderFields headers;
};

// Timing of the last transfer as libcurl reports it, in seconds.
struct RequestInfo {
  double totalTime = 0;
  double nameLookupTime = 0;
  double connectTime = 0;
  double appConnectTime = 0;
  double preTransferTime = 0;
  double startTransferTime = 0;
  double redirectTime = 0;
  int32_t redirectCount = 0;
};

// Not thread-safe: one thread at a time per object. Only http and https
// addresses are fetched, also when a reply redirects.
class Connection {
 public:
  // Throws std::runtime_error("Couldn't initialize curl handle") when
  // libcurl cannot create a handle.
  explicit Connection(const std::string& baseUrl);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  void setTimeout(int32_t seconds) { timeout_ = seconds; }
  void setFollowRedirect(bool follow) { followRedirects_ = follow; }
  void setNoSignal(bool noSignal) { noSignal_ = noSignal; }
  void setBasicAuth(const std::string& user, const std::string& password) {
    basicAuthUser_ = user;
    basicAuthPassword_ = password;
  }
  void setUserAgent(const std::string& agent) { customUserAgent_ = agent; }
  void setCAInfoFilePath(const std::string& path) { caInfoFilePath_ = path; }
  void setCertPath(const std::string& path) { certPath_ = path; }
  void setCertType(const std::string& type) { certType_ = type; }
  void setKeyPath(const std::string& path) { keyPath_ = path; }
  void setKeyPassword(const std::string& password) { keyPassword_ = password; }
  // Peer and host verification of HTTPS servers; on unless switched off.
  void setVerifyPeer(bool verify) { verifyPeer_ = verify; }
  // The most a reply (headers and body) may hold; a larger one ends the
  // transfer as a failed request (code -1).
  void setMaxReplyBytes(size_t bytes) { maxReplyBytes_ = bytes; }
  // "host:port" gets "http://" in front; an address starting with "http"
  // in any case is kept as it is.
  void setProxy(const std::string& address);
  void appendHeader(const std::string& name, const std::string& value) { headers_[name] = value; }

  std::string getUserAgent() const;
  const RequestInfo& GetInfo() const { return lastRequest_; }

  Response get(const std::string& uri);
  Response post(const std::string& uri, const std::string& data);
  Response put(const std::string& uri, const std::string& data);
  Response del(const std::string& uri);
  Response head(const std::string& uri);

 private:
  Response performCurlRequest(const std::string& uri);

  void* curl_ = nullptr;  // CURL*, owned
  std::string baseUrl_;
  HeaderFields headers_;
  int32_t timeout_ = 0;
  bool followRedirects_ = false;
  bool noSignal_ = false;
  std::string basicAuthUser_;
  std::string basicAuthPassword_;
  std::string customUserAgent_;
  std::string caInfoFilePath_;
  RequestInfo lastRequest_;
  std::string certPath_;
  std::string certType_;
  std::string keyPath_;
  std::string keyPassword_;
  std::string proxy_;
  bool verifyPeer_ = true;
  size_t maxReplyBytes_ = kDefaultMaxReplyBytes;
};

// The cloud requests: each builds its own Connection with the proxy of
// setting.ini [proxy] and the TLS settings of [cloud]; get and post give up
// after 5 seconds. Thread-safe; never throw.
Response get(const std::string& url);
Response post(const std::string& url, const std::string& contentType, const std::string& data);
Response put(const std::string& url, const std::string& contentType, const std::string& data);
Response del(const std::string& url);
Response head(const std::string& url);

// Test hook: the whole-transfer limit of get and post (5 seconds).
void SetRequestTimeoutForTest(int32_t seconds);

// While an object lives, every transfer of the calling thread ends soon
// after `*abort` becomes true (reply code -1), so a thread that is asked to
// stop is never held by a slow or stalled server. Scopes nest; the flag must
// outlive the object.
class ScopedAbort {
 public:
  explicit ScopedAbort(const std::atomic<bool>* abort);
  ~ScopedAbort();
  ScopedAbort(const ScopedAbort&) = delete;
  ScopedAbort& operator=(const ScopedAbort&) = delete;

 private:
  const std::atomic<bool>* previous_;
};

}  // namespace tillcast::RestClient
