// The pipe-fed keyboard: bytes become key presses in order, what the
// procedure hands on lands in the output file, the pipe is cleaned up.
#include <fcntl.h>
#include <linux/input-event-codes.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "platform/input_feed.h"
#include "support/subprocess.h"
#include "support/test_support.h"

namespace tillcast::platform {
namespace {

struct Seen {
  std::mutex mu;
  std::vector<std::string> keys;  // "down 0x52 19"
  size_t size() {
    std::lock_guard<std::mutex> l(mu);
    return keys.size();
  }
};

std::string Key(uint32_t message, const KeyRecord& k) {
  char buf[48];
  std::snprintf(buf, sizeof buf, "%s 0x%02X %u", message == kMsgKeyUp ? "up" : "down", k.vkCode, k.scanCode);
  return buf;
}

bool Feed(const std::string& fifo, const std::string& bytes) {
  const int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  ::close(fd);
  return ok;
}

TEST(FeedKeyboardHook, BytesArePressedInOrderAndPassedKeysAreWrittenOut) {
  test::TempDir dir;
  const std::string fifo = dir.Sub("keys");
  FeedKeyboardHook hook(fifo, "", nullptr);
  Seen seen;
  ASSERT_TRUE(hook.Install([&](int, uint32_t message, const KeyRecord& k) -> intptr_t {
    {
      std::lock_guard<std::mutex> l(seen.mu);
      seen.keys.push_back(Key(message, k));
    }
    // Hand on only the digits, as a filter would after deciding.
    return k.vkCode >= kVk0 && k.vkCode <= kVk9 ? hook.CallNextHook(0, message, k) : 1;
  }));
  struct stat st {};
  ASSERT_EQ(::lstat(fifo.c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  ASSERT_TRUE(Feed(fifo, "R7\r\nx"));
  ASSERT_TRUE(test::WaitUntil([&] { return seen.size() >= 10; }, 5000));
  hook.SendKey(kVkR, 0, false);
  hook.Uninstall();
  const std::vector<std::string> expected = {
      "down 0xA0 42", "down 0x52 19", "up 0x52 19", "up 0xA0 42",  // capital R: shift around it
      "down 0x37 8",  "up 0x37 8",                                 // 7
      "down 0x0D 28", "up 0x0D 28",                                // "\r\n" is one Enter
      "down 0xFF 45", "up 0xFF 45",                                // x: a key not told apart
  };
  {
    std::lock_guard<std::mutex> l(seen.mu);
    EXPECT_EQ(seen.keys, expected);
  }
  EXPECT_EQ(test::ReadFile(fifo + ".out"), "pass down 0x37 8\npass up 0x37 8\nsend down 0x52 19\n");
  EXPECT_NE(::access(fifo.c_str(), F_OK), 0) << "the pipe outlived Uninstall";
}

TEST(FeedKeyboardHook, RefusesANameThatIsNotAPipe) {
  test::TempDir dir;
  test::WriteFile(dir.Sub("keys"), "a till's file");
  std::string logged;
  FeedKeyboardHook hook(dir.Sub("keys"), "", [&](int, const std::string& line) { logged += line; });
  EXPECT_FALSE(hook.Install([](int, uint32_t, const KeyRecord&) -> intptr_t { return 0; }));
  EXPECT_EQ(test::ReadFile(dir.Sub("keys")), "a till's file");
  EXPECT_NE(logged.find("is not a pipe"), std::string::npos) << logged;

  FeedKeyboardHook missing(dir.Sub("no/such/folder/keys"), "", nullptr);
  EXPECT_FALSE(missing.Install([](int, uint32_t, const KeyRecord&) -> intptr_t { return 0; }));
}

}  // namespace
}  // namespace tillcast::platform
