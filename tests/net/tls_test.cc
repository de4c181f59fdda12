// HTTPS with a certificate of a test CA made at test time, and the MD5 of
// the signature checked against the openssl command.
#include <httplib.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "net/rest_client.h"
#include "net/signing.h"
#include "net_fixture.h"
#include "net_test_support.h"

namespace tillcast {
namespace {

class TlsTest : public test::NetFixture {
 protected:
  // CA, then a server key and certificate for 127.0.0.1 signed by it.
  bool MakeCertificates() {
    const std::string d = certs_.path();
    test::WriteFile(certs_.Sub("san.ext"), "subjectAltName=IP:127.0.0.1,DNS:localhost\n");
    const std::vector<std::vector<std::string>> steps = {
        {"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", d + "/ca.key", "-out", d + "/ca.pem",
         "-days", "2", "-subj", "/CN=Tillcast Test CA"},
        {"openssl", "req", "-newkey", "rsa:2048", "-nodes", "-keyout", d + "/server.key", "-out", d + "/server.csr",
         "-subj", "/CN=127.0.0.1"},
        {"openssl", "x509", "-req", "-in", d + "/server.csr", "-CA", d + "/ca.pem", "-CAkey", d + "/ca.key",
         "-CAcreateserial", "-out", d + "/server.pem", "-days", "2", "-extfile", d + "/san.ext"},
    };
    for (auto argv : steps) {
      argv[0] = "/usr/bin/openssl";
      if (test::RunProgram(argv, {}, 30000) != 0) return false;
    }
    return true;
  }
  test::TempDir certs_;
};

TEST_F(TlsTest, PrivateCertificateNeedsItsCaFileOrVerificationOff) {
  ASSERT_TRUE(MakeCertificates());
  httplib::SSLServer server((certs_.Sub("server.pem")).c_str(), (certs_.Sub("server.key")).c_str());
  ASSERT_TRUE(server.is_valid());
  server.Get("/secure",
             [](const httplib::Request&, httplib::Response& res) { res.set_content("sealed", "text/plain"); });
  const int port = server.bind_to_any_port("127.0.0.1");
  std::thread serving([&] { server.listen_after_bind(); });
  test::WaitUntil([&] { return server.is_running(); }, 5000);
  const std::string url = "https://127.0.0.1:" + std::to_string(port) + "/secure";

  // The system's CA bundle does not know the test CA.
  const RestClient::Response refused = RestClient::get(url);
  EXPECT_EQ(refused.code, -1);
  EXPECT_EQ(refused.body, "Failed to query.");

  CloudSettings s;
  s.caFile = certs_.Sub("ca.pem");
  SetCloudSettings(s);
  const RestClient::Response trusted = RestClient::get(url);
  EXPECT_EQ(trusted.code, 200);
  EXPECT_EQ(trusted.body, "sealed");
  EXPECT_FALSE(log_.Contains("verification is off"));

  // Read from setting.ini this time.
  test::WriteFile(GetDataFolder() + "/setting.ini", "[cloud]\nssl_verify=0\n");
  ReloadCloudSettings();
  EXPECT_EQ(GetCloudSettings().caFile, "");
  const RestClient::Response unchecked = RestClient::post(url, "text/plain", "x");
  EXPECT_EQ(unchecked.code, 404);  // reached the server: no POST route there
  EXPECT_TRUE(log_.Contains("[WARNING]: RestClient: TLS certificate verification is off"));

  // A client certificate that cannot be read is libcurl's code 58.
  RestClient::Connection conn("");
  conn.setCertPath(certs_.Sub("missing-client.pem"));
  conn.setCAInfoFilePath(certs_.Sub("ca.pem"));
  const RestClient::Response certProblem = conn.get(url);
  EXPECT_EQ(certProblem.code, 58);
  EXPECT_EQ(certProblem.body, "Problem with the local SSL certificate");

  server.stop();
  serving.join();
}

TEST_F(TlsTest, SignatureMatchesTheOpensslCommand) {
  // The signed text is rebuilt here by hand and hashed by openssl.
  const std::string value = test::Gbk("门店 A&B");
  const std::string signedText = "appId=app&content=" + value + "&nonceStr=n0nce123&key=secret";
  test::TempDir dir;
  test::WriteFile(dir.Sub("text"), signedText);
  const std::string out = test::RunAndCapture({"/usr/bin/openssl", "dgst", "-md5", "-r", dir.Sub("text")});
  ASSERT_GE(out.size(), 32u) << out;
  std::string expected = out.substr(0, 32);
  for (char& c : expected) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const std::string query =
      MakeSignedQueryWithKey({{"nonceStr", "n0nce123"}, {"content", value}, {"appId", "app"}}, "secret");
  EXPECT_EQ(query.substr(query.find("&sign=") + 6), expected);
  EXPECT_EQ(query.substr(0, query.find("&nonceStr")), "appId=app&content=%C3%C5%B5%EA+A%26B");
}

}  // namespace
}  // namespace tillcast
