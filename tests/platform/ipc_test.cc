#include "platform/ipc.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <mutex>
#include <vector>

#include "support/test_support.h"

namespace tillcast::platform {
namespace {

TEST(Ipc, MessagesReachTheHandlerWithTheirPayload) {
  test::TempDir dir;
  std::mutex mu;
  std::vector<std::pair<uint32_t, std::string>> got;
  IpcServer server;
  int err = 0;
  ASSERT_TRUE(server.Start(dir.Sub("s.sock"),
                           [&](uint32_t code, const std::string& payload) {
                             std::lock_guard<std::mutex> l(mu);
                             got.emplace_back(code, payload);
                             return code != 999;
                           },
                           &err));
  struct stat st {};
  ASSERT_EQ(stat(dir.Sub("s.sock").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  std::string error;
  EXPECT_TRUE(IpcSend(dir.Sub("s.sock"), 101, "/tmp/a b.dat", 2000, &error)) << error;
  const std::string big(1 << 20, '\x01');
  EXPECT_TRUE(IpcSend(dir.Sub("s.sock"), 7, big, 5000, &error)) << error;
  EXPECT_FALSE(IpcSend(dir.Sub("s.sock"), 999, "", 2000, &error));
  EXPECT_NE(error.find("did not handle"), std::string::npos);
  server.Stop();
  std::lock_guard<std::mutex> l(mu);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0], std::make_pair(101u, std::string("/tmp/a b.dat")));
  EXPECT_EQ(got[1].second, big);
  EXPECT_FALSE(test::FileExists(dir.Sub("s.sock")));
}

TEST(Ipc, StaleSocketFileIsReplacedAndMissingEndpointReported) {
  test::TempDir dir;
  test::WriteFile(dir.Sub("s.sock"), "stale");
  std::string error;
  EXPECT_FALSE(IpcSend(dir.Sub("s.sock"), 201, "", 500, &error));
  EXPECT_FALSE(error.empty());
  IpcServer server;
  int err = 0;
  ASSERT_TRUE(server.Start(dir.Sub("s.sock"), [](uint32_t, const std::string&) { return true; }, &err));
  EXPECT_TRUE(IpcSend(dir.Sub("s.sock"), 201, "", 2000, &error)) << error;
}

}  // namespace
}  // namespace tillcast::platform
