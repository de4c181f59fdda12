// The cloud operations against tillcast-cloudsim (with its redis-server),
// and their failure paths against small servers of our own.
#include <httplib.h>

#include <gtest/gtest.h>

#include <algorithm>

#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <openssl/evp.h>

#include "data/codec.h"
#include "net/net_mgr.h"
#include "net/signing.h"
#include "net_fixture.h"
#include "net_test_support.h"
#include "support/till_corpus.h"

namespace tillcast {
namespace {

using test::Gbk;
using test::WaitUntil;

constexpr char kDeviceKey[] = "DEMO-KEY-0001";
constexpr char kStoreSecret[] = "demo-store-secret-0001";

std::map<std::string, std::string> ParseQuery(const std::string& text) {
  std::map<std::string, std::string> out;
  httplib::Params params;
  httplib::detail::parse_query_text(text, params);
  for (const auto& [k, v] : params) out[k] = v;
  return out;
}

class CloudApiTest : public test::CloudSimFixture<2> {
 protected:
  void SetUp() override {
    CloudSimFixture::SetUp();
    net_.SetStoreLogoSaver([this](const std::string& bytes) {
      logo_ = bytes;
      return true;
    });
  }
  void Bind() { BindDevice(net_, kDeviceKey); }

  platform::FakeClock clock_{0};
  NetMgr net_{&clock_};
  std::string logo_;
};

TEST_F(CloudApiTest, BindingIsStoredAsReceivedAndLoaded) {
  data().SetConfig("secret", kDeviceKey);
  ASSERT_TRUE(net_.GetConnectionInfo());
  const std::string stored = test::ReadFile(data().BindPath());
  EXPECT_NE(stored.find("\"code\":0"), std::string::npos) << stored;
  EXPECT_EQ(data().GetBindInfo("appId"), "app-0001");
  EXPECT_EQ(data().GetBindInfo("secret"), kStoreSecret);
  EXPECT_EQ(data().GetBindInfo("jobKey"), "print_jobs:dev-0001");
  EXPECT_TRUE(log_.Contains(Gbk("保存文件完成，文件名：") + data().BindPath()));
  // Neither the device key nor the store secret reach the log in clear.
  EXPECT_FALSE(log_.Contains(kDeviceKey));
  EXPECT_FALSE(log_.Contains(kStoreSecret));
  EXPECT_TRUE(log_.Contains("post url=" + sim_.url() + "/store/printer/device,data=token=DE***"));
}

TEST_F(CloudApiTest, UnknownDeviceKeyShowsTheServiceMessageAndWritesNothing) {
  data().SetConfig("secret", "NO-SUCH-KEY");
  EXPECT_FALSE(net_.GetConnectionInfo());
  EXPECT_EQ(data().GetLastMessage(), Gbk("设备码无效"));
  EXPECT_FALSE(test::FileExists(data().BindPath()));
}

TEST_F(CloudApiTest, ConnectionDescriptionFillsTheBinding) {
  Bind();
  EXPECT_EQ(data().GetBindInfo("RedisKey"), "print_jobs:dev-0001");
  EXPECT_EQ(data().GetBindInfo("RedisConfigNotifyKey"), "print_notify:dev-0001");
  EXPECT_EQ(data().GetBindInfo("RedisPort"), std::to_string(redis_.port()));
  EXPECT_EQ(data().GetBindInfo("RedisDataBase"), std::to_string(kDb));
  EXPECT_EQ(data().GetBindInfo("store_name"), Gbk("演示门店"));
  EXPECT_NE(data().GetBindInfo("RedisConfigReceiptKey").find("\"rows\""), std::string::npos);
  EXPECT_EQ(data().GetConfig("LogoURL"), sim_.url() + "/logo/store-0001.png");
  EXPECT_TRUE(log_.Contains(Gbk("get 获取数据完成,code:200,url:") + sim_.url() +
                            "/store/printer/device?appId=app%2D0001&deviceModel=%5Cx43%5Cx4f%5Cx4d%5Cx31&format=escpos&"
                            "nonceStr="));

  ASSERT_TRUE(net_.GetStoreLogo());
  EXPECT_EQ(logo_.substr(0, 8), "\x89PNG\r\n\x1a\n");
}

TEST_F(CloudApiTest, ARestartedSimulatorKeepsTheUploadsBeforeIt) {
  Bind();
  const std::string first = Gbk("演示门店\n小票号 R1\n合计：1.00\n") + std::string(120, '-');
  const std::string second = Gbk("演示门店\n小票号 R2\n合计：2.00\n") + std::string(120, '=');
  ASSERT_TRUE(net_.UploadTicketInfo(Base64Encode(first.data(), first.size()))) << sim_.LogText();
  ASSERT_TRUE(sim_.Restart());
  data().SetConfig("URL", sim_.url());
  ASSERT_TRUE(net_.UploadTicketInfo(Base64Encode(second.data(), second.size()))) << sim_.LogText();
  std::vector<std::string> files;
  for (const auto& f : std::filesystem::recursive_directory_iterator(sim_.uploads()))
    if (f.path().extension() == ".dat") files.push_back(f.path().string());
  std::sort(files.begin(), files.end());
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(test::ReadFile(files[0]), first);
  EXPECT_EQ(test::ReadFile(files[1]), second);
}

TEST_F(CloudApiTest, UploadIsVerifiedAndStoredByteForByte) {
  Bind();
  std::string receipt = Gbk("演示门店\n合计：36.50\n谢谢惠顾\n");
  receipt += std::string(120, '-') + std::string("\x1b\x40\x00\xff", 4);
  test::WriteFile(dir_.Sub("parallel1.dat"), receipt);
  ASSERT_TRUE(net_.UploadTicketInfoFile(dir_.Sub("parallel1.dat"))) << sim_.LogText();
  std::vector<std::string> files;
  for (const auto& f : std::filesystem::recursive_directory_iterator(sim_.uploads()))
    if (f.path().extension() == ".dat") files.push_back(f.path().string());
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(test::ReadFile(files[0]), receipt);
  EXPECT_TRUE(log_.Contains(Gbk("成功上传小票信息,code:200, url:") + sim_.url() + "/store/printer/upload"));

  // A wrong store secret: the simulator refuses the signature.
  data().SetBindInfo("secret", "not-the-secret");
  EXPECT_FALSE(net_.UploadTicketInfo(Base64Encode("abc", 3)));
  EXPECT_EQ(data().GetLastMessage(), Gbk("网络错误"));
  EXPECT_TRUE(log_.Contains(Gbk("rest client 上传小票信息失败,code:403")));
}

TEST_F(CloudApiTest, AReceiptWithALargeLogoIsStoredWhole) {
  // About 4 MB of receipt: a tall raster logo of zero and 0xFF bytes.
  Bind();
  test::SaleShape shape;
  shape.logo_rows = 88000;
  const test::TillReceipt receipt = test::SaleReceipt(shape);
  ASSERT_GE(receipt.bytes.size(), 4u << 20);
  test::WriteFile(dir_.Sub("parallel2.dat"), receipt.bytes);
  ASSERT_TRUE(net_.UploadTicketInfoFile(dir_.Sub("parallel2.dat"))) << sim_.LogText();
  std::vector<std::string> files;
  for (const auto& f : std::filesystem::recursive_directory_iterator(sim_.uploads()))
    if (f.path().extension() == ".dat") files.push_back(f.path().string());
  ASSERT_EQ(files.size(), 1u);
  EXPECT_TRUE(test::ReadFile(files[0]) == receipt.bytes) << "the stored upload differs from the capture";
}

TEST_F(CloudApiTest, ARequestSentAgainIsRecognisedAndStoredOnce) {
  // The reply to an upload was lost: the outbox sends the very same request
  // again, and the cloud stores the receipt once.
  Bind();
  const std::string receipt = Gbk("演示门店\n小票号 R9\n合计：9.00\n") + std::string(120, '.');
  std::string body;
  ASSERT_TRUE(net_.PrepareTicketUpload(receipt, "parallel9.dat", 1000, TicketAge::kLate, &body));
  EXPECT_EQ(net_.SendTicketUpload(body), 200) << sim_.LogText();
  EXPECT_EQ(net_.SendTicketUpload(body), 200) << sim_.LogText();
  std::vector<std::string> files;
  for (const auto& f : std::filesystem::recursive_directory_iterator(sim_.uploads()))
    if (f.path().extension() == ".dat") files.push_back(f.path().string());
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(test::ReadFile(files[0]), receipt);
  EXPECT_NE(sim_.LogText().find("upload repeated"), std::string::npos);
  // Another signing of the same receipt is a new request (a new nonce).
  ASSERT_TRUE(net_.PrepareTicketUpload(receipt, "parallel9.dat", 1000, TicketAge::kLate, &body));
  EXPECT_EQ(net_.SendTicketUpload(body), 200);
}

TEST_F(CloudApiTest, ScannedReceiptArrivesAsAPrintJob) {
  Bind();
  std::mutex lock;
  std::vector<std::string> printed;
  data().SetRawPrinter([&](const std::vector<unsigned char>& bytes, const RawPrintTry&) {
    std::lock_guard<std::mutex> l(lock);
    printed.emplace_back(bytes.begin(), bytes.end());
    return RawPrintResult::kPrinted;
  });
  ASSERT_TRUE(net_.RequestReceiptPrint("r20240501000000000001")) << sim_.LogText();
  EXPECT_EQ(redis_.Command(kDb, {"LLEN", "print_jobs:dev-0001"}), "1");

  NetLoopTimings fast;
  fast.blpopTimeoutSeconds = 1;
  fast.retryWaitMs = 200;
  NetMgr loop(&clock_, fast);
  ASSERT_TRUE(loop.Start());
  ASSERT_TRUE(WaitUntil(
      [&] {
        std::lock_guard<std::mutex> l(lock);
        return printed.size() == 1;
      },
      10000));
  {
    std::lock_guard<std::mutex> l(lock);
    EXPECT_EQ(printed[0].substr(0, 2), "\x1b\x40");
    EXPECT_NE(printed[0].find(Gbk("合计：36.50")), std::string::npos);
  }

  // An order job: looked up at the order service, queued for the window.
  httplib::Client admin("127.0.0.1", std::stoi(sim_.url().substr(sim_.url().rfind(':') + 1)));
  ASSERT_TRUE(admin.Post("/sim/push/order?device=dev-0001&order=O20240001", "", "text/plain"));
  OrderInfo order;
  ASSERT_TRUE(WaitUntil([&] { return data().PopOrderInfo(order); }, 10000));
  EXPECT_EQ(order.order_no, "O20240001");
  EXPECT_EQ(order.total_number, 3);
  ASSERT_EQ(order.items.size(), 2u);
  EXPECT_EQ(order.items[0].item_name, Gbk("矿泉水"));
  EXPECT_EQ(order.items[0].quantity, 2);
  loop.Stop();
}

TEST_F(CloudApiTest, UnknownReceiptAndOrderShowTheServiceMessage) {
  Bind();
  EXPECT_FALSE(net_.RequestReceiptPrint("R999"));
  EXPECT_EQ(data().GetLastMessage(), Gbk("小票不存在"));
  EXPECT_FALSE(net_.GetOrderInfo("NOPE"));
  EXPECT_EQ(data().GetLastMessage(), Gbk("订单不存在"));
  EXPECT_TRUE(net_.GetOrderInfo("O20240001"));
  OrderInfo order;
  EXPECT_TRUE(data().PopOrderInfo(order));
}

TEST_F(CloudApiTest, SimulatorCommandsPushOntoTheDeviceLists) {
  const std::string sim = test::BinDir() + "/tillcast-cloudsim";
  const std::string help = test::RunAndCapture({sim, "--help"});
  for (const char* option : {"--http-port", "--redis-host", "--redis-port", "--redis-password", "--data", "--uploads"})
    EXPECT_NE(help.find(option), std::string::npos) << option;
  const std::vector<std::string> redisArgs = {"--redis-port",     std::to_string(redis_.port()),
                                              "--redis-password", redis_.password(),
                                              "--redis-db",       std::to_string(kDb)};
  auto run = [&](std::vector<std::string> argv) {
    argv.insert(argv.begin(), sim);
    argv.insert(argv.end(), redisArgs.begin(), redisArgs.end());
    return test::RunProgram(argv, {}, 20000);
  };
  EXPECT_EQ(run({"push-raw", "--device", "dev-0001", "--text", "ABC"}), 0);
  EXPECT_EQ(run({"push-order", "--device", "dev-0001", "--order", "O1"}), 0);
  EXPECT_EQ(run({"push-notify", "--device", "dev-0001"}), 0);
  EXPECT_NE(run({"push-raw", "--text", "no device"}), 0);
  const std::string jobs = redis_.Command(kDb, {"LRANGE", "print_jobs:dev-0001", "0", "-1"});
  EXPECT_NE(jobs.find("\"data\":\"QUJD\""), std::string::npos) << jobs;
  EXPECT_NE(jobs.find("\"order_no\":\"O1\""), std::string::npos) << jobs;
  EXPECT_EQ(redis_.Command(kDb, {"LLEN", "print_notify:dev-0001"}), "1");
}

// Small servers of our own for the replies the simulator never gives.
class CloudFailureTest : public test::NetFixture {
 protected:
  void SetUp() override {
    NetFixture::SetUp();
    auto handler = [this](const httplib::Request& req, httplib::Response& res) {
      std::lock_guard<std::mutex> l(lock_);
      bodies_.push_back(req.body);
      res.status = status_;
      res.set_content(body_, "application/json");
    };
    server_.Get(".*", handler);
    server_.Post(".*", handler);
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    test::WaitUntil([&] { return server_.is_running(); }, 5000);
    data().SetConfig("URL", url());
    CloudSettings s;
    s.orderUrl = url();
    SetCloudSettings(s);
    data().SetConfig("secret", "KEY-1234");
    data().SetBindInfo("appId", "app-1");
  }
  void TearDown() override {
    server_.stop();
    thread_.join();
    NetFixture::TearDown();
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
  // Every request from now on gets this reply.
  void Reply(int status, const std::string& body) {
    std::lock_guard<std::mutex> l(lock_);
    status_ = status;
    body_ = body;
  }
  std::string LastBody() {
    std::lock_guard<std::mutex> l(lock_);
    return bodies_.empty() ? "" : bodies_.back();
  }
  size_t Requests() {
    std::lock_guard<std::mutex> l(lock_);
    return bodies_.size();
  }

  httplib::Server server_;
  int port_ = 0;
  std::thread thread_;
  std::mutex lock_;
  std::vector<std::string> bodies_;
  int status_ = 200;
  std::string body_;
  platform::FakeClock clock_{0};
  NetMgr net_{&clock_};
};

TEST_F(CloudFailureTest, ServerErrorsSetTheNetworkErrorMessage) {
  Reply(500, "{}");
  EXPECT_FALSE(net_.CreateConnection());
  EXPECT_EQ(data().GetLastMessage(), Gbk("网络错误"));
  data().SetLastMessage("");
  EXPECT_FALSE(net_.GetConnectionInfo());
  EXPECT_EQ(data().GetLastMessage(), Gbk("网络错误"));
  EXPECT_TRUE(log_.Contains(Gbk("GetConnectionInfo 失败, response code: 500, url:") + url() +
                            "/store/printer/device, inputString:token=KE***"));
  data().SetLastMessage("");
  EXPECT_FALSE(net_.UploadTicketInfo("QUJD"));
  EXPECT_EQ(data().GetLastMessage(), Gbk("网络错误"));
  data().SetLastMessage("");
  EXPECT_FALSE(net_.GetStoreLogo());
  EXPECT_EQ(data().GetLastMessage(), "");  // the logo sets no message
}

TEST_F(CloudFailureTest, BindingRepliesThatAreNotSuccessWriteNothing) {
  const struct {
    const char* body;
    const char* message;  // UTF-8, "" = none
  } cases[] = {
      {"not json", ""},
      {R"({"code":"0","message":"success","result":{}})", ""},
      {R"({"code":7,"message":"设备已停用"})", "设备已停用"},
      {R"({"code":7})", ""},
  };
  for (const auto& c : cases) {
    Reply(200, c.body);
    data().SetLastMessage("");
    EXPECT_FALSE(net_.GetConnectionInfo()) << c.body;
    EXPECT_EQ(data().GetLastMessage(), Gbk(c.message)) << c.body;
    EXPECT_FALSE(test::FileExists(data().BindPath())) << c.body;
  }
  // Nesting deeper than the JSON reader's limit is refused, not thrown.
  {
    const std::string deep = std::string(5000, '[') + std::string(5000, ']');
    Reply(200, deep);
    data().SetLastMessage("");
    EXPECT_FALSE(net_.GetConnectionInfo());
    EXPECT_FALSE(net_.RequestReceiptPrint("R20240501000000000001"));
  }
}

TEST_F(CloudFailureTest, UploadTimeoutSaysNetworkTimeout) {
  test::RawServer silent("");
  data().SetConfig("URL", silent.url());
  RestClient::SetRequestTimeoutForTest(1);
  EXPECT_FALSE(net_.UploadTicketInfo("QUJD"));
  EXPECT_EQ(data().GetLastMessage(), Gbk("网络超时"));
  EXPECT_TRUE(log_.Contains(Gbk("rest client 上传小票信息失败,code:28")));
}

TEST_F(CloudFailureTest, ReceiptRequestCarriesUpperCaseNumberAndDeviceId) {
  Reply(200, R"({"return_code":"SUCCESS"})");
  data().SetBindInfo("RedisKey", "print_jobs:ABC");
  ASSERT_TRUE(net_.RequestReceiptPrint("r12345678901234567890"));
  auto params = ParseQuery(LastBody());
  EXPECT_EQ(params["receipt_no"], "R12345678901234567890");
  EXPECT_EQ(params["device_id"], "ABC");
  EXPECT_EQ(params["app_id"], "qoravtlumbexindsk72");
  EXPECT_EQ(params["nonce_str"].size(), 8u);
  // The body is exactly the order-service signed query of its parameters.
  const std::string sign = params["sign"];
  params.erase("sign");
  EXPECT_EQ(LastBody(), MakeCvsSignedQuery(SignParams(params.begin(), params.end())));
  EXPECT_EQ(LastBody().substr(LastBody().size() - 32), sign);

  data().SetBindInfo("RedisKey", "short");
  ASSERT_TRUE(net_.RequestReceiptPrint("R1"));
  EXPECT_EQ(ParseQuery(LastBody())["device_id"], "");
}

TEST_F(CloudFailureTest, ReceiptRequestJudgesTheReply) {
  const struct {
    const char* body;
    bool ok;
    const char* message;
  } cases[] = {
      {R"({"return_code":"FAIL","return_msg":"小票已打印"})", false, "小票已打印"},
      {R"({"return_msg":"whatever"})", true, ""},
      {R"({"return_code":5})", true, ""},
      {"<html>", false, ""},
  };
  for (const auto& c : cases) {
    Reply(200, c.body);
    data().SetLastMessage("");
    EXPECT_EQ(net_.RequestReceiptPrint("R1"), c.ok) << c.body;
    EXPECT_EQ(data().GetLastMessage(), Gbk(c.message)) << c.body;
  }
  EXPECT_TRUE(log_.Contains(Gbk("解析body抛出异常")));
}

// A reply that writes the store secret's name (and part of its value) with
// escapes: the binding is taken as the parser reads it, and the secret
// reaches no log line in clear, neither from a reply that parses nor from
// one that does not.
TEST_F(CloudFailureTest, AnEscapedSecretInABindingReplyNeverReachesTheLog) {
  const std::string tail = "q7-escaped-store-secret";
  Reply(200, R"({"code":0,"message":"success","result":{"appId":"a1","storeId":"s1","jobKey":"j1",)"
             R"("\u0073ecret":"\u005a)" +
                 tail + R"("}})");
  ASSERT_TRUE(net_.GetConnectionInfo());
  EXPECT_EQ(data().GetBindInfo("secret"), "Z" + tail);
  EXPECT_TRUE(log_.Contains("Zq***")) << log_.Text();

