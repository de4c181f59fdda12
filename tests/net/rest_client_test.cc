// The HTTP client against real servers on loopback.
#include <httplib.h>

#include <gtest/gtest.h>

#include <future>
#include <mutex>
#include <string>
#include <thread>

#include "net/rest_client.h"
#include "net_fixture.h"
#include "net_test_support.h"

namespace tillcast {
namespace {

class RestClientTest : public test::NetFixture {};

// An httplib server on a free loopback port, served on its own thread once
// its routes are in place.
class HttpServer {
 public:
  void Start() {
    port_ = server.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server.listen_after_bind(); });
    test::WaitUntil([&] { return server.is_running(); }, 5000);
  }
  ~HttpServer() {
    server.stop();
    if (thread_.joinable()) thread_.join();
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
  httplib::Server server;

 private:
  int port_ = 0;
  std::thread thread_;
};

TEST_F(RestClientTest, NotFoundKeepsStatusAndBody) {
  HttpServer http;
  http.server.Get("/missing", [](const httplib::Request&, httplib::Response& res) {
    res.status = 404;
    res.set_content("no such thing", "text/plain");
  });
  http.Start();
  const RestClient::Response r = RestClient::get(http.url() + "/missing");
  EXPECT_EQ(r.code, 404);
  EXPECT_EQ(r.body, "no such thing");
  EXPECT_TRUE(log_.Contains("[INFO]: RestClient:get 3\r\n"));
  EXPECT_TRUE(log_.Contains("[INFO]: Connection:performCurlRequest: 4.4 404\r\n"));
}

TEST_F(RestClientTest, ReplyHeadersAreTrimmedAndTheStatusLineIsPresent) {
  test::RawServer raw(
      "HTTP/1.1 200 OK  \r\nX-Spaced \t:  value with blanks  \t\r\nX-Plain: v\r\nContent-Length: 5\r\n\r\nhello");
  const RestClient::Response r = RestClient::get(raw.url() + "/h");
  EXPECT_EQ(r.code, 200);
  EXPECT_EQ(r.body, "hello");
  EXPECT_EQ(r.headers.at("X-Spaced"), "value with blanks");
  EXPECT_EQ(r.headers.at("X-Plain"), "v");
  EXPECT_EQ(r.headers.at("HTTP/1.1 200 OK"), "present");
  // libcurl itself refuses other lines without a colon; the blank line
  // that ends the head leaves no entry.
  EXPECT_EQ(r.headers.count(""), 0u);
}

TEST_F(RestClientTest, PostSendsFormContentTypeAndTheAgentName) {
  test::RawServer raw("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
  const RestClient::Response r = RestClient::post(raw.url() + "/p", "application/x-www-form-urlencoded", "a=1&b=2");
  EXPECT_EQ(r.code, 200);
  ASSERT_EQ(raw.Requests().size(), 1u);
  const std::string req = raw.Requests()[0];
  EXPECT_EQ(req.rfind("POST /p HTTP/1.1\r\n", 0), 0u) << req;
  EXPECT_NE(req.find("\r\nContent-Type: application/x-www-form-urlencoded\r\n"), std::string::npos) << req;
  EXPECT_NE(req.find("\r\nUser-Agent: tillcast-http/\r\n"), std::string::npos) << req;
  EXPECT_NE(req.find("\r\n\r\na=1&b=2"), std::string::npos) << req;
  for (const char* line : {"[INFO]: RestClient:1\r\n", "[INFO]: RestClient:4\r\n", "[INFO]: Connection:post: 2\r\n"})
    EXPECT_TRUE(log_.Contains(line)) << line;
}

TEST_F(RestClientTest, RefusedPortAndUnknownHostFailToQuery) {
  const int closed = test::FreeLoopbackPort();
  for (const std::string& url :
       {"http://127.0.0.1:" + std::to_string(closed) + "/", std::string("http://no-such-host.invalid/")}) {
    const RestClient::Response g = RestClient::get(url);
    EXPECT_EQ(g.code, -1) << url;
    EXPECT_EQ(g.body, "Failed to query.");
    const RestClient::Response p = RestClient::post(url, "text/plain", "x");
    EXPECT_EQ(p.code, -1);
    EXPECT_EQ(p.body, "Failed to query.");
  }
}

// Waits the real 5 seconds once, for get and post at the same time.
TEST_F(RestClientTest, SilentServerTimesOutAfterFiveSeconds) {
  test::RawServer silent("");
  auto get = std::async(std::launch::async, [&] { return RestClient::get(silent.url() + "/slow"); });
  auto post =
      std::async(std::launch::async, [&] { return RestClient::post(silent.url() + "/slow", "text/plain", "x"); });
  for (RestClient::Response r : {get.get(), post.get()}) {
    EXPECT_EQ(r.code, 28);
    EXPECT_EQ(r.body, "Operation Timeout.");
  }
}

TEST_F(RestClientTest, ConnectionSettersShapeTheRequest) {
  test::RawServer raw("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
  RestClient::Connection conn(raw.url());
  EXPECT_EQ(conn.getUserAgent(), "tillcast-http/");
  conn.setUserAgent("till/2");
  EXPECT_EQ(conn.getUserAgent(), "till/2 tillcast-http/");
  conn.setBasicAuth("user", "pw");
  conn.appendHeader("X-A", "1");
  conn.appendHeader("X-A", "2");
  EXPECT_EQ(conn.get("/base-joined").code, 200);
  EXPECT_GT(conn.GetInfo().totalTime, 0.0);
  // The handle was reset: the next request carries only what is set again.
  EXPECT_EQ(conn.del("/d").code, 200);
  ASSERT_EQ(raw.Requests().size(), 2u);
  const std::string first = raw.Requests()[0];
  EXPECT_EQ(first.rfind("GET /base-joined HTTP/1.1\r\n", 0), 0u) << first;
  EXPECT_NE(first.find("\r\nAuthorization: Basic dXNlcjpwdw==\r\n"), std::string::npos) << first;
  EXPECT_NE(first.find("\r\nX-A: 2\r\n"), std::string::npos) << first;
  EXPECT_NE(first.find("\r\nUser-Agent: till/2 tillcast-http/\r\n"), std::string::npos) << first;
  EXPECT_EQ(raw.Requests()[1].rfind("DELETE /d HTTP/1.1\r\n", 0), 0u);
}

TEST_F(RestClientTest, PutUploadsTheWholeBodyAndHeadHasNone) {
  HttpServer http;
  std::mutex lock;
  std::string received;
  http.server.Put("/up", [&](const httplib::Request& req, httplib::Response& res) {
    std::lock_guard<std::mutex> l(lock);
    received = req.body;
    res.set_content("stored", "text/plain");
  });
  http.server.Get("/h", [](const httplib::Request&, httplib::Response& res) { res.set_content("body", "text/plain"); });
  http.Start();
  const std::string payload(100000, 'z');
  const RestClient::Response r = RestClient::put(http.url() + "/up", "application/octet-stream", payload);
  EXPECT_EQ(r.code, 200);
  EXPECT_EQ(r.body, "stored");
  {
    std::lock_guard<std::mutex> l(lock);
    EXPECT_EQ(received, payload);
  }
  const RestClient::Response h = RestClient::head(http.url() + "/h");
  EXPECT_EQ(h.code, 200);
  EXPECT_EQ(h.body, "");
}

TEST_F(RestClientTest, EmptyProxySettingGoesDirectEvenWithProxyEnvironment) {
  test::RawServer trap("HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\n\r\n");
  test::ScopedEnv env1("http_proxy", trap.url());
  test::ScopedEnv env2("HTTP_PROXY", trap.url());
  test::RawServer target("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
  // Loopback is often excluded by no_proxy; point at it by name-less IP and
  // clear the exclusions.
  test::ScopedEnv env3("no_proxy", "");
  test::ScopedEnv env4("NO_PROXY", "");
  EXPECT_EQ(RestClient::get(target.url() + "/").code, 200);
  EXPECT_EQ(trap.Connections(), 0);
}

TEST_F(RestClientTest, ProxyAddressWithoutSchemeTunnelsThroughHttpProxy) {
  // A fake proxy that refuses the tunnel shows what the client asked it.
  test::RawServer proxy("HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n");
  const std::string hostPort = "127.0.0.1:" + std::to_string(proxy.port());
  for (const std::string& address : {hostPort, "HtTp://" + hostPort}) {
    RestClient::Connection conn("");
    conn.setProxy(address);
    conn.get("http://127.0.0.1:9/x");  // the proxy is asked for a CONNECT tunnel first
  }
  GetProcessSettings().httpIp = "127.0.0.1";
  GetProcessSettings().httpPort = std::to_string(proxy.port());
  RestClient::post("http://127.0.0.1:9/y", "text/plain", "z");
  const auto requests = proxy.Requests();
  ASSERT_EQ(requests.size(), 3u);
  for (const std::string& req : requests) EXPECT_EQ(req.rfind("CONNECT 127.0.0.1:9 HTTP/1.1\r\n", 0), 0u) << req;

  // "https://..." is kept as it is: an HTTPS proxy, so the fake proxy sees a
  // TLS handshake instead of a CONNECT line.
  RestClient::Connection tls("");
  tls.setProxy("https://" + hostPort);
  EXPECT_NE(tls.get("http://127.0.0.1:9/z").code, 200);
  ASSERT_EQ(proxy.Requests().size(), 4u);
  EXPECT_EQ(proxy.Requests()[3].rfind("CONNECT", 0), std::string::npos);
}

// A hostile or broken server that sends more than any cloud reply holds is
// cut off at the limit, whether it declares the length or streams without
// end; a reply within the limit is untouched.
TEST_F(RestClientTest, AReplyOverTheLimitIsCutOff) {
  CloudSettings settings;
  settings.maxReplyBytes = 64 * 1024;
  SetCloudSettings(settings);
  HttpServer http;
  http.server.Get("/declared", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(std::string(1 << 20, 'x'), "application/octet-stream");
  });
  http.server.Get("/endless", [](const httplib::Request&, httplib::Response& res) {
    res.set_chunked_content_provider("application/octet-stream", [](size_t, httplib::DataSink& sink) {
      const std::string chunk(16 * 1024, 'y');
      return sink.write(chunk.data(), chunk.size());
    });
  });
  http.server.Get("/fits", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(std::string(60 * 1024, 'z'), "application/octet-stream");
  });
  http.Start();
  for (const char* path : {"/declared", "/endless"}) {
    const RestClient::Response r = RestClient::get(http.url() + path);
    EXPECT_EQ(r.code, -1) << path;
    EXPECT_EQ(r.body, "Failed to query.") << path;
  }
  EXPECT_TRUE(log_.Contains("[ERROR]: RestClient: the reply is larger than 65536 bytes ([cloud] max_reply_mb)"))
      << log_.Text();
  const RestClient::Response fits = RestClient::get(http.url() + "/fits");
  EXPECT_EQ(fits.code, 200);
  EXPECT_EQ(fits.body.size(), 60u * 1024);
}

TEST_F(RestClientTest, TheReplyLimitIsASettingWithAGenerousDefault) {
  EXPECT_EQ(GetCloudSettings().maxReplyBytes, size_t{32} << 20);
  const struct {
    const char* value;
    size_t bytes;
  } cases[] = {{"8", size_t{8} << 20},
               {"1024", size_t{1024} << 20},
               {"0", size_t{32} << 20},
               {"2000", size_t{32} << 20},
               {"lots", size_t{32} << 20}};
  for (const auto& c : cases) {
    test::WriteFile(GetDataFolder() + "/setting.ini", std::string("[cloud]\r\nmax_reply_mb=") + c.value + "\r\n");
    ReloadCloudSettings();
    EXPECT_EQ(GetCloudSettings().maxReplyBytes, c.bytes) << c.value;
  }
}

// Only the web is fetched: a local file, named directly or by a redirect
// of an http reply, is never read.
TEST_F(RestClientTest, OnlyHttpAndHttpsAreFetchedAlsoAfterARedirect) {
  test::WriteFile(dir_.Sub("private.txt"), "the shop's private file");
  const RestClient::Response direct = RestClient::get("file://" + dir_.Sub("private.txt"));
  EXPECT_EQ(direct.code, -1);
  EXPECT_EQ(direct.body, "Failed to query.");
  EXPECT_TRUE(log_.Contains("[ERROR]: RestClient: refused file://: only http and https addresses are fetched"));

  test::RawServer redirect("HTTP/1.1 302 Found\r\nLocation: file://" + dir_.Sub("private.txt") +
                           "\r\nContent-Length: 0\r\n\r\n");
  RestClient::Connection conn("");
  conn.setFollowRedirect(true);
  const RestClient::Response r = conn.get(redirect.url() + "/logo.png");
  EXPECT_EQ(r.code, -1);
  EXPECT_EQ(r.body.find("private"), std::string::npos);
  EXPECT_EQ(redirect.Requests().size(), 1u);
}

}  // namespace
}  // namespace tillcast
