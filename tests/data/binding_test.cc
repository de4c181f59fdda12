#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "base/text_util.h"
#include "data/data_mgr.h"
#include "support/test_support.h"

namespace tillcast {
namespace {

using test::Gbk;

class BindingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetDataFolderForTest();
    mgr.ResetForTest();
  }
  void TearDown() override {
    mgr.ResetForTest();
    ResetDataFolderForTest();
  }
  void SetAll(const std::vector<const char*>& keys, const std::string& value) {
    for (const char* key : keys) mgr.SetBindInfo(key, value);
  }
  void ExpectAll(const std::vector<const char*>& keys, const std::string& value) {
    for (const char* key : keys) EXPECT_EQ(mgr.GetBindInfo(key), value) << key;
  }

  DataMgr& mgr = DataMgr::GetInstance();
  test::TempDir dir_;
  test::ScopedEnv env_{"XDG_DATA_HOME", dir_.path()};
  test::ScopedLog log_;
};

// What a connection reply with an empty result clears, and what it keeps.
const std::vector<const char*> kCleared = {"store_code", "store_name",           "device_name",
                                           "RedisKey",   "RedisConfigNotifyKey", "RedisConfigReceiptKey",
                                           "RedisPort"};
const std::vector<const char*> kKept = {"RedisHost", "RedisPsw", "RedisDataBase"};

TEST_F(BindingTest, LoadBindInfoStoresTheBindingWithTheSecretMasked) {
  EXPECT_FALSE(mgr.LoadBindInfo());  // no file yet: false, nothing logged
  EXPECT_EQ(log_.Text(), "");
  test::WriteFile(mgr.BindPath(),
                  R"({"code":0,"message":"success","extra":[1],)"
                  R"("result":{"appId":"app-1","storeId":"st-9","jobKey":"jk-3","secret":"s3cr3tKey"}})");
  ASSERT_TRUE(mgr.LoadBindInfo());
  EXPECT_EQ(mgr.GetBindInfo("appId"), "app-1");
  EXPECT_EQ(mgr.GetBindInfo("storeId"), "st-9");
  EXPECT_EQ(mgr.GetBindInfo("jobKey"), "jk-3");
  EXPECT_EQ(mgr.GetBindInfo("secret"), "s3cr3tKey");
  EXPECT_TRUE(log_.Contains("[INFO]: " + Gbk("connect请求必须数据：") +
                            "jobkey:jk-3,storeId:st-9,secret:s3***,appId:app-1 \r\n"));
  EXPECT_FALSE(log_.Contains("s3cr3tKey"));
}

std::string BindingReply(const std::string& secret) {
  return R"({"code":0,"message":"success","result":{"appId":"app","storeId":"s1","jobKey":"j1","secret":")" + secret +
         R"("}})";
}

