// The evdev backend's loop, hot-plug and re-emission, with real inotify on
// a temporary folder and each "device" a pipe that carries input_event
// records (no /dev/input here); what would go to uinput is recorded.
#include "platform/input_evdev.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/input.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <thread>

#include "platform/input_keymap.h"
#include "scanner/keyboard_filter.h"
#include "scanner_test_util.h"
#include "support/test_support.h"

namespace tillcast {
namespace {

using platform::EvdevHookOptions;
using platform::EvdevKeyboardHook;
using platform::InputDeviceInfo;
using platform::KeyRecord;

class FakeNodes final : public platform::InputNodes {
 public:
  struct Node {
    int read_end = -1;
    int write_end = -1;
    InputDeviceInfo info;
    std::vector<uint16_t> keys_down;
    int open_error = 0;
    int grab_error = 0;
    int grabs = 0;
  };

  ~FakeNodes() override {
    for (auto& [path, n] : nodes_) {
      if (n.read_end >= 0) ::close(n.read_end);
      if (n.write_end >= 0) ::close(n.write_end);
    }
  }

  // A device reachable at `path` (and at each alias).
  void Add(const std::string& path, InputDeviceInfo info) {
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_NONBLOCK | O_CLOEXEC), 0);
    std::lock_guard<std::mutex> l(mu_);
    Node& n = nodes_[path];
    n.read_end = fds[0];
    n.write_end = fds[1];
    n.info = std::move(info);
  }
  void Alias(const std::string& alias, const std::string& path) {
    std::lock_guard<std::mutex> l(mu_);
    aliases_[alias] = path;
  }
  template <typename F>
  void Edit(const std::string& path, F f) {
    std::lock_guard<std::mutex> l(mu_);
    f(nodes_.at(path));
  }
  int Grabs(const std::string& path) {
    std::lock_guard<std::mutex> l(mu_);
    return nodes_.at(path).grabs;
  }
  // Writes key events, each followed by a report, as one burst.
  void Keys(const std::string& path, const std::vector<std::pair<uint16_t, int32_t>>& keys) {
    std::vector<input_event> evs;
    for (auto [code, value] : keys) {
      input_event ev{};
      ev.type = EV_KEY;
      ev.code = code;
      ev.value = value;
      evs.push_back(ev);
      input_event syn{};
      syn.type = EV_SYN;
      syn.code = SYN_REPORT;
      evs.push_back(syn);
    }
    Raw(path, evs);
  }
  void Raw(const std::string& path, const std::vector<input_event>& evs) {
    int fd;
    {
      std::lock_guard<std::mutex> l(mu_);
      fd = nodes_.at(path).write_end;
    }
    const size_t bytes = evs.size() * sizeof(input_event);
    ASSERT_EQ(::write(fd, evs.data(), bytes), static_cast<ssize_t>(bytes));
  }
  // The device goes away: its stream ends.
  void Unplug(const std::string& path) {
    std::lock_guard<std::mutex> l(mu_);
    Node& n = nodes_.at(path);
    ::close(n.write_end);
    n.write_end = -1;
  }

  int Open(const std::string& path, int* err) override {
    std::lock_guard<std::mutex> l(mu_);
    auto a = aliases_.find(path);
    auto it = nodes_.find(a != aliases_.end() ? a->second : path);
    if (it == nodes_.end()) {
      *err = ENOENT;
      return -1;
    }
    if (it->second.open_error) {
      *err = it->second.open_error;
      return -1;
    }
    const int fd = ::fcntl(it->second.read_end, F_DUPFD_CLOEXEC, 0);
    by_fd_[fd] = it->first;
    return fd;
  }
  bool Describe(int fd, InputDeviceInfo* info) override {
    std::lock_guard<std::mutex> l(mu_);
    *info = nodes_.at(by_fd_.at(fd)).info;
    return true;
  }
  bool KeysDown(int fd, std::vector<uint16_t>* codes) override {
    std::lock_guard<std::mutex> l(mu_);
    *codes = nodes_.at(by_fd_.at(fd)).keys_down;
    return true;
  }
  bool Grab(int fd, bool on, int* err) override {
    std::lock_guard<std::mutex> l(mu_);
    Node& n = nodes_.at(by_fd_.at(fd));
    if (on && n.grab_error) {
      if (err) *err = n.grab_error;
      return false;
    }
    if (on) ++n.grabs;
    return true;
  }

 private:
  std::mutex mu_;
  std::map<std::string, Node> nodes_;
  std::map<std::string, std::string> aliases_;
  std::map<int, std::string> by_fd_;  // fds are reused; the latest open wins
};

