// The evdev backend on real kernel devices: a scanner made with uinput is
// grabbed, its scan is recognised, and nothing of the code shows up on the
// virtual keyboard the applications read. Skipped where /dev/uinput is not
// usable (containers, CI).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <mutex>

#include "platform/input_evdev.h"
#include "platform/input_keymap.h"
#include "scanner/keyboard_filter.h"
#include "scanner_test_util.h"
#include "virtual_scanner.h"

namespace tillcast {
namespace {

class UinputDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!test::UinputUsable(&why)) GTEST_SKIP() << "needs a usable /dev/uinput (" << why << ")";
  }

  platform::EvdevHookOptions Options() {
    platform::EvdevHookOptions o;
    // Only our own test scanner: the machine's real keyboards stay alone.
    o.accept = [](const platform::InputDeviceInfo& info) { return info.name == test::kTestScannerName; };
    o.log = [this](int, const std::string& line) {
      std::lock_guard<std::mutex> l(mu_);
      log_ += line + "\n";
    };
    return o;
  }
  std::string Log() {
    std::lock_guard<std::mutex> l(mu_);
    return log_;
  }

 private:
  std::mutex mu_;
  std::string log_;
};

TEST_F(UinputDeviceTest, ScanOnARealDeviceIsRecognisedAndNotLeaked) {
  test::VirtualScanner scanner;
  ASSERT_FALSE(scanner.node().empty()) << "the test scanner's event node did not appear";
  platform::ScopedFd probe(::open(scanner.node().c_str(), O_RDONLY | O_CLOEXEC));
  if (!probe.valid()) GTEST_SKIP() << "cannot read " << scanner.node() << ": " << std::strerror(errno);
  probe.reset();

  platform::EvdevKeyboardHook hook(Options());
  platform::FakeClock clock(50000);
  test::RecordingWindow window;
  KeyboardFilter filter(&clock, &hook, &hook);
  filter.SetTargetWindow(&window);
  ASSERT_TRUE(filter.Install()) << Log();
  EXPECT_EQ(hook.GrabbedDevices(), std::vector<std::string>{scanner.node()}) << Log();
  ASSERT_FALSE(hook.VirtualKeyboardNode().empty()) << Log();
  platform::ScopedFd out(::open(hook.VirtualKeyboardNode().c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  ASSERT_TRUE(out.valid()) << hook.VirtualKeyboardNode() << ": " << std::strerror(errno);

  scanner.Tap(KEY_A);
  ASSERT_TRUE(
      test::ReadKeys(out.get(), 3000, [](uint16_t code, int32_t value) { return code == KEY_A && value == 0; }));
  clock.Advance(1000);

  scanner.Key(KEY_LEFTSHIFT, 1);
  scanner.Tap(KEY_R);
  scanner.Key(KEY_LEFTSHIFT, 0);
  for (char c : std::string("1234567890123456789")) scanner.Tap(platform::VkToEvdev(static_cast<uint32_t>(c)));
  scanner.Tap(KEY_ENTER);
  ASSERT_TRUE(window.WaitFor(1, 5000)) << Log();
  EXPECT_EQ(filter.GetBarcode(), L"R1234567890123456789");

  scanner.Tap(KEY_Z);
  std::vector<std::pair<uint16_t, int32_t>> between;
  ASSERT_TRUE(test::ReadKeys(out.get(), 3000, [&](uint16_t code, int32_t value) {
    between.push_back({code, value});
    return code == KEY_Z && value == 1;
  }));
  for (const auto& [code, value] : between) {
    if (value != 0 && code != KEY_LEFTSHIFT && code != KEY_Z) ADD_FAILURE() << "leaked key " << code;
  }
  EXPECT_EQ(window.Posts().size(), 1u);
  filter.Uninstall();
}

TEST_F(UinputDeviceTest, ScannerPluggedInAfterStartIsGrabbed) {
  platform::EvdevKeyboardHook hook(Options());
  std::mutex mu;
  std::vector<uint32_t> seen;
  ASSERT_TRUE(hook.Install([&](int code, uint32_t message, const platform::KeyRecord& key) {
    {
      std::lock_guard<std::mutex> l(mu);
      if (message == platform::kMsgKeyDown) seen.push_back(key.vkCode);
    }
    return hook.CallNextHook(code, message, key);
  })) << Log();
  test::VirtualScanner scanner;
  ASSERT_FALSE(scanner.node().empty());
  bool grabbed = false;
  for (int i = 0; i < 400 && !grabbed; ++i) {
    grabbed = hook.GrabbedDevices() == std::vector<std::string>{scanner.node()};
    if (!grabbed) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (!grabbed && Log().find("cannot open") != std::string::npos) GTEST_SKIP() << "no access: " << Log();
  ASSERT_TRUE(grabbed) << Log();
  scanner.Tap(KEY_KP7);
  bool delivered = false;
  for (int i = 0; i < 400 && !delivered; ++i) {
    {
      std::lock_guard<std::mutex> l(mu);
      delivered = !seen.empty();
    }
    if (!delivered) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_TRUE(delivered);
  hook.Uninstall();
  std::lock_guard<std::mutex> l(mu);
  EXPECT_EQ(seen, std::vector<uint32_t>{'7'});
}

}  // namespace
}  // namespace tillcast