// Two bindings at once (the login and the change of till): each reply is
// written whole, a reader never finds the file empty, and the file and the
// table end with the same binding.
TEST_F(BindingTest, ConcurrentBindingsLeaveFileAndTableAgreeing) {
  ASSERT_TRUE(mgr.SaveBindInfo(BindingReply("first-secret")));
  constexpr int kWriters = 3;
  constexpr int kRounds = 100;
  std::atomic<bool> writing{true};
  std::atomic<int> failed{0}, reads{0}, badReads{0};
  std::thread reader([&] {
    while (writing.load()) {
      const std::string text = test::ReadFile(mgr.BindPath());
      if (text.empty() || text.rfind(R"({"code":0)", 0) != 0 || text.back() != '}') ++badReads;
      ++reads;
    }
  });
  std::vector<std::thread> writers;
  for (int t = 0; t < kWriters; ++t) {
    writers.emplace_back([&, t] {
      for (int i = 0; i < kRounds; ++i)
        if (!mgr.SaveBindInfo(BindingReply("secret-" + std::to_string(t) + "-" + std::to_string(i)))) ++failed;
    });
  }
  for (std::thread& w : writers) w.join();
  writing.store(false);
  reader.join();
  EXPECT_EQ(failed.load(), 0);
  EXPECT_EQ(badReads.load(), 0) << "of " << reads.load() << " reads";
  EXPECT_EQ(test::ReadFile(mgr.BindPath()), BindingReply(mgr.GetBindInfo("secret")));
  struct stat st {};
  ASSERT_EQ(stat(mgr.BindPath().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_FALSE(log_.Contains("secret-")) << "a store secret reached the log in clear";
}

TEST_F(BindingTest, LoadBindInfoRejectsAnIncompleteBinding) {
  const char* const cases[] = {
      R"({"message":"fail","result":{"appId":"a","storeId":"s","jobKey":"j","secret":"k"}})",
      R"({"message":0,"result":{"appId":"a","storeId":"s","jobKey":"j","secret":"k"}})",
      R"({"message":"success","result":{"appId":"a","storeId":"s","jobKey":"j","secret":12345}})",
      R"({"message":"success","result":{"storeId":"s","jobKey":"j","secret":"k"}})",
      R"({"message":"success","result":[{"appId":"a","storeId":"s","jobKey":"j","secret":"k"}]})",
      R"({"message":"success"})",
  };
  mgr.SetBindInfo("appId", "old");
  for (const char* json : cases) {
    SCOPED_TRACE(json);
    test::WriteFile(mgr.BindPath(), json);
    EXPECT_FALSE(mgr.LoadBindInfo());
    EXPECT_EQ(mgr.GetBindInfo("appId"), "old");
    EXPECT_EQ(mgr.GetBindInfo("secret"), "");
  }
}

TEST_F(BindingTest, FullConnectionReplyFillsBindingAndConfiguration) {
  ASSERT_TRUE(mgr.ParseConnectionInfo(
      R"({"message":"success","result":{"device":{"storeCode":"SC1","storeName":"测试门店","deviceName":"收银台",)"
      R"("deviceId":"dev-7","job_key":"jobs:7","logo":"https://l/x.png","config_notify_key":"notify:7"},)"
      R"("config":{"receipt":"{\"items\":[]}"},)"
      R"("connection":{"host":"redis.example","port":6379,"password":"pw","database":2}}})"));
  const std::pair<const char*, std::string> expected[] = {{"store_code", "SC1"},
                                                          {"store_name", Gbk("测试门店")},
                                                          {"device_name", Gbk("收银台")},
                                                          {"RedisKey", "jobs:7"},
                                                          {"RedisConfigNotifyKey", "notify:7"},
                                                          {"RedisConfigReceiptKey", R"({"items":[]})"},
                                                          {"RedisHost", "redis.example"},
                                                          {"RedisPort", "6379"},
                                                          {"RedisPsw", "pw"},
                                                          {"RedisDataBase", "2"}};
  for (const auto& [key, value] : expected) EXPECT_EQ(mgr.GetBindInfo(key), value) << key;
  EXPECT_EQ(mgr.GetConfig("DeviceID"), "dev-7");
  EXPECT_EQ(mgr.GetConfig("LogoURL"), "https://l/x.png");
  EXPECT_TRUE(log_.Contains("[INFO]: " + Gbk("小票追加内容:") + R"({"items":[]})" + "\r\n"));
}

TEST_F(BindingTest, ReplyWithOnlyMessageClearsExactlyTheListedKeys) {
  SetAll(kCleared, "old");
  SetAll(kKept, "kept");
  mgr.SetConfig("DeviceID", "old");
  mgr.SetConfig("LogoURL", "old");
  ASSERT_TRUE(mgr.ParseConnectionInfo(R"({"message":"success"})"));
  ExpectAll(kCleared, "");
  ExpectAll(kKept, "kept");
  EXPECT_EQ(mgr.GetConfig("DeviceID"), "");
  EXPECT_EQ(mgr.GetConfig("LogoURL"), "");
}

TEST_F(BindingTest, ConnectionMembersAreTypeTested) {
  const struct {
    const char* connection;
    const char* port;
    const char* database;
  } cases[] = {
      {R"({"port":6379})", "6379", "1"}, {R"({"port":"6379"})", "6379", "1"}, {R"({"port":true})", "", "1"},
      {R"({"port":6379.5})", "", "1"},   {R"({"database":"2"})", "", "1"},    {R"({"database":2,"host":7})", "", "2"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.connection);
    mgr.SetBindInfo("RedisDataBase", "1");
    mgr.SetBindInfo("RedisHost", "h");
    ASSERT_TRUE(
        mgr.ParseConnectionInfo(std::string(R"({"message":"success","result":{"connection":)") + c.connection + "}}"));
    EXPECT_EQ(mgr.GetBindInfo("RedisPort"), c.port);
    EXPECT_EQ(mgr.GetBindInfo("RedisDataBase"), c.database);
    EXPECT_EQ(mgr.GetBindInfo("RedisHost"), "h");
  }
}

TEST_F(BindingTest, DeviceOrConnectionOfAnotherTypeIsSkipped) {
  for (const char* json : {R"({"message":"success","result":{"device":[1],"connection":"redis://x"}})",
                           R"({"message":"success","result":{"device":42,"connection":[{"port":1}]}})"}) {
    SCOPED_TRACE(json);
    SetAll(kCleared, "old");
    mgr.SetConfig("DeviceID", "old");
    ASSERT_TRUE(mgr.ParseConnectionInfo(json));
    ExpectAll(kCleared, "old");
    EXPECT_EQ(mgr.GetConfig("DeviceID"), "old");
  }
}

TEST_F(BindingTest, RefusedRepliesAreLoggedAndChangeNothing) {
  const struct {
    std::string reply;
    std::string line;  // "" = nothing logged
  } cases[] = {
      {R"({"message":"success","result":[1]})", "[ERROR]: ParseConnectionInfo json  result " + Gbk("不存在，")},
      {R"({"message":"token expired"})", "[ERROR]: " + Gbk("解析get返回数据失败，")},
      {R"({"message":1,"result":{}})", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reply);
    SetAll(kCleared, "old");
    const std::string before = log_.Text();
    EXPECT_FALSE(mgr.ParseConnectionInfo(c.reply));
    ExpectAll(kCleared, "old");
    const std::string added = log_.Text().substr(before.size());
    if (c.line.empty()) {
      EXPECT_EQ(added, "");
    } else {
      EXPECT_NE(added.find(c.line + c.reply + "\r\n"), std::string::npos) << added;
    }
  }
}

// Documents no parser of the module may take for data: broken, deeply
// nested, several megabytes large, or with a root that is not an object.
TEST_F(BindingTest, HostileDocumentsAreRejectedCleanly) {
  std::vector<std::string> docs = {
      "", "{", "[1,2]", "42", "\"success\"", "null", "\xff\xfe{}", std::string(100000, '[') + std::string(100000, ']')};
  std::string big = "[";
  for (int i = 0; i < 400000; ++i) big += "\"message\",";
  docs.push_back(big + "1]");
  docs.push_back(R"({"message":"success","result":{"device":{"storeCode":")" + std::string(6 << 20, 'x'));
  mgr.SetBindInfo("appId", "old");
  for (const std::string& doc : docs) {
    SCOPED_TRACE(doc.substr(0, 30));
    EXPECT_FALSE(mgr.ParseConnectionInfo(doc));
    EXPECT_FALSE(mgr.ParseOrderInfo(doc));
    test::WriteFile(mgr.BindPath(), doc);
    EXPECT_FALSE(mgr.LoadBindInfo());
    mgr.ProcessPrintJob(doc);
  }
  EXPECT_EQ(mgr.GetBindInfo("appId"), "old");
  EXPECT_EQ(mgr.GetBindInfo("store_code"), "");
  OrderInfo out;
  EXPECT_FALSE(mgr.PopOrderInfo(out));
}

}  // namespace
}  // namespace tillcast

