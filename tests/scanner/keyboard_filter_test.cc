#include "scanner/keyboard_filter.h"

#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <thread>

#include "scanner/debug_output.h"
#include "scanner_test_util.h"

namespace tillcast {
namespace {

using platform::FakeClock;
using platform::FakeKeyboardHook;
using platform::KeyRecord;
using test::RecordingWindow;
using test::Render;
using test::VkOf;

constexpr uint32_t kGap = 10;  // ms between the keys of one typed run

// "~1 ~1^ ~2 ~2^ ..." for keys replayed one by one.
std::string Replayed(const std::string& keys) {
  std::string s;
  for (char c : keys) {
    if (!s.empty()) s += ' ';
    s += std::string("~") + c + " ~" + c + "^";
  }
  return s;
}

// "1 2 3 ..." for key-downs passed on at once.
std::string Passed(const std::string& keys) {
  std::string s;
  for (char c : keys) {
    if (!s.empty()) s += ' ';
    s += c;
  }
  return s;
}

std::string Join(std::initializer_list<std::string> parts) {
  std::string s;
  for (const std::string& p : parts) {
    if (p.empty()) continue;
    if (!s.empty()) s += ' ';
    s += p;
  }
  return s;
}

class FilterTest : public ::testing::Test {
 protected:
  explicit FilterTest(uint32_t start = 100000) : clock(start), filter(&clock, &hook, &hook) {}
  void SetUp() override { filter.SetTargetWindow(&window); }

  intptr_t Down(uint32_t vk, uint32_t message = platform::kMsgKeyDown) {
    KeyRecord k;
    k.vkCode = vk;
    return filter.FilterForTillcast(platform::kHookAction, message, k);
  }

  // Space-separated runs: "+N" waits N ms; any other run types its keys,
  // each kGap ms after the one before.
  void Type(const std::string& script) {
    std::istringstream in(script);
    std::string run;
    while (in >> run) {
      if (run[0] == '+') {
        clock.Advance(static_cast<uint32_t>(std::stoul(run.substr(1))));
        continue;
      }
      for (char c : run) {
        clock.Advance(kGap);
        Down(VkOf(c));
      }
    }
  }

  std::string Out() const { return Render(hook.Output()); }

