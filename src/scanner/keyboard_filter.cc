#include "scanner/keyboard_filter.h"

#include <chrono>

#include "platform/codepage.h"
#include "scanner/debug_output.h"

namespace tillcast {

std::atomic<uint32_t> g_iMaxKeyDownPastTime{300};

namespace {

using platform::kVkLShift;
using platform::kVkR;
using platform::kVkReturn;
using platform::kVkRShift;

bool IsDigit(uint32_t k) { return k >= platform::kVk0 && k <= platform::kVk9; }
bool IsShift(uint32_t k) { return k == kVkLShift || k == kVkRShift; }

// One diagnostic line of the rules, with their common prefix and line end.
void Say(const char* text) { ScannerDebug("Tillcast : %s\r\n", text); }

}  // namespace

KeyboardFilter::KeyboardFilter(platform::Clock* clock, platform::KeyboardHook* hook_backend,
                               platform::KeySynthesizer* synthesizer)
    : clock_(clock), hookBackend_(hook_backend), synthesizer_(synthesizer) {}

KeyboardFilter::~KeyboardFilter() { Uninstall(); }

void KeyboardFilter::SetTargetWindow(TargetWindow* window) { targetWindow.store(window); }

bool KeyboardFilter::Install() {
  ScannerDebug("g_iMaxKeyDownPastTime = 300 \n");
  g_iMaxKeyDownPastTime.store(300);
  hook = hookBackend_->Install([this](int code, uint32_t message, const platform::KeyRecord& key) {
    return FilterForTillcast(code, message, key);
  });
  {
    std::lock_guard<std::mutex> l(helpMu_);
    running.store(true);
  }
  if (!helpThread_.joinable()) helpThread_ = std::thread(&KeyboardFilter::HelpThreadMain, this);
  return hook;
}

void KeyboardFilter::Uninstall() {
  {
    std::lock_guard<std::mutex> l(helpMu_);
    running.store(false);
  }
  helpCv_.notify_all();
  if (helpThread_.joinable()) helpThread_.join();
  if (hook) {
    hookBackend_->Uninstall();
    hook = false;
  }
}

std::wstring KeyboardFilter::GetBarcode() const {
  std::lock_guard<std::mutex> l(lock);
  return barcode;
}

intptr_t KeyboardFilter::FilterForTillcast(int code, uint32_t message, const platform::KeyRecord& key) {
  ScannerDebug("Tillcast :FilterForTillcast callback start ... \r\n");
  bool pass = true;
  if (code == platform::kHookAction && message == platform::kMsgKeyDown) {
    const uint32_t k = key.vkCode;
    const uint32_t now = clock_->TickCount();
    ScannerDebug("Tillcast :  Recv vkcode=%c 0x%x\r\n", static_cast<int>(k & 0xFF), k);
    ScannerDebug("Tillcast : iCurTime=%d, m_lst_keydown_time=%d\r\n", static_cast<int>(now),
                 static_cast<int>(m_lst_keydown_time.load()));
    if (!m_bIsHookCurChar.load()) {
      Say("current is stop hook, m_bIsHookCurChar==false ");
      m_lst_keydown_time.store(clock_->TickCount());
    } else {
      std::lock_guard<std::mutex> l(lock);
      pass = ApplyRules(k, key.scanCode, now);
      // Stored under the lock so the help thread never judges a key's
      // silence by the time of the key before it.
      m_lst_keydown_time.store(clock_->TickCount());
    }
  }
  intptr_t lr = 1;
  if (pass) {
    ScannerDebug("CallNextHookEx \r\n");
    std::lock_guard<std::recursive_mutex> out(outputLock_);
    lr = hookBackend_->CallNextHook(code, message, key);
  }
  ScannerDebug("Tillcast : FilterForTillcast callback End (lr=%d)... \r\n", static_cast<int>(lr));
  return lr;
}

bool KeyboardFilter::ApplyRules(uint32_t k, uint32_t scan, uint32_t now) {
  const uint32_t last = m_lst_keydown_time.load();
  // No key-down yet counts as a long pause: otherwise the first scan after
  // start-up could never be recognised and would reach the till as typing.
  const bool timeout = last == 0 || static_cast<uint32_t>(now - last) >= g_iMaxKeyDownPastTime.load();
  const bool digit = IsDigit(k);
  const bool r = k == kVkR;
  const bool enter = k == kVkReturn;
  const bool shift = IsShift(k);

  // 1: a key that can be no part of a code.
  if (!digit && !r && !enter && !shift) {
    Say("other char come");
    if (!keyBuffer.empty()) {
      Say("clear buf by ReInput");
      ReSendAllBuf();
    }
    return true;
  }
  if (timeout) {
    Say("timeout clear buf by ReInput");
    ReSendAllBuf();
    // 2: a digit or Enter after a pause starts nothing.
    if (digit || enter) return true;
    // 3, 4: R or a shift after a pause may start a code.
    Say("timeout but R or shift is comming , save it");
    keyBuffer.push_back({k, scan});
    if (r) return false;
    Say("shift key need  pass to next");
    return true;
  }
  // 5: a shift inside a sequence breaks it.
  if (shift) {
    if (!keyBuffer.empty()) {
      Say("come a wrong pos shift , clear Resend buf  ");
      ReSendAllBuf();
    }
    return true;
  }
  if (r) {
    // 6: R right after the shift that opened the sequence.
    if (keyBuffer.size() == 1) {
      Say("Save secod pos R char ");
      keyBuffer.push_back({k, scan});
      return false;
    }
    // 7
    Say("cur R is not second pos char, clear buf by ReInput  ");
    ReSendAllBuf();
    return true;
  }
  if (digit) {
    Say("int char come ");
    bool has_r = false;
    for (const HeldKey& h : keyBuffer) has_r = has_r || h.vk == kVkR;
    // 8: a digit of a code being held.
    if (has_r) {
      Say("save this int char ");
      keyBuffer.push_back({k, scan});
      return false;
    }
    // 9
    return true;
  }
  // Enter.
  ScannerDebug("VK_RETURN come \r\n");
  const size_t n = keyBuffer.size();
  const bool starts_right =
      n >= 2 && (keyBuffer[0].vk == kVkR || (keyBuffer[1].vk == kVkR && IsShift(keyBuffer[0].vk)));
  // 10: a whole code.
  if (n >= 20 && n <= 22 && starts_right) {
    Say("good bar need to send RECEIVE_BARCODE_MSG ");
    barcode.clear();
    CopyStorageToBarcode(keyBuffer, &barcode);
    keyBuffer.clear();
    if (TargetWindow* window = targetWindow.load()) {
      window->PostMessage(RECEIVE_BARCODE_MSG, 0, 0);
    } else {
      Say("no target window for RECEIVE_BARCODE_MSG ");
    }
    return false;
  }
  // 11
  Say("VK_RETURN come but need to resend all ");
  ReSendAllBuf();
  return true;
}

bool KeyboardFilter::ReSendAllBuf() {
  ScannerDebug("ReSendAllBuf start ... \r\n");
  std::lock_guard<std::recursive_mutex> out(outputLock_);
  m_bIsHookCurChar.store(false);
  const std::vector<HeldKey> keys = std::move(keyBuffer);
  keyBuffer.clear();
  for (size_t i = 0; i < keys.size();) {
    const HeldKey& c = keys[i];
    ScannerDebug("ReSendAllBuf ReInput char = %c 0x%x\r\n", static_cast<int>(c.vk & 0xFF), c.vk);
    if (!IsShift(c.vk)) {
      synthesizer_->SendKey(c.vk, c.scan, false);
      synthesizer_->SendKey(c.vk, c.scan, true);
      i += 1;
    } else if (i + 1 < keys.size()) {
      const HeldKey& next = keys[i + 1];
      synthesizer_->SendKey(c.vk, c.scan, false);
      synthesizer_->SendKey(next.vk, next.scan, false);
      synthesizer_->SendKey(next.vk, next.scan, true);
      synthesizer_->SendKey(c.vk, c.scan, true);
      i += 2;
    } else {
      i += 1;  // a lone trailing shift was passed on when typed
    }
  }
  m_bIsHookCurChar.store(true);
  ScannerDebug("ReSendAllBuf End ... \r\n");
  return true;
}

bool KeyboardFilter::CopyStorageToBarcode(const std::vector<HeldKey>& keys, std::wstring* out) {
  std::string text;
  for (size_t i = 0; i < keys.size(); ++i) {
    uint32_t c = keys[i].vk;
    if (IsShift(c)) {
      if (i + 1 >= keys.size()) break;
      c = keys[++i].vk;
    }
    text.push_back(static_cast<char>(c));
  }
  ScannerDebug("CopyStorageToBarcode:");
  ScannerDebug("%s", text.c_str());
  ScannerDebug("\r\n");
  int err = 0;
  if (!platform::NarrowToWide(platform::AnsiCodePageName(), text, out, &err)) {
    out->assign(text.begin(), text.end());  // R and digits are the same in every code page
  }
  return true;
}

void KeyboardFilter::HelpThreadPass() {
  std::lock_guard<std::mutex> l(lock);
  const uint32_t now = clock_->TickCount();
  if (static_cast<uint32_t>(now - m_lst_keydown_time.load()) > g_iMaxKeyDownPastTime.load() && !keyBuffer.empty()) {
    ScannerDebug("help thread : time out ,need to clear buf\r\n");
    ReSendAllBuf();
  }
}

void KeyboardFilter::HelpThreadMain() {
  std::unique_lock<std::mutex> l(helpMu_);
  while (running.load()) {
    l.unlock();
    HelpThreadPass();
    l.lock();
    helpCv_.wait_for(l, std::chrono::milliseconds(g_iMaxKeyDownPastTime.load() / 2),
                     [this] { return !running.load(); });
  }
}

}  // namespace tillcast