// What would have gone to the virtual keyboard.
class Emitted {
 public:
  class Emitter final : public platform::KeyEmitter {
   public:
    explicit Emitter(Emitted* sink) : sink_(sink) {}
    bool Emit(uint16_t code, int32_t value) override {
      sink_->Add(code, value);
      return true;
    }

   private:
    Emitted* sink_;
  };
  void Add(uint16_t code, int32_t value) {
    std::lock_guard<std::mutex> l(mu_);
    events_.push_back({code, value});
    cv_.notify_all();
  }
  std::vector<std::pair<uint16_t, int32_t>> Events() const {
    std::lock_guard<std::mutex> l(mu_);
    return events_;
  }
  bool WaitFor(size_t n) {
    std::unique_lock<std::mutex> l(mu_);
    return cv_.wait_for(l, std::chrono::seconds(5), [&] { return events_.size() >= n; });
  }

 private:
  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::vector<std::pair<uint16_t, int32_t>> events_;
};

InputDeviceInfo Keyboard(const std::string& name) {
  InputDeviceInfo info;
  info.name = name;
  info.bustype = BUS_USB;
  info.keyboard = true;
  return info;
}

template <typename F>
bool Eventually(F condition) {
  for (int i = 0; i < 1000; ++i) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

class EvdevHookTest : public ::testing::Test {
 protected:
  void SetUp() override { std::filesystem::create_directories(dir.Sub("input")); }

  std::string Node(const std::string& name) { return dir.Sub("input") + "/" + name; }
  // Makes the node visible in the folder (after registering it).
  void Plug(const std::string& name, InputDeviceInfo info) {
    nodes.Add(Node(name), std::move(info));
    test::WriteFile(Node(name), "");
  }

  EvdevHookOptions Options() {
    EvdevHookOptions o;
    o.input_dir = dir.Sub("input");
    o.nodes = &nodes;
    o.make_emitter = [this](std::string*) { return std::make_unique<Emitted::Emitter>(&emitted); };
    o.log = [this](int level, const std::string& line) {
      std::lock_guard<std::mutex> l(log_mu);
      log += std::to_string(level) + " " + line + "\n";
    };
    return o;
  }
  std::string Log() {
    std::lock_guard<std::mutex> l(log_mu);
    return log;
  }
  size_t Count(const std::string& needle) {
    const std::string text = Log();
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
    return n;
  }

  // A procedure that hands every event on and remembers what it saw.
  platform::KeyboardHookProc PassAll(EvdevKeyboardHook* hook) {
    return [this, hook](int code, uint32_t message, const KeyRecord& key) {
      {
        std::lock_guard<std::mutex> l(seen_mu);
        seen.push_back({message, key});
      }
      return hook->CallNextHook(code, message, key);
    };
  }

  test::TempDir dir;
  FakeNodes nodes;
  Emitted emitted;
  std::mutex log_mu;
  std::string log;
  std::mutex seen_mu;
  std::vector<std::pair<uint32_t, KeyRecord>> seen;
};

TEST_F(EvdevHookTest, GrabsKeyboardsOnlyAndReEmitsEveryKeyInOrder) {
  Plug("event0", Keyboard("AT keyboard"));
  InputDeviceInfo mouse;
  mouse.name = "USB mouse";
  Plug("event1", mouse);
  InputDeviceInfo own = Keyboard(platform::kVirtualKeyboardName);
  own.bustype = BUS_VIRTUAL;
  own.vendor = platform::kVirtualKeyboardVendor;
  own.product = platform::kVirtualKeyboardProduct;
  Plug("event2", own);

  EvdevKeyboardHook hook(Options());
  ASSERT_TRUE(hook.Install(PassAll(&hook)));
  EXPECT_EQ(hook.GrabbedDevices(), std::vector<std::string>{Node("event0")});
  EXPECT_EQ(nodes.Grabs(Node("event1")), 0);
  EXPECT_EQ(nodes.Grabs(Node("event2")), 0);

  // Press, auto-repeat, release; then a long burst across several reads.
  std::vector<std::pair<uint16_t, int32_t>> keys = {{KEY_A, 1}, {KEY_A, 2}, {KEY_A, 2}, {KEY_A, 0}};
  for (int i = 0; i < 100; ++i) {
    const uint16_t code = static_cast<uint16_t>(KEY_1 + i % 10);
    keys.push_back({code, 1});
    keys.push_back({code, 0});
  }
  nodes.Keys(Node("event0"), keys);
  ASSERT_TRUE(emitted.WaitFor(keys.size()));
  EXPECT_EQ(emitted.Events(), keys);
  hook.Uninstall();
  EXPECT_TRUE(hook.GrabbedDevices().empty());
}

TEST_F(EvdevHookTest, MapsKeysToVirtualKeyCodesAndAltMakesSystemKeys) {
  Plug("event0", Keyboard("kbd"));
  EvdevKeyboardHook hook(Options());
  ASSERT_TRUE(hook.Install(PassAll(&hook)));
  const std::vector<std::pair<uint16_t, int32_t>> keys = {
      {KEY_KP5, 1},     {KEY_5, 1},         {KEY_0, 1},          {KEY_R, 1}, {KEY_ENTER, 1},
      {KEY_KPENTER, 1}, {KEY_LEFTSHIFT, 1}, {KEY_RIGHTSHIFT, 1}, {KEY_Q, 1}, {KEY_LEFTALT, 1},
      {KEY_R, 1},       {KEY_R, 0},         {KEY_LEFTALT, 0},    {KEY_R, 1}, {KEY_R, 2}};
  nodes.Keys(Node("event0"), keys);
  ASSERT_TRUE(emitted.WaitFor(keys.size()));
  hook.Uninstall();
  struct Want {
    uint32_t message;
    uint32_t vk;
    uint32_t flags;
  };
  using namespace platform;
  const std::vector<Want> want = {{kMsgKeyDown, '5', 0},
                                  {kMsgKeyDown, '5', 0},
                                  {kMsgKeyDown, '0', 0},
                                  {kMsgKeyDown, kVkR, 0},
                                  {kMsgKeyDown, kVkReturn, 0},
                                  {kMsgKeyDown, kVkReturn, 0},
                                  {kMsgKeyDown, kVkLShift, 0},
                                  {kMsgKeyDown, kVkRShift, 0},
                                  {kMsgKeyDown, kVkOther, 0},
                                  {kMsgSysKeyDown, kVkOther, kKeyFlagAltDown},
                                  {kMsgSysKeyDown, kVkR, kKeyFlagAltDown},
                                  {kMsgSysKeyUp, kVkR, kKeyFlagAltDown | kKeyFlagUp},
                                  {kMsgKeyUp, kVkOther, kKeyFlagUp},
                                  {kMsgKeyDown, kVkR, 0},
                                  {kMsgKeyDown, kVkR, kKeyFlagRepeat}};
  std::lock_guard<std::mutex> l(seen_mu);
  ASSERT_EQ(seen.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(seen[i].first, want[i].message);
    EXPECT_EQ(seen[i].second.vkCode, want[i].vk);
    EXPECT_EQ(seen[i].second.flags, want[i].flags);
    EXPECT_EQ(seen[i].second.scanCode, keys[i].first);
  }
}

TEST_F(EvdevHookTest, HotPlugGrabsNewKeyboardsAndDropsUnpluggedOnes) {
  EvdevKeyboardHook hook(Options());
  ASSERT_TRUE(hook.Install(PassAll(&hook)));  // nothing plugged in yet: waits
  EXPECT_TRUE(hook.GrabbedDevices().empty());
  EXPECT_EQ(Count("waiting for one"), 1u);

  Plug("event4", Keyboard("scanner"));
  ASSERT_TRUE(Eventually([&] { return hook.GrabbedDevices().size() == 1; }));
  // Shift held when the scanner is pulled out: the virtual keyboard must
  // not keep it pressed.
  nodes.Keys(Node("event4"), {{KEY_LEFTSHIFT, 1}, {KEY_7, 1}, {KEY_7, 0}});
  ASSERT_TRUE(emitted.WaitFor(3));
  nodes.Unplug(Node("event4"));
  ASSERT_TRUE(Eventually([&] { return hook.GrabbedDevices().empty(); }));
  ASSERT_TRUE(emitted.WaitFor(4));
  EXPECT_EQ(emitted.Events().back(), (std::pair<uint16_t, int32_t>{KEY_LEFTSHIFT, 0}));
  std::filesystem::remove(Node("event4"));

  // A second keyboard, removed by its node disappearing; a third still works.
  Plug("event5", Keyboard("second"));
  ASSERT_TRUE(Eventually([&] { return hook.GrabbedDevices().size() == 1; }));
  std::filesystem::remove(Node("event5"));
  ASSERT_TRUE(Eventually([&] { return hook.GrabbedDevices().empty(); }));
  Plug("event6", Keyboard("third"));
  ASSERT_TRUE(Eventually([&] { return hook.GrabbedDevices() == std::vector<std::string>{Node("event6")}; }));
  nodes.Keys(Node("event6"), {{KEY_9, 1}});
  ASSERT_TRUE(emitted.WaitFor(5));
  EXPECT_EQ(emitted.Events().back(), (std::pair<uint16_t, int32_t>{KEY_9, 1}));
  // One line per removal, no error loop.
  EXPECT_EQ(Count("dropped"), 2u) << Log();
  EXPECT_EQ(Count("0 keyboard hook"), 0u) << Log();
}

TEST_F(EvdevHookTest, KeyboardWithKeysDownIsGrabbedOnceTheyAreReleased) {
  Plug("event0", Keyboard("kbd"));
  nodes.Edit(Node("event0"), [](FakeNodes::Node& n) { n.keys_down = {KEY_ENTER}; });
  EvdevKeyboardHook hook(Options());
  ASSERT_TRUE(hook.Install(PassAll(&hook)));
  EXPECT_TRUE(hook.GrabbedDevices().empty());
  // The release the applications already see; then the device is ours.
  nodes.Edit(Node("event0"), [](FakeNodes::Node& n) { n.keys_down.clear(); });
  nodes.Keys(Node("event0"), {{KEY_ENTER, 0}});
  ASSERT_TRUE(Eventually([&] { return hook.GrabbedDevices().size() == 1; }));
  nodes.Keys(Node("event0"), {{KEY_B, 1}, {KEY_B, 0}});
  ASSERT_TRUE(emitted.WaitFor(2));
  EXPECT_EQ(emitted.Events(), (std::vector<std::pair<uint16_t, int32_t>>{{KEY_B, 1}, {KEY_B, 0}}));
}

TEST_F(EvdevHookTest, ConfiguredDeviceIsGrabbedOnceEvenUnderTwoNames) {
  InputDeviceInfo odd;  // a scanner that does not look like a keyboard
  odd.name = "scanner";
  Plug("event3", odd);
  nodes.Alias("/dev/serial-scanner", Node("event3"));
  Plug("event7", Keyboard("kbd"));
  nodes.Alias("/dev/by-id-kbd", Node("event7"));
  EvdevHookOptions o = Options();
  o.device_paths = {"/dev/serial-scanner", "/dev/by-id-kbd", "/dev/absent"};
  EvdevKeyboardHook hook(o);
  ASSERT_TRUE(hook.Install(PassAll(&hook)));
  EXPECT_EQ(hook.GrabbedDevices(), (std::vector<std::string>{"/dev/serial-scanner", Node("event7")}));
  EXPECT_EQ(nodes.Grabs(Node("event7")), 1);
}

TEST_F(EvdevHookTest, NoAccessMeansNoHookAndAClearLogLine) {
  Plug("event0", Keyboard("kbd"));
  Plug("event1", Keyboard("kbd2"));
  for (const char* n : {"event0", "event1"})
    nodes.Edit(Node(n), [](FakeNodes::Node& node) { node.open_error = EACCES; });
  EvdevKeyboardHook hook(Options());
  EXPECT_FALSE(hook.Install(PassAll(&hook)));
  EXPECT_NE(Log().find("no access to any keyboard (2 device(s) refused)"), std::string::npos) << Log();
  EXPECT_TRUE(hook.GrabbedDevices().empty());
  hook.Uninstall();  // nothing to undo

  // A folder that does not exist.
  EvdevHookOptions o = Options();
  o.input_dir = dir.Sub("missing");
  EvdevKeyboardHook hook2(o);
  EXPECT_FALSE(hook2.Install(PassAll(&hook2)));
  EXPECT_NE(Log().find("cannot watch"), std::string::npos) << Log();
}

TEST_F(EvdevHookTest, NoVirtualKeyboardMeansNoHook) {
  Plug("event0", Keyboard("kbd"));
  EvdevHookOptions o = Options();
  o.make_emitter = [](std::string* why) -> std::unique_ptr<platform::KeyEmitter> {
    *why = "open /dev/uinput: No such file or directory";
    return nullptr;
  };
  EvdevKeyboardHook hook(o);
  EXPECT_FALSE(hook.Install(PassAll(&hook)));
  EXPECT_NE(Log().find("cannot create the virtual keyboard (open /dev/uinput: No such file or directory)"),
            std::string::npos);
  EXPECT_EQ(nodes.Grabs(Node("event0")), 0);

  // And the real uinput path, pointed at nothing.
  EvdevHookOptions real = Options();
  real.make_emitter = nullptr;
  real.uinput_path = dir.Sub("no-uinput");
  EvdevKeyboardHook hook2(real);
  EXPECT_FALSE(hook2.Install(PassAll(&hook2)));
  EXPECT_NE(Log().find("open " + dir.Sub("no-uinput") + ": No such file or directory"), std::string::npos) << Log();
}

TEST_F(EvdevHookTest, DeviceGrabbedElsewhereIsLeftAloneAndLoggedOnce) {
  Plug("event0", Keyboard("kbd"));
  Plug("event1", Keyboard("busy"));
  nodes.Edit(Node("event1"), [](FakeNodes::Node& n) { n.grab_error = EBUSY; });
  EvdevKeyboardHook hook(Options());
  ASSERT_TRUE(hook.Install(PassAll(&hook)));
  EXPECT_EQ(hook.GrabbedDevices(), std::vector<std::string>{Node("event0")});
  // Its attributes change (udev): tried again, not logged again.
  test::WriteFile(Node("event1"), "x");
  ::chmod(Node("event1").c_str(), 0644);
  Plug("event2", Keyboard("later"));
  ASSERT_TRUE(Eventually([&] { return hook.GrabbedDevices().size() == 2; }));
  EXPECT_EQ(Count("cannot grab"), 1u) << Log();
}

TEST_F(EvdevHookTest, OverflowReleasesKeysLostInIt) {
  Plug("event0", Keyboard("kbd"));
  EvdevKeyboardHook hook(Options());
  ASSERT_TRUE(hook.Install(PassAll(&hook)));
  nodes.Keys(Node("event0"), {{KEY_LEFTSHIFT, 1}});
  ASSERT_TRUE(emitted.WaitFor(1));
  // The kernel dropped events (the shift's release among them); the
  // events up to the next report are stale.
  input_event dropped{};
  dropped.type = EV_SYN;
  dropped.code = SYN_DROPPED;
  input_event stale{};
  stale.type = EV_KEY;
  stale.code = KEY_X;
  stale.value = 1;
  input_event report{};
  report.type = EV_SYN;
  report.code = SYN_REPORT;
  nodes.Raw(Node("event0"), {dropped, stale, report});
  ASSERT_TRUE(emitted.WaitFor(2));
  nodes.Keys(Node("event0"), {{KEY_Y, 1}});
  ASSERT_TRUE(emitted.WaitFor(3));
  EXPECT_EQ(emitted.Events(),
            (std::vector<std::pair<uint16_t, int32_t>>{{KEY_LEFTSHIFT, 1}, {KEY_LEFTSHIFT, 0}, {KEY_Y, 1}}));
}

// The filter on the backend: a scan typed on a device is taken away and
// announced; only the shift reaches the applications, and no key-down of
// the code.
TEST_F(EvdevHookTest, ScanThroughTheBackendIsRecognisedAndNotLeaked) {
  Plug("event0", Keyboard("scanner"));
  EvdevKeyboardHook hook(Options());
  platform::FakeClock clock(50000);
  test::RecordingWindow window;
  KeyboardFilter filter(&clock, &hook, &hook);
  filter.SetTargetWindow(&window);
  ASSERT_TRUE(filter.Install());

  nodes.Keys(Node("event0"), {{KEY_A, 1}, {KEY_A, 0}});
  ASSERT_TRUE(emitted.WaitFor(2));
  clock.Advance(1000);
  std::vector<std::pair<uint16_t, int32_t>> scan = {{KEY_LEFTSHIFT, 1}, {KEY_R, 1}, {KEY_R, 0}, {KEY_LEFTSHIFT, 0}};
  const std::string digits = "1234567890123456789";
  for (char c : digits) {
    const uint16_t code = platform::VkToEvdev(static_cast<uint32_t>(c));
    scan.push_back({code, 1});
    scan.push_back({code, 0});
  }
  scan.push_back({KEY_KPENTER, 1});
  scan.push_back({KEY_KPENTER, 0});
  nodes.Keys(Node("event0"), scan);
  ASSERT_TRUE(window.WaitFor(1, 5000));
  EXPECT_EQ(filter.GetBarcode(), L"R1234567890123456789");
  // Typing goes on normally after the scan.
  nodes.Keys(Node("event0"), {{KEY_Z, 1}});
  ASSERT_TRUE(Eventually([&] { return emitted.Events().back() == std::pair<uint16_t, int32_t>{KEY_Z, 1}; }));
  filter.Uninstall();
  for (const auto& [code, value] : emitted.Events()) {
    if (value != 0 && code != KEY_LEFTSHIFT && code != KEY_A && code != KEY_Z) ADD_FAILURE() << "leaked key " << code;
  }
  EXPECT_EQ(window.Posts().size(), 1u);
}

}  // namespace
}  // namespace tillcast
