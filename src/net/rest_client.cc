#include "net/rest_client.h"

#include <curl/curl.h>
#include <strings.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <exception>
#include <memory>
#include <stdexcept>

#include "app/log.h"
#include "app/process_settings.h"
#include "net/cloud_settings.h"

namespace tillcast::RestClient {
namespace {

constexpr int32_t kRequestTimeoutSeconds = 5;
std::atomic<int32_t> g_requestTimeout{kRequestTimeoutSeconds};

struct SlistFree {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using SlistPtr = std::unique_ptr<curl_slist, SlistFree>;

struct UploadObject {
  const char* data;
  size_t length;
};

CURL* Handle(void* p) { return static_cast<CURL*>(p); }

std::string Trim(const std::string& text) {
  static constexpr char kBlanks[] = " \t\r\n\v\f";
  const size_t first = text.find_first_not_of(kBlanks);
  if (first == std::string::npos) return "";
  const size_t last = text.find_last_not_of(kBlanks);
  return text.substr(first, last - first + 1);
}

// Where the reply goes, and how much of it may come: a server that sends
// without end is cut off rather than allowed to fill the memory.
struct ReplySink {
  Response* response;
  size_t limit;
  size_t received = 0;
  bool overflowed = false;

  // False (and the transfer ends) once headers and body pass the limit.
  bool Take(size_t n) {
    if (n > limit - std::min(limit, received)) {
      overflowed = true;
      return false;
    }
    received += n;
    return true;
  }
};

size_t WriteCallback(char* data, size_t size, size_t count, void* userdata) {
  auto* sink = static_cast<ReplySink*>(userdata);
  if (!sink->Take(size * count)) return 0;
  sink->response->body.append(data, size * count);
  return size * count;
}

size_t HeaderCallback(char* data, size_t size, size_t count, void* userdata) {
  auto* sink = static_cast<ReplySink*>(userdata);
  if (!sink->Take(size * count)) return 0;
  Response* r = sink->response;
  const std::string line(data, size * count);
  const size_t colon = line.find(':');
  if (colon != std::string::npos) {
    r->headers[Trim(line.substr(0, colon))] = Trim(line.substr(colon + 1));
  } else {
    const std::string trimmed = Trim(line);
    if (!trimmed.empty()) r->headers[trimmed] = "present";
  }
  return size * count;
}

size_t ReadCallback(char* buffer, size_t size, size_t count, void* userdata) {
  auto* u = static_cast<UploadObject*>(userdata);
  const size_t n = std::min(size * count, u->length);
  if (n > 0) {
    std::memcpy(buffer, u->data, n);
    u->data += n;
    u->length -= n;
  }
  return n;
}

// The process-wide proxy and TLS rules of every cloud request.
void ApplyProcessSettings(Connection& conn) {
  const ProcessSettings& ps = GetProcessSettings();
  if (!ps.httpIp.empty()) conn.setProxy(ps.httpIp + ":" + ps.httpPort);
  const CloudSettings cs = GetCloudSettings();
  conn.setMaxReplyBytes(cs.maxReplyBytes);
  if (!cs.caFile.empty()) conn.setCAInfoFilePath(cs.caFile);
  if (!cs.sslVerify) {
    Log(LOG_WARNING, "RestClient: TLS certificate verification is off (setting.ini [cloud] ssl_verify=0)");
    conn.setVerifyPeer(false);
  }
}

// A Connection that cannot be built (no curl handle) is a failed request,
// not an exception across the module boundary.
Response FailedToQuery() {
  Response r;
  r.code = -1;
  r.body = "Failed to query.";
  return r;
}

}  // namespace

Connection::Connection(const std::string& baseUrl) : baseUrl_(baseUrl) {
  curl_ = curl_easy_init();
  if (curl_ == nullptr) throw std::runtime_error("Couldn't initialize curl handle");
}

Connection::~Connection() {
  if (curl_ != nullptr) curl_easy_cleanup(Handle(curl_));
}

void Connection::setProxy(const std::string& address) {
  if (!address.empty() && strncasecmp(address.c_str(), "HTTP", 4) != 0) {
    proxy_ = "http://" + address;
  } else {
    proxy_ = address;
  }
}

std::string Connection::getUserAgent() const {
  std::string agent;
  if (!customUserAgent_.empty()) agent = customUserAgent_ + " ";
  return agent + "tillcast-http/";
}

Response Connection::get(const std::string& uri) { return performCurlRequest(uri); }

Response Connection::post(const std::string& uri, const std::string& data) {
  Log(LOG_INFO, "Connection:post: 1");
  curl_easy_setopt(Handle(curl_), CURLOPT_POST, 1L);
  curl_easy_setopt(Handle(curl_), CURLOPT_POSTFIELDS, data.data());
  curl_easy_setopt(Handle(curl_), CURLOPT_POSTFIELDSIZE, static_cast<long>(data.size()));
  Log(LOG_INFO, "Connection:post: 2");
  return performCurlRequest(uri);
}

Response Connection::put(const std::string& uri, const std::string& data) {
  UploadObject upload{data.data(), data.size()};
  curl_easy_setopt(Handle(curl_), CURLOPT_UPLOAD, 1L);
  curl_easy_setopt(Handle(curl_), CURLOPT_READFUNCTION, ReadCallback);
  curl_easy_setopt(Handle(curl_), CURLOPT_READDATA, &upload);
  curl_easy_setopt(Handle(curl_), CURLOPT_INFILESIZE, static_cast<long>(data.size()));
  return performCurlRequest(uri);
}

Response Connection::del(const std::string& uri) {
  curl_easy_setopt(Handle(curl_), CURLOPT_CUSTOMREQUEST, "DELETE");
  return performCurlRequest(uri);
}

Response Connection::head(const std::string& uri) {
  curl_easy_setopt(Handle(curl_), CURLOPT_CUSTOMREQUEST, "HEAD");
  curl_easy_setopt(Handle(curl_), CURLOPT_NOBODY, 1L);
  return performCurlRequest(uri);
}

namespace {

thread_local const std::atomic<bool>* t_abort = nullptr;

// Called by libcurl about once a second and on every chunk: a nonzero
// return ends the transfer.
int AbortCheck(void*, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return t_abort != nullptr && t_abort->load() ? 1 : 0;
}

}  // namespace

ScopedAbort::ScopedAbort(const std::atomic<bool>* abort) : previous_(t_abort) { t_abort = abort; }
ScopedAbort::~ScopedAbort() { t_abort = previous_; }

Response Connection::performCurlRequest(const std::string& uri) {
  CURL* h = Handle(curl_);
  Log(LOG_INFO, "Connection:performCurlRequest: 1");
  Response ret;
  SlistPtr headerList;
  const std::string url = baseUrl_ + uri;

  Log(LOG_INFO, "Connection:performCurlRequest: 2");
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  // Only the web: an address from the cloud (a logo) must not read local
  // files or reach other services, neither directly nor by a redirect.
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  ReplySink sink{&ret, maxReplyBytes_};
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, WriteCallback);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &sink);
  curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, HeaderCallback);
  curl_easy_setopt(h, CURLOPT_HEADERDATA, &sink);
  // A declared length over the limit is refused before any of it comes.
  curl_easy_setopt(h, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(maxReplyBytes_));

  Log(LOG_INFO, "Connection:performCurlRequest: 3");
  for (const auto& [name, value] : headers_) {
    const std::string line = name + ": " + value;
    curl_slist* grown = curl_slist_append(headerList.get(), line.c_str());
    if (grown != nullptr) {
      (void)headerList.release();
      headerList.reset(grown);
    }
  }
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, headerList.get());

  std::string userPwd;
  if (!basicAuthUser_.empty()) {
    userPwd = basicAuthUser_ + ":" + basicAuthPassword_;
    curl_easy_setopt(h, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC));
    curl_easy_setopt(h, CURLOPT_USERPWD, userPwd.c_str());
  }
  const std::string agent = getUserAgent();
  curl_easy_setopt(h, CURLOPT_USERAGENT, agent.c_str());

  Log(LOG_INFO, "Connection:performCurlRequest: 4");
  if (timeout_ != 0) {
    curl_easy_setopt(h, CURLOPT_TIMEOUT, static_cast<long>(timeout_));
    // Requests run on worker threads: the timeout must not rely on signals.
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  }
  if (followRedirects_) curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
  if (noSignal_) curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);

  if (!caInfoFilePath_.empty()) curl_easy_setopt(h, CURLOPT_CAINFO, caInfoFilePath_.c_str());
  // The server's certificate is checked unless the installation switched
  // that off for a server with a private certificate.
  if (!verifyPeer_) {
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 0L);
  }
  if (!certPath_.empty()) curl_easy_setopt(h, CURLOPT_SSLCERT, certPath_.c_str());
  if (!certType_.empty()) curl_easy_setopt(h, CURLOPT_SSLCERTTYPE, certType_.c_str());
  if (!keyPath_.empty()) curl_easy_setopt(h, CURLOPT_SSLKEY, keyPath_.c_str());
  if (!keyPassword_.empty()) curl_easy_setopt(h, CURLOPT_KEYPASSWD, keyPassword_.c_str());

  if (!proxy_.empty()) {
    curl_easy_setopt(h, CURLOPT_PROXY, proxy_.c_str());
    curl_easy_setopt(h, CURLOPT_HTTPPROXYTUNNEL, 1L);
  } else {
    // No proxy set means direct, whatever http_proxy the environment holds.
    curl_easy_setopt(h, CURLOPT_PROXY, "");
  }

  if (t_abort != nullptr) {
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, AbortCheck);
  }

  Log(LOG_INFO, "Connection:performCurlRequest: 4.1");
  const CURLcode res = curl_easy_perform(h);
  Log(LOG_INFO, "Connection:performCurlRequest: 4.2 %d", static_cast<int>(res));
  if (res == CURLE_UNSUPPORTED_PROTOCOL) {
    const size_t scheme = url.find("://");
    Log(LOG_ERROR, "RestClient: refused %s: only http and https addresses are fetched",
        scheme == std::string::npos || scheme > 16 ? "an address" : (url.substr(0, scheme) + "://").c_str());
  } else if (sink.overflowed || res == CURLE_FILESIZE_EXCEEDED) {
    Log(LOG_ERROR, "RestClient: the reply is larger than %zu bytes ([cloud] max_reply_mb): transfer stopped",
        maxReplyBytes_);
  }
  if (res != CURLE_OK) {
    if (res == CURLE_OPERATION_TIMEDOUT) {
      ret.code = res;
      ret.body = "Operation Timeout.";
    } else if (res == CURLE_SSL_CERTPROBLEM) {
      ret.code = res;
      ret.body = curl_easy_strerror(res);
    } else {
      ret.code = -1;
      ret.body = "Failed to query.";
    }
  } else {
    Log(LOG_INFO, "Connection:performCurlRequest: 4.3");
    long httpCode = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &httpCode);
    Log(LOG_INFO, "Connection:performCurlRequest: 4.4 %ld", httpCode);
    ret.code = static_cast<int32_t>(httpCode);
  }

  Log(LOG_INFO, "Connection:performCurlRequest: 5");
  curl_easy_getinfo(h, CURLINFO_TOTAL_TIME, &lastRequest_.totalTime);
  curl_easy_getinfo(h, CURLINFO_NAMELOOKUP_TIME, &lastRequest_.nameLookupTime);
  curl_easy_getinfo(h, CURLINFO_CONNECT_TIME, &lastRequest_.connectTime);
  curl_easy_getinfo(h, CURLINFO_APPCONNECT_TIME, &lastRequest_.appConnectTime);
  curl_easy_getinfo(h, CURLINFO_PRETRANSFER_TIME, &lastRequest_.preTransferTime);
  curl_easy_getinfo(h, CURLINFO_STARTTRANSFER_TIME, &lastRequest_.startTransferTime);
  curl_easy_getinfo(h, CURLINFO_REDIRECT_TIME, &lastRequest_.redirectTime);
  long redirects = 0;
  curl_easy_getinfo(h, CURLINFO_REDIRECT_COUNT, &redirects);
  lastRequest_.redirectCount = static_cast<int32_t>(redirects);

  Log(LOG_INFO, "Connection:performCurlRequest: 6");
  headerList.reset();
  curl_easy_reset(h);
  return ret;
}

