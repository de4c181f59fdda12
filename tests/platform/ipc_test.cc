#include "platform/ipc.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>

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
  ASSERT_TRUE(server.Start(
      dir.Sub("s.sock"),
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
  ASSERT_TRUE(server.Start(
      dir.Sub("s.sock"), [](uint32_t, const std::string&) { return true; }, &err));
  EXPECT_TRUE(IpcSend(dir.Sub("s.sock"), 201, "", 2000, &error)) << error;
}

TEST(Ipc, ProbeTellsAnAnsweringEndpointFromAMissingOrSilentOne) {
  test::TempDir dir;
  std::string error;
  EXPECT_FALSE(IpcAnswers(dir.Sub("s.sock"), 500, &error));
  EXPECT_NE(error.find("cannot reach"), std::string::npos) << error;

  // Refusing the probe's code is still an answer.
  IpcServer server;
  int err = 0;
  std::vector<uint32_t> codes;
  ASSERT_TRUE(server.Start(
      dir.Sub("s.sock"),
      [&](uint32_t code, const std::string&) {
        codes.push_back(code);
        return false;
      },
      &err));
  EXPECT_TRUE(IpcAnswers(dir.Sub("s.sock"), 2000, &error)) << error;
  server.Stop();
  ASSERT_EQ(codes.size(), 1u);
  EXPECT_EQ(codes[0], kIpcProbeCode);

  // A socket nobody accepts on (a hung agent): no answer within the time.
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const std::string path = dir.Sub("hung.sock");
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(fd, 4), 0);
  EXPECT_FALSE(IpcAnswers(path, 300, &error));
  EXPECT_NE(error.find("no reply"), std::string::npos) << error;
  ::close(fd);
}

}  // namespace
}  // namespace tillcast::platform