namespace tillcast {
namespace {

TEST(ConnectionReplyLog, RefusedReplyIsLoggedWithoutItsPassword) {
  test::TempDir dir;
  test::ScopedEnv env("XDG_DATA_HOME", dir.path());
  ResetDataFolderForTest();
  DataMgr::GetInstance().ResetForTest();
  test::ScopedLog log;
  EXPECT_FALSE(DataMgr::GetInstance().ParseConnectionInfo(
      R"({"message":"denied","result":{"connection":{"password" : "hunter2-redis","host":"h"}}})"));
  EXPECT_FALSE(
      DataMgr::GetInstance().ParseConnectionInfo(R"({"message":"success","result":[{"password":"p\"w-long"}]})"));
  EXPECT_FALSE(DataMgr::GetInstance().ParseConnectionInfo(
      R"({"message":"denied","result":{"connection":{"pass\u0077ord":"escaped-redis-pw"}}})"));
  EXPECT_FALSE(log.Contains("hunter2"));
  EXPECT_FALSE(log.Contains("w-long"));
  EXPECT_FALSE(log.Contains("redis-pw"));
  EXPECT_TRUE(log.Contains(R"("password":"hu***")"));
  EXPECT_TRUE(log.Contains(R"("host":"h")"));
  ResetDataFolderForTest();
}

}  // namespace
}  // namespace tillcast
