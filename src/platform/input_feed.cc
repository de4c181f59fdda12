#include "platform/input_feed.h"

#include <fcntl.h>
#include <linux/input-event-codes.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/input_keymap.h"

namespace tillcast::platform {
namespace {

constexpr int kLogError = 0;
constexpr int kLogInfo = 2;

// Letters in alphabetical order, as evdev numbers them (US layout).
constexpr uint16_t kLetters[26] = {KEY_A, KEY_B, KEY_C, KEY_D, KEY_E, KEY_F, KEY_G, KEY_H, KEY_I,
                                   KEY_J, KEY_K, KEY_L, KEY_M, KEY_N, KEY_O, KEY_P, KEY_Q, KEY_R,
                                   KEY_S, KEY_T, KEY_U, KEY_V, KEY_W, KEY_X, KEY_Y, KEY_Z};

}  // namespace

FeedKeyboardHook::FeedKeyboardHook(std::string fifo, std::string output,
                                   std::function<void(int, const std::string&)> log)
    : fifo_(std::move(fifo)), output_(output.empty() ? fifo_ + ".out" : std::move(output)), log_(std::move(log)) {}

FeedKeyboardHook::~FeedKeyboardHook() { Uninstall(); }

void FeedKeyboardHook::Say(int level, const std::string& line) const {
  if (log_) log_(level, line);
}

bool FeedKeyboardHook::Install(KeyboardHookProc proc) {
  if (installed_) return true;
  struct stat st {};
  bool created = false;
  if (::lstat(fifo_.c_str(), &st) == 0) {
    // A pipe left by an earlier run is reused; anything else is not ours.
    if (!S_ISFIFO(st.st_mode)) {
      Say(kLogError, "keyboard feed: " + fifo_ + " exists and is not a pipe; scanner input is not filtered");
      return false;
    }
  } else if (::mkfifo(fifo_.c_str(), 0600) != 0) {
    Say(kLogError, "keyboard feed: cannot make " + fifo_ + ": " + std::strerror(errno));
    return false;
  } else {
    created = true;
  }
  // Read-write, so the pipe never reports end-of-file between writers.
  pipe_.reset(::open(fifo_.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
  wake_.reset(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  if (!pipe_.valid() || !wake_.valid()) {
    Say(kLogError, "keyboard feed: cannot open " + fifo_ + ": " + std::strerror(errno));
    pipe_.reset(-1);
    wake_.reset(-1);
    if (created) ::unlink(fifo_.c_str());
    return false;
  }
  proc_ = std::move(proc);
  installed_ = true;
  reader_ = std::thread([this] { ReadLoop(); });
  Say(kLogInfo, "keyboard feed: keys are read from " + fifo_ + ", what passes goes to " + output_);
  return true;
}

void FeedKeyboardHook::Uninstall() {
  if (!installed_) return;
  const uint64_t one = 1;
  if (::write(wake_.get(), &one, sizeof one) < 0) {
    // The eventfd cannot be full with one pending wake; nothing else to do.
  }
  if (reader_.joinable()) reader_.join();
  pipe_.reset(-1);
  wake_.reset(-1);
  ::unlink(fifo_.c_str());
  proc_ = nullptr;
  installed_ = false;
}

void FeedKeyboardHook::ReadLoop() {
  pollfd fds[2] = {{pipe_.get(), POLLIN, 0}, {wake_.get(), POLLIN, 0}};
  for (;;) {
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      Say(kLogError, std::string("keyboard feed: poll: ") + std::strerror(errno));
      return;
    }
    if (fds[1].revents != 0) return;
    unsigned char buf[256];
    const ssize_t n = ::read(pipe_.get(), buf, sizeof buf);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (n <= 0) return;
    for (ssize_t i = 0; i < n; ++i) Type(buf[i]);
  }
}

void FeedKeyboardHook::Type(unsigned char c) {
  if (c == '\r') return;  // "\r\n" is one Enter
  if (c == '\n') {
    Press(KEY_ENTER, false);
    Press(KEY_ENTER, true);
    return;
  }
  if (c >= '0' && c <= '9') {
    const uint16_t key = VkToEvdev(kVk0 + static_cast<uint32_t>(c - '0'));
    Press(key, false);
    Press(key, true);
    return;
  }
  const bool upper = c >= 'A' && c <= 'Z';
  if (upper || (c >= 'a' && c <= 'z')) {
    const uint16_t key = kLetters[upper ? c - 'A' : c - 'a'];
    if (upper) Press(KEY_LEFTSHIFT, false);
    Press(key, false);
    Press(key, true);
    if (upper) Press(KEY_LEFTSHIFT, true);
    return;
  }
  Press(c == ' ' ? KEY_SPACE : KEY_UNKNOWN, false);
  Press(c == ' ' ? KEY_SPACE : KEY_UNKNOWN, true);
}

void FeedKeyboardHook::Press(uint16_t code, bool up) {
  KeyRecord key;
  key.vkCode = EvdevToVk(code);
  key.scanCode = code;
  key.flags = up ? kKeyFlagUp : 0;
  proc_(kHookAction, up ? kMsgKeyUp : kMsgKeyDown, key);
}

intptr_t FeedKeyboardHook::CallNextHook(int, uint32_t message, const KeyRecord& key) {
  Append("pass", key.vkCode, key.scanCode, message == kMsgKeyUp || message == kMsgSysKeyUp);
  return 0;
}

void FeedKeyboardHook::SendKey(uint32_t vk, uint32_t scan, bool key_up) {
  Append("send", vk, scan != 0 ? scan : VkToEvdev(vk), key_up);
}

void FeedKeyboardHook::Append(const char* what, uint32_t vk, uint32_t scan, bool up) {
  char line[64];
  const int n = std::snprintf(line, sizeof line, "%s %s 0x%02X %u\n", what, up ? "up" : "down", vk, scan);
  std::lock_guard<std::mutex> l(out_mu_);
  const int fd = ::open(output_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0) return;
  if (::write(fd, line, static_cast<size_t>(n)) != n) {
    // Inspection output only; a full disk loses the line, not a key.
  }
  ::close(fd);
}

}  // namespace tillcast::platform
