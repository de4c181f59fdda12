// Figures of the keyboard scanner filter: time per key decision (p50, p99)
// over a mix of scans and typing, and, where /dev/uinput is usable, the
// latency from a key on a device to its re-emission on the virtual
// keyboard.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "platform/input_evdev.h"
#include "platform/input_keymap.h"
#include "scanner/keyboard_filter.h"
#include "virtual_scanner.h"

namespace {

using Clock = std::chrono::steady_clock;

class NullHook final : public tillcast::platform::KeyboardHook, public tillcast::platform::KeySynthesizer {
 public:
  bool Install(tillcast::platform::KeyboardHookProc) override { return true; }
  void Uninstall() override {}
  intptr_t CallNextHook(int, uint32_t, const tillcast::platform::KeyRecord&) override { return 0; }
  void SendKey(uint32_t, uint32_t, bool) override {}
};

class NullWindow final : public tillcast::TargetWindow {
 public:
  bool PostMessage(uint32_t, uintptr_t, intptr_t) override { return true; }
};

void Report(const char* what, std::vector<double> ns) {
  std::sort(ns.begin(), ns.end());
  const auto at = [&](double q) { return ns[static_cast<size_t>(q * static_cast<double>(ns.size() - 1))]; };
  std::printf("%-44s n=%zu  p50=%.0f ns  p99=%.0f ns  max=%.0f ns\n", what, ns.size(), at(0.50), at(0.99), ns.back());
}

void DecisionTime() {
  tillcast::platform::FakeClock clock(100000);
  NullHook hook;
  NullWindow window;
  tillcast::KeyboardFilter filter(&clock, &hook, &hook);
  filter.SetTargetWindow(&window);
  // One round: a pause, a scan with shift, a pause, typed text with digits
  // and an R that gets replayed.
  std::vector<std::pair<uint32_t, uint32_t>> round;  // (delay ms, vk)
  round.push_back({1000, tillcast::platform::kVkLShift});
  round.push_back({8, tillcast::platform::kVkR});
  for (char c : std::string("1234567890123456789")) round.push_back({8, static_cast<uint32_t>(c)});
  round.push_back({8, tillcast::platform::kVkReturn});
  round.push_back({1000, tillcast::platform::kVkR});
  for (char c : std::string("42")) round.push_back({120, static_cast<uint32_t>(c)});
  for (char c : std::string("HELLO WORLD")) round.push_back({120, static_cast<uint32_t>(c)});
  std::vector<double> ns;
  ns.reserve(round.size() * 20000);
  tillcast::platform::KeyRecord key;
  for (int r = 0; r < 20000; ++r) {
    for (auto [delay, vk] : round) {
      clock.Advance(delay);
      key.vkCode = vk;
      const auto t0 = Clock::now();
      filter.FilterForTillcast(0, tillcast::platform::kMsgKeyDown, key);
      const auto t1 = Clock::now();
      ns.push_back(std::chrono::duration<double, std::nano>(t1 - t0).count());
    }
  }
  Report("filter decision per key-down", ns);
}

void ReEmitLatency() {
  std::string why;
  if (!tillcast::test::UinputUsable(&why)) {
    std::printf("device to re-emission latency: skipped, %s\n", why.c_str());
    return;
  }
  tillcast::test::VirtualScanner scanner;
  if (scanner.node().empty()) {
    std::printf("device to re-emission latency: skipped, no event node for the test scanner\n");
    return;
  }
  tillcast::platform::EvdevHookOptions o;
  o.accept = [](const tillcast::platform::InputDeviceInfo& info) {
    return info.name == tillcast::test::kTestScannerName;
  };
  tillcast::platform::EvdevKeyboardHook hook(o);
  if (!hook.Install([&](int code, uint32_t message, const tillcast::platform::KeyRecord& key) {
        return hook.CallNextHook(code, message, key);
      }) ||
      hook.GrabbedDevices().empty() || hook.VirtualKeyboardNode().empty()) {
    std::printf("device to re-emission latency: skipped, the test scanner could not be grabbed\n");
    return;
  }
  tillcast::platform::ScopedFd out(::open(hook.VirtualKeyboardNode().c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  std::vector<double> ns;
  for (int i = 0; i < 2000 && out.valid(); ++i) {
    const int32_t value = i % 2 == 0 ? 1 : 0;
    const auto t0 = Clock::now();
    scanner.Key(KEY_X, value);
    bool seen = false;
    while (!seen) {
      pollfd p{out.get(), POLLIN, 0};
      if (::poll(&p, 1, 1000) <= 0) break;
      input_event ev;
      while (::read(out.get(), &ev, sizeof(ev)) == static_cast<ssize_t>(sizeof(ev))) {
        if (ev.type == EV_KEY && ev.code == KEY_X && ev.value == value) seen = true;
      }
    }
    if (!seen) break;
    ns.push_back(std::chrono::duration<double, std::nano>(Clock::now() - t0).count());
  }
  hook.Uninstall();
  if (ns.empty()) {
    std::printf("device to re-emission latency: no event came back\n");
    return;
  }
  Report("device key to virtual keyboard (pass-all)", ns);
}

}  // namespace

int main() {
  DecisionTime();
  ReEmitLatency();
  return 0;
}
