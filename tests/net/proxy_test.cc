// Cloud requests through a real CONNECT proxy (tinyproxy).
#include <httplib.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "net/rest_client.h"
#include "net_fixture.h"
#include "net_test_support.h"

namespace tillcast {
namespace {

class ProxyTest : public test::NetFixture {};

TEST_F(ProxyTest, RequestsTunnelThroughTheConfiguredProxyAndGoDirectWithout) {
  httplib::Server server;
  server.Get("/ping", [](const httplib::Request&, httplib::Response& res) { res.set_content("pong", "text/plain"); });
  server.Post("/form", [](const httplib::Request& req, httplib::Response& res) {
    res.set_content(req.get_header_value("Content-Type") + "|" + req.body, "text/plain");
  });
  const int port = server.bind_to_any_port("127.0.0.1");
  std::thread serving([&] { server.listen_after_bind(); });
  test::WaitUntil([&] { return server.is_running(); }, 5000);
  const std::string base = "http://127.0.0.1:" + std::to_string(port);

  {
    test::TinyProxy proxy;
    GetProcessSettings().httpIp = "127.0.0.1";
    GetProcessSettings().httpPort = std::to_string(proxy.port());
    const RestClient::Response g = RestClient::get(base + "/ping");
    EXPECT_EQ(g.code, 200);
    EXPECT_EQ(g.body, "pong");
    const RestClient::Response p = RestClient::post(base + "/form", "application/x-www-form-urlencoded", "k=v");
    EXPECT_EQ(p.body, "application/x-www-form-urlencoded|k=v");
    EXPECT_NE(proxy.LogText().find("CONNECT"), std::string::npos) << proxy.LogText();
    EXPECT_NE(proxy.LogText().find("127.0.0.1:" + std::to_string(port)), std::string::npos);
  }
  // The proxy is gone: with its setting the request fails, without it the
  // request goes direct.
  EXPECT_EQ(RestClient::get(base + "/ping").code, -1);
  GetProcessSettings().httpIp.clear();
  EXPECT_EQ(RestClient::get(base + "/ping").code, 200);

  server.stop();
  serving.join();
}

}  // namespace
}  // namespace tillcast