Response get(const std::string& url) {
  try {
    Log(LOG_INFO, "RestClient:get 1");
    Connection conn("");
    Log(LOG_INFO, "RestClient:get 2");
    ApplyProcessSettings(conn);
    conn.setTimeout(g_requestTimeout.load());
    Response r = conn.get(url);
    Log(LOG_INFO, "RestClient:get 3");
    return r;
  } catch (const std::exception& e) {
    Log(LOG_ERROR, "RestClient:get %s", e.what());
    return FailedToQuery();
  }
}

Response post(const std::string& url, const std::string& contentType, const std::string& data) {
  try {
    Log(LOG_INFO, "RestClient:1");
    Connection conn("");
    Log(LOG_INFO, "RestClient:2");
    conn.setTimeout(g_requestTimeout.load());
    ApplyProcessSettings(conn);
    conn.appendHeader("Content-Type", contentType);
    Log(LOG_INFO, "RestClient:3");
    Response r = conn.post(url, data);
    Log(LOG_INFO, "RestClient:4");
    return r;
  } catch (const std::exception& e) {
    Log(LOG_ERROR, "RestClient:post %s", e.what());
    return FailedToQuery();
  }
}

Response put(const std::string& url, const std::string& contentType, const std::string& data) {
  try {
    Connection conn("");
    ApplyProcessSettings(conn);
    conn.appendHeader("Content-Type", contentType);
    return conn.put(url, data);
  } catch (const std::exception&) {
    return FailedToQuery();
  }
}

Response del(const std::string& url) {
  try {
    Connection conn("");
    ApplyProcessSettings(conn);
    return conn.del(url);
  } catch (const std::exception&) {
    return FailedToQuery();
  }
}

Response head(const std::string& url) {
  try {
    Connection conn("");
    ApplyProcessSettings(conn);
    return conn.head(url);
  } catch (const std::exception&) {
    return FailedToQuery();
  }
}

void SetRequestTimeoutForTest(int32_t seconds) { g_requestTimeout.store(seconds); }

}  // namespace tillcast::RestClient
