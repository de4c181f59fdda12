// CRedisConn against a real redis-server with a password.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "net/redis_conn.h"
#include "net_fixture.h"
#include "net_test_support.h"
#include "platform/clock.h"

namespace tillcast {
namespace {

class RedisConnTest : public test::NetFixture {
 protected:
  test::RedisServer redis_;
  platform::FakeClock clock_{50000};
};

TEST_F(RedisConnTest, AuthAndSelectReachTheChosenDatabase) {
  ASSERT_TRUE(redis_.up());
  CRedisConn conn(&clock_);
  ASSERT_TRUE(conn.Connect("127.0.0.1", redis_.port(), redis_.password(), 3, 15));
  EXPECT_TRUE(conn.IsConnected());
  EXPECT_TRUE(log_.Contains("[INFO]: CRedisConn::TryConnect true"));
  // The password never reaches the log in clear.
  EXPECT_TRUE(log_.Contains("ip=127.0.0.1, port=" + std::to_string(redis_.port()) + ", pwd=s3***, dbindex=3"));
  EXPECT_FALSE(log_.Contains(redis_.password()));

  redis_.Command(3, {"RPUSH", "notify", "n1"});
  redis_.Command(0, {"RPUSH", "notify", "in-db-0"});
  std::pair<std::string, std::string> out;
  ASSERT_TRUE(conn.BLPOP({"jobs", "notify"}, 1, out));
  EXPECT_EQ(out.first, "notify");
  EXPECT_EQ(out.second, "n1");
}

TEST_F(RedisConnTest, WrongPasswordFailsWithTheServersText) {
  CRedisConn conn(&clock_);
  EXPECT_FALSE(conn.Connect("127.0.0.1", redis_.port(), "not-the-password", 1, 15));
  EXPECT_FALSE(conn.IsConnected());
  EXPECT_NE(conn.GetErrorText().find("WRONGPASS"), std::string::npos) << conn.GetErrorText();
  EXPECT_TRUE(log_.Contains("[INFO]: CRedisConn::TryConnect auth failed"));

  // No password: no AUTH, and SELECT is refused by the protected server.
  CRedisConn noAuth(&clock_);
  EXPECT_FALSE(noAuth.Connect("127.0.0.1", redis_.port(), "", 0, 15));
  EXPECT_NE(noAuth.GetErrorText().find("NOAUTH"), std::string::npos) << noAuth.GetErrorText();
  EXPECT_TRUE(log_.Contains("[INFO]: CRedisConn::TryConnect select failed"));
}

TEST_F(RedisConnTest, EmptyPasswordSendsNoAuthButAlwaysSelects) {
  test::RedisServer open("");
  CRedisConn conn(&clock_);
  ASSERT_TRUE(conn.Connect("127.0.0.1", open.port(), "", 0, 0));
  EXPECT_EQ(open.InfoNumber("commandstats", "cmdstat_auth", "calls"), 0);
  EXPECT_EQ(open.InfoNumber("commandstats", "cmdstat_select", "calls"), 1);
}

TEST_F(RedisConnTest, TimeoutLeavesThePairUnchanged) {
  CRedisConn conn(&clock_);
  ASSERT_TRUE(conn.Connect("127.0.0.1", redis_.port(), redis_.password(), 2, 15));
  std::pair<std::string, std::string> out{"before", "unchanged"};
  EXPECT_TRUE(conn.BLPOP({"a", "b"}, 1, out));
  EXPECT_EQ(out.first, "before");
  EXPECT_EQ(out.second, "unchanged");
  EXPECT_FALSE(conn.LastReplyWasError());
  EXPECT_FALSE(conn.BLPOP({}, 1, out));
}

TEST_F(RedisConnTest, KeysWithBlanksAndPercentSignsAreSentWhole) {
  CRedisConn conn(&clock_);
  ASSERT_TRUE(conn.Connect("127.0.0.1", redis_.port(), redis_.password(), 1, 15));
  redis_.Command(1, {"RPUSH", "odd key %s%n", "v"});
  std::pair<std::string, std::string> out;
  ASSERT_TRUE(conn.BLPOP({"odd key %s%n"}, 1, out));
  EXPECT_EQ(out.first, "odd key %s%n");
  EXPECT_EQ(out.second, "v");
}

TEST_F(RedisConnTest, ErrorReplyIsReportedAndKeepsTheConnection) {
  CRedisConn conn(&clock_);
  ASSERT_TRUE(conn.Connect("127.0.0.1", redis_.port(), redis_.password(), 1, 15));
  redis_.Command(1, {"SET", "str", "x"});
  std::pair<std::string, std::string> out;
  EXPECT_TRUE(conn.BLPOP({"str"}, 1, out));
  EXPECT_TRUE(conn.LastReplyWasError());
  EXPECT_NE(conn.GetErrorText().find("WRONGTYPE"), std::string::npos);
  EXPECT_TRUE(out.first.empty());
}

TEST_F(RedisConnTest, ReconnectAttemptsAreThrottledToOnePerFourSeconds) {
  CRedisConn conn(&clock_);
  EXPECT_FALSE(conn.Connect("127.0.0.1", redis_.port(), "wrong", 1, 15));
  const long after1 = redis_.InfoNumber("stats", "total_connections_received");
  clock_.Advance(1000);
  EXPECT_FALSE(conn.TryConnect());
  EXPECT_TRUE(log_.Contains("[INFO]: CRedisConn::TryConnect after 4s"));
  clock_.Advance(2999);
  EXPECT_FALSE(conn.TryConnect());
  EXPECT_EQ(redis_.InfoNumber("stats", "total_connections_received"), after1 + 1);  // only our own INFO
  clock_.Advance(1);
  EXPECT_FALSE(conn.TryConnect());  // contacted again, refused again
  EXPECT_EQ(redis_.InfoNumber("stats", "total_connections_received"), after1 + 3);
}

TEST_F(RedisConnTest, RefusedPortLogsTheMissingContext) {
  CRedisConn conn(&clock_);
  const int closed = test::FreeLoopbackPort();
  EXPECT_FALSE(conn.Connect("127.0.0.1", closed, "", 0, 15));
  EXPECT_EQ(conn.GetErrorText(), "No error.");
  EXPECT_TRUE(
      log_.Contains("CRedisConn::TryConnect 127.0.0.1:" + std::to_string(closed) + "  timeout=15 m_redisCtx=NULL"));
}

TEST_F(RedisConnTest, ServerThatNeverAnswersFailsTheConnectAfterTheTimeout) {
  test::RawServer silent("");  // accepts, then says nothing
  CRedisConn conn(&clock_);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(conn.Connect("127.0.0.1", silent.port(), "pw", 0, 1));  // AUTH unanswered
  EXPECT_FALSE(conn.IsConnected());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30)) << "AUTH waited without a limit";
  EXPECT_TRUE(log_.Contains("CRedisConn::TryConnect auth failed"));
}

TEST_F(RedisConnTest, ServerKilledDuringBlpopClosesTheConnection) {
  CRedisConn conn(&clock_);
  ASSERT_TRUE(conn.Connect("127.0.0.1", redis_.port(), redis_.password(), 1, 15));
  std::thread killer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    redis_.Kill();
  });
  std::pair<std::string, std::string> out;
  EXPECT_FALSE(conn.BLPOP({"jobs"}, 5, out));
  killer.join();
  EXPECT_FALSE(conn.IsConnected());
  EXPECT_TRUE(log_.Contains("[ERROR]: redisCommand failed:"));
}

}  // namespace
}  // namespace tillcast