  FakeClock clock;
  FakeKeyboardHook hook;
  RecordingWindow window;
  KeyboardFilter filter;
};

struct Case {
  const char* name;
  std::string typed;
  std::string out;       // what reached the applications
  std::wstring barcode;  // "" = nothing recognised
};

const std::vector<Case>& Cases() {
  static const std::vector<Case> cases = {
      {"ShiftScanAfterPause", "a +1000 SR1234567890123456789E", "a S", L"R1234567890123456789"},
      {"RightShiftScan", "a +1000 TR1234567890123456789E", "a T", L"R1234567890123456789"},
      {"ScanWithoutShift", "a +1000 R1234567890123456789E", "a", L"R1234567890123456789"},
      {"ShiftScanOf17DigitsReplayed", "a +1000 SR12345678901234567E",
       Join({"a S ~S ~R ~R^ ~S^", Replayed("12345678901234567"), "E"}), L""},
      {"NineteenHeldKeysReplayed", "a +1000 R123456789012345678E",
       Join({"a ~R ~R^", Replayed("123456789012345678"), "E"}), L""},
      {"TwentyTwoHeldKeysRecognised", "a +1000 R123456789012345678901E", "a", L"R123456789012345678901"},
      {"ShiftAndTwentyDigitsRecognised", "a +1000 SR12345678901234567890E", "a S", L"R12345678901234567890"},
      {"TwentyThreeHeldKeysReplayed", "a +1000 R1234567890123456789012E",
       Join({"a ~R ~R^", Replayed("1234567890123456789012"), "E"}), L""},
      {"DigitsWithoutRPassAtOnce", "a +1000 1234567890E", Join({"a", Passed("1234567890"), "E"}), L""},
      {"FirstScanAfterStartIsRecognised", "R1234567890123456789E", "", L"R1234567890123456789"},
      // 289 + kGap = 299 ms: still one scan.
      {"PauseJustBelowLimitKeepsScan", "a +1000 R12345 +289 67890123456789E", "a", L"R1234567890123456789"},
      // 290 + kGap = 300 ms: the held keys go back, the rest is typing.
      {"PauseAtLimitBreaksScan", "a +1000 R12345 +290 67890123456789E",
       Join({"a ~R ~R^", Replayed("12345"), Passed("67890123456789"), "E"}), L""},
      {"RThenDigitHalfASecondLater", "a +1000 R +490 5", "a ~R ~R^ 5", L""},
      {"PauseBetweenShiftAndRStillScans", "a +1000 S +400 R1234567890123456789E", "a S", L"R1234567890123456789"},
      {"EnterAloneAfterPause", "a +1000 E", "a E", L""},
      {"OtherKeyReleasesHeldKeysFirst", "a +1000 SR12x", "a S ~S ~R ~R^ ~S^ ~1 ~1^ ~2 ~2^ x", L""},
  };
  return cases;
}

TEST_F(FilterTest, DecisionTable) {
  for (const Case& c : Cases()) {
    SCOPED_TRACE(c.name);
    FakeKeyboardHook local_hook;
    RecordingWindow local_window;
    FakeClock local_clock(100000);
    KeyboardFilter f(&local_clock, &local_hook, &local_hook);
    f.SetTargetWindow(&local_window);
    std::istringstream in(c.typed);
    std::string run;
    while (in >> run) {
      if (run[0] == '+') {
        local_clock.Advance(static_cast<uint32_t>(std::stoul(run.substr(1))));
        continue;
      }
      for (char ch : run) {
        local_clock.Advance(kGap);
        KeyRecord k;
        k.vkCode = VkOf(ch);
        const intptr_t lr = f.FilterForTillcast(platform::kHookAction, platform::kMsgKeyDown, k);
        EXPECT_TRUE(lr == 0 || lr == 1);
      }
    }
    EXPECT_EQ(Render(local_hook.Output()), c.out);
    EXPECT_EQ(f.GetBarcode(), c.barcode);
    const auto posts = local_window.Posts();
    ASSERT_EQ(posts.size(), c.barcode.empty() ? 0u : 1u);
    for (const auto& p : posts) {
      EXPECT_EQ(p.message, 1136u);
      EXPECT_EQ(p.wparam, 0u);
      EXPECT_EQ(p.lparam, 0);
    }
  }
}

TEST_F(FilterTest, SwallowedKeysReturnOneAndPassedKeysTheNextHooksResult) {
  Type("a +1000");
  clock.Advance(kGap);
  EXPECT_EQ(Down(platform::kVkLShift), 0);  // passed: the fake's next hook returns 0
  clock.Advance(kGap);
  EXPECT_EQ(Down(platform::kVkR), 1);
  clock.Advance(kGap);
  EXPECT_EQ(Down(VkOf('7')), 1);
}

// A key that breaks the pattern, at every position of a scan: the keys
// held so far come back in order before it, nothing is recognised, and
// everything typed after it passes at once.
TEST_F(FilterTest, InterleavedTypingBreaksThePatternAtEachPosition) {
  const std::string scan = "SR1234567890123456789";
  struct Breaker {
    const char* name;
    std::string run;  // inserted before scan[p]
    std::string passed;
    size_t first;  // positions tried: first .. last
    size_t last;
  };
  const std::vector<Breaker> breakers = {
      {"other", "x", "x", 0, 20},
      {"right shift", "T", "T", 2, 20},
      {"R", "R", "R", 2, 20},
      // An Enter after 18 digits (20 held keys) would end a real code.
      {"Enter", "E", "E", 2, 19},
      {"pause", "+300", "", 2, 20},
  };
  for (const Breaker& b : breakers) {
    for (size_t p = b.first; p <= b.last; ++p) {
      SCOPED_TRACE(std::string(b.name) + " before position " + std::to_string(p));
      FakeKeyboardHook h;
      RecordingWindow w;
      FakeClock c(100000);
      KeyboardFilter f(&c, &h, &h);
      f.SetTargetWindow(&w);
      auto type = [&](const std::string& run) {
        if (run.empty()) return;
        if (run[0] == '+') {
          c.Advance(static_cast<uint32_t>(std::stoul(run.substr(1))));
          return;
        }
        for (char ch : run) {
          c.Advance(kGap);
          KeyRecord k;
          k.vkCode = VkOf(ch);
          f.FilterForTillcast(platform::kHookAction, platform::kMsgKeyDown, k);
        }
      };
      type("a");
      type("+1000");
      type(scan.substr(0, p));
      type(b.run);
      type(scan.substr(p) + "E");

      std::string expected;
      if (p == 0) {
        // The other key came first; the scan after it is plain typing.
        expected = Join({"a", b.passed, Passed(scan), "E"});
      } else {
        // Held before the break: shift (also passed when typed), R, digits.
        const std::string replay = p >= 2 ? Join({"~S ~R ~R^ ~S^", Replayed(scan.substr(2, p - 2))}) : "";
        expected = Join({"a", "S", replay, b.passed, Passed(scan.substr(p)), "E"});
      }
      EXPECT_EQ(Render(h.Output()), expected);
      EXPECT_TRUE(w.Posts().empty());
      EXPECT_EQ(f.GetBarcode(), L"");
    }
  }
}

// The help thread passes every g_iMaxKeyDownPastTime / 2 ms, at any phase
// relative to the key: a lone R comes back more than 300 and at most 450 ms
// after it was typed.
TEST_F(FilterTest, HelpThreadGivesBackHeldRBetween300And450Ms) {
  for (uint32_t phase : {0u, 1u, 75u, 149u}) {
    SCOPED_TRACE("phase " + std::to_string(phase));
    FakeKeyboardHook h;
    FakeClock c(100000);
    KeyboardFilter f(&c, &h, &h);
    KeyRecord k;
    k.vkCode = VkOf('a');
    f.FilterForTillcast(0, platform::kMsgKeyDown, k);
    c.Advance(1000);
    k.vkCode = platform::kVkR;
    EXPECT_EQ(f.FilterForTillcast(0, platform::kMsgKeyDown, k), 1);
    const uint32_t typed_at = c.TickCount();
    c.Advance(phase);
    uint32_t given_back_after = 0;
    for (int pass = 0; pass < 10 && given_back_after == 0; ++pass) {
      f.HelpThreadPass();
      if (Render(h.Output()) == "a ~R ~R^") given_back_after = c.TickCount() - typed_at;
      c.Advance(150);
    }
    EXPECT_GT(given_back_after, 300u);
    EXPECT_LE(given_back_after, 450u);
    // The 5 typed later passes after the R.
    k.vkCode = VkOf('5');
    EXPECT_EQ(f.FilterForTillcast(0, platform::kMsgKeyDown, k), 0);
    EXPECT_EQ(Render(h.Output()), "a ~R ~R^ 5");
  }
}

TEST_F(FilterTest, HelpThreadLeavesAScanInProgressAlone) {
  Type("a +1000 SR123");
  for (int i = 0; i < 5; ++i) {
    filter.HelpThreadPass();  // the keyboard is not silent: last key 0 ms ago
  }
  clock.Advance(280);  // a slow scanner, but not silent
  filter.HelpThreadPass();
  Type("4567890123456789E");
  EXPECT_EQ(Out(), "a S");
  EXPECT_EQ(filter.GetBarcode(), L"R1234567890123456789");
}

// With the home platform's injected keys the replayed keys come through
// the hook again while the replay runs; they must pass, never be held.
TEST_F(FilterTest, ReplayInProgressLetsEveryKeyPass) {
  int reentered = 0;
  hook.on_send = [&](uint32_t vk, bool up) {
    clock.Advance(1000);  // a timeout: R would be held if the rules ran
    KeyRecord k;
    k.vkCode = vk;
    if (!up && vk == platform::kVkR) ++reentered;
    filter.FilterForTillcast(0, up ? platform::kMsgKeyUp : platform::kMsgKeyDown, k);
  };
  Type("a +1000 R12 x");
  hook.on_send = nullptr;
  EXPECT_EQ(reentered, 1);
  EXPECT_EQ(Out(), "a ~R R ~R^ R^ ~1 1 ~1^ 1^ ~2 2 ~2^ 2^ x");
  // Nothing was held back by the re-entered keys.
  clock.Advance(5000);
  filter.HelpThreadPass();
  EXPECT_EQ(Out(), "a ~R R ~R^ R^ ~1 1 ~1^ 1^ ~2 2 ~2^ 2^ x");
}

TEST_F(FilterTest, KeyUpsAndSystemKeysPassWithoutTouchingTheTimer) {
  Type("a +1000");
  KeyRecord up;
  up.vkCode = VkOf('a');
  EXPECT_EQ(filter.FilterForTillcast(0, platform::kMsgKeyUp, up), 0);
  KeyRecord sys;
  sys.vkCode = platform::kVkR;  // Alt+R
  EXPECT_EQ(filter.FilterForTillcast(0, platform::kMsgSysKeyDown, sys), 0);
  // A negative hook code is never looked at either.
  EXPECT_EQ(filter.FilterForTillcast(-1, platform::kMsgKeyDown, sys), 0);
  // Still a pause since the last key-down: this R is held as a scan start.
  Type("R1234567890123456789E");
  EXPECT_EQ(Out(), "a a^ R R");
  EXPECT_EQ(filter.GetBarcode(), L"R1234567890123456789");
}

TEST_F(FilterTest, SecondScanReplacesTheBarcode) {
  Type("a +1000 R1234567890123456789E +1000 SR9876543210987654321E");
  EXPECT_EQ(filter.GetBarcode(), L"R9876543210987654321");
  EXPECT_EQ(window.Posts().size(), 2u);
  EXPECT_EQ(Out(), "a S");
}

TEST_F(FilterTest, ScanWithoutTargetWindowIsStillTakenAway) {
  filter.SetTargetWindow(nullptr);
  Type("a +1000 R1234567890123456789E");
  EXPECT_EQ(Out(), "a");
  EXPECT_EQ(filter.GetBarcode(), L"R1234567890123456789");
}

class WrapFilterTest : public FilterTest {
 protected:
  WrapFilterTest() : FilterTest(0xFFFFFC00u) {}
};

// The tick count wraps every 49.7 days; the pause and the scan both cross
// the wrap.
TEST_F(WrapFilterTest, TimingSurvivesTheTickWrap) {
  Type("a +1000 SR1234567890123456789E");
  EXPECT_LT(clock.TickCount(), 0x1000u);
  EXPECT_EQ(Out(), "a S");
  EXPECT_EQ(filter.GetBarcode(), L"R1234567890123456789");
  Type("+5000 R +400 7");
  EXPECT_EQ(Out(), "a S ~R ~R^ 7");
}

TEST(CopyStorageToBarcodeTest, ShiftStandsForTheKeyAfterIt) {
  using H = KeyboardFilter::HeldKey;
  struct Row {
    std::vector<H> keys;
    std::wstring want;
  };
  const std::vector<Row> rows = {
      {{{platform::kVkLShift, 0}, {platform::kVkR, 0}, {'1', 0}, {'2', 0}}, L"R12"},
      {{{platform::kVkR, 0}, {'0', 0}}, L"R0"},
      {{{platform::kVkRShift, 0}, {platform::kVkR, 0}}, L"R"},
      {{{platform::kVkR, 0}, {platform::kVkLShift, 0}}, L"R"},
      {{}, L""},
  };
  for (const Row& r : rows) {
    std::wstring out = L"stale";
    out.clear();
    EXPECT_TRUE(KeyboardFilter::CopyStorageToBarcode(r.keys, &out));
    EXPECT_EQ(out, r.want);
  }
}

TEST_F(FilterTest, ReplayPressesTheVeryKeysTyped) {
  KeyRecord k;
  k.vkCode = VkOf('a');
  filter.FilterForTillcast(0, platform::kMsgKeyDown, k);
  clock.Advance(1000);
  const std::vector<std::pair<uint32_t, uint32_t>> typed = {
      {platform::kVkRShift, 54}, {platform::kVkR, 19}, {VkOf('7'), 71 /* keypad 7 */}};
  for (auto [vk, scan] : typed) {
    clock.Advance(kGap);
    k.vkCode = vk;
    k.scanCode = scan;
    filter.FilterForTillcast(0, platform::kMsgKeyDown, k);
  }
  clock.Advance(1000);
  filter.HelpThreadPass();
  std::vector<uint32_t> scans;
  for (const auto& o : hook.Output()) {
    if (o.synthesized) scans.push_back(o.scan);
  }
  EXPECT_EQ(scans, (std::vector<uint32_t>{54, 19, 19, 54, 71, 71}));
}

TEST_F(FilterTest, DebugChannelCarriesTheDecisions) {
  std::mutex mu;
  std::string text;
  SetScannerDebugSink([&](const std::string& piece) {
    std::lock_guard<std::mutex> l(mu);
    text += piece;
  });
  EXPECT_TRUE(ScannerDebugEnabled());
  Type("a +1000 SR1234567890123456789E");
  SetScannerDebugSink(nullptr);
  EXPECT_NE(text.find("Tillcast : timeout but R or shift is comming , save it\r\n"), std::string::npos);
  EXPECT_NE(text.find("Tillcast : Save secod pos R char \r\n"), std::string::npos);
  EXPECT_NE(text.find("VK_RETURN come \r\nTillcast : good bar need to send RECEIVE_BARCODE_MSG \r\n"),
            std::string::npos);
  EXPECT_NE(text.find("CopyStorageToBarcode:R1234567890123456789\r\n"), std::string::npos);
  EXPECT_NE(text.find("Tillcast : FilterForTillcast callback End (lr=1)... \r\n"), std::string::npos);
  EXPECT_NE(text.find("Tillcast :  Recv vkcode=R 0x52\r\n"), std::string::npos);
  // Nothing more once the sink is gone (the test environment leaves the
  // channel silent).
  const size_t before = text.size();
  Type("123");
  EXPECT_EQ(text.size(), before);
}

// The installed filter, with its real help thread.
bool WaitForOutput(const FakeKeyboardHook& h, const std::string& want) {
  for (int i = 0; i < 600; ++i) {
    if (Render(h.Output()) == want) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

TEST_F(FilterTest, InstalledFilterRunsTheHelpThreadAndUninstallStopsIt) {
  g_iMaxKeyDownPastTime.store(1000);
  ASSERT_TRUE(filter.Install());
  EXPECT_EQ(g_iMaxKeyDownPastTime.load(), 300u);
  EXPECT_TRUE(hook.installed());
  hook.Feed(platform::kMsgKeyDown, VkOf('a'));
  clock.Advance(1000);
  EXPECT_EQ(hook.Feed(platform::kMsgKeyDown, platform::kVkR), 1);
  clock.Advance(301);
  EXPECT_TRUE(WaitForOutput(hook, "a ~R ~R^")) << Render(hook.Output());
  filter.Uninstall();
  EXPECT_FALSE(hook.installed());
  EXPECT_EQ(hook.uninstalls, 1);
  filter.Uninstall();
  EXPECT_EQ(hook.uninstalls, 1);
  // Installed again, it works again.
  ASSERT_TRUE(filter.Install());
  clock.Advance(1000);
  EXPECT_EQ(hook.Feed(platform::kMsgKeyDown, platform::kVkR), 1);
  clock.Advance(301);
  EXPECT_TRUE(WaitForOutput(hook, "a ~R ~R^ ~R ~R^")) << Render(hook.Output());
}

TEST_F(FilterTest, FailedHookReportsFalseButTheHelpThreadRuns) {
  hook.install_result = false;
  EXPECT_FALSE(filter.Install());
  EXPECT_FALSE(hook.installed());
  Type("a +1000 R");
  clock.Advance(301);
  EXPECT_TRUE(WaitForOutput(hook, "a ~R ~R^")) << Render(hook.Output());
  filter.Uninstall();
  EXPECT_EQ(hook.uninstalls, 0);  // nothing to remove
}

}  // namespace
}  // namespace tillcast