  Reply(502, R"({"code":0,"result":{"\u0073ecret":"\u005a)" + tail + R"(","appId":)");
  EXPECT_FALSE(net_.GetConnectionInfo());
  EXPECT_TRUE(log_.Contains("r.code=502"));
  EXPECT_FALSE(log_.Contains(tail)) << log_.Text();
}

// The logo address comes from the cloud: one that names a local file (or
// any other scheme than http and https) is refused, and nothing is saved.
TEST_F(CloudFailureTest, AFileAddressAsLogoIsRefused) {
  test::WriteFile(dir_.Sub("private.png"), "\x89PNG the shop's private file");
  bool saved = false;
  net_.SetStoreLogoSaver([&saved](const std::string&) {
    saved = true;
    return true;
  });
  for (const std::string& address : {"file://" + dir_.Sub("private.png"), "FILE://" + dir_.Sub("private.png"),
                                     "ftp://127.0.0.1:" + std::to_string(port_) + "/logo.png"}) {
    data().SetConfig("LogoURL", address);
    EXPECT_FALSE(net_.GetStoreLogo()) << address;
  }
  EXPECT_FALSE(saved);
  EXPECT_EQ(Requests(), 0u);
  EXPECT_TRUE(log_.Contains("[ERROR]: RestClient: refused file://: only http and https addresses are fetched"))
      << log_.Text();
  EXPECT_TRUE(log_.Contains(Gbk("GetStoreLogo 失败, response code:-1,url:file://")));
  // The same server's logo over http is taken.
  data().SetConfig("LogoURL", url() + "/logo.png");
  Reply(200, "\x89PNG logo");
  EXPECT_TRUE(net_.GetStoreLogo());
  EXPECT_TRUE(saved);
}

// With MD5 refused by the crypto library (as a FIPS-only configuration
// does), no signed request goes out unsigned: nothing is sent, and the log
// says why.
TEST_F(CloudFailureTest, AnMd5ThatCannotBeComputedSendsNoRequest) {
  struct RestoreProperties {
    ~RestoreProperties() { EVP_set_default_properties(nullptr, ""); }
  } restore;
  ASSERT_EQ(EVP_set_default_properties(nullptr, "fips=yes"), 1);
  if (!Md5Hex("x", 1).empty()) GTEST_SKIP() << "this OpenSSL computes MD5 even when FIPS algorithms are asked for";
  data().SetBindInfo("RedisKey", "print_jobs:ABC");
  EXPECT_FALSE(net_.CreateConnection());
  EXPECT_FALSE(net_.UploadTicketInfo("QUJD"));
  EXPECT_FALSE(net_.RequestReceiptPrint("R1"));
  EXPECT_FALSE(net_.GetOrderInfo("O1"));
  EXPECT_EQ(Requests(), 0u);
  EXPECT_TRUE(log_.Contains("[ERROR]: signature: MD5 cannot be computed here")) << log_.Text();
}

}  // namespace
}  // namespace tillcast
