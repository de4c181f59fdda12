#include "platform/input_evdev.h"

#include <dirent.h>
#include <linux/input.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bitset>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/clock.h"
#include "platform/env.h"
#include "platform/input_keymap.h"

namespace tillcast::platform {
namespace {

constexpr int kLogError = 0;
constexpr int kLogWarning = 1;
constexpr int kLogInfo = 2;
constexpr int kLogDebug = 3;

bool IsEventNodeName(const char* name) { return std::strncmp(name, "event", 5) == 0; }

bool IsOwnVirtualKeyboard(const InputDeviceInfo& info) {
  return info.bustype == BUS_VIRTUAL && info.vendor == kVirtualKeyboardVendor &&
         info.product == kVirtualKeyboardProduct && info.name == kVirtualKeyboardName;
}

bool IsRefusal(int err) { return err == EACCES || err == EPERM; }

std::vector<std::string> SplitPaths(const std::string& list) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = list.find(':', start);
    if (end == std::string::npos) end = list.size();
    if (end > start) out.push_back(list.substr(start, end - start));
    start = end + 1;
  }
  return out;
}

}  // namespace

struct EvdevKeyboardHook::Device {
  std::string path;
  std::string name;
  ScopedFd fd;
  dev_t dev = 0;
  ino_t ino = 0;
  bool grabbed = false;
  bool syncing = false;       // events were dropped; skip to the next report
  std::bitset<KEY_CNT> down;  // keys held on this device, as delivered
};

EvdevHookOptions EvdevHookOptionsFromEnv() {
  EvdevHookOptions o;
  o.input_dir = EnvOr("TILLCAST_INPUT_DIR", "/dev/input");
  o.uinput_path = EnvOr("TILLCAST_UINPUT_PATH", "/dev/uinput");
  o.device_paths = SplitPaths(EnvOr("TILLCAST_SCANNER_DEVICES", ""));
  return o;
}

EvdevKeyboardHook::EvdevKeyboardHook(EvdevHookOptions options) : options_(std::move(options)) {
  if (options_.nodes == nullptr) own_nodes_ = std::make_unique<EvdevNodes>();
  nodes_ = options_.nodes ? options_.nodes : own_nodes_.get();
}

EvdevKeyboardHook::~EvdevKeyboardHook() { Uninstall(); }

void EvdevKeyboardHook::Say(int level, const char* format, ...) {
  if (!options_.log) return;
  char buf[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buf, sizeof(buf), format, args);
  va_end(args);
  options_.log(level, buf);
}

bool EvdevKeyboardHook::Install(KeyboardHookProc proc) {
  if (installed_) return true;
  std::string why;
  std::unique_ptr<KeyEmitter> emitter;
  std::string node;
  if (options_.make_emitter) {
    emitter = options_.make_emitter(&why);
  } else {
    int err = 0;
    std::string step;
    auto uinput = UinputKeyboard::Create(options_.uinput_path, &err, &step);
    if (uinput) {
      node = uinput->EventNode();
      emitter = std::move(uinput);
    } else {
      why = step + " " + options_.uinput_path + ": " + std::strerror(err);
    }
  }
  if (!emitter) {
    Say(kLogError, "keyboard hook: cannot create the virtual keyboard (%s); scanner input is not filtered",
        why.c_str());
    return false;
  }
  {
    std::lock_guard<std::mutex> l(emit_mu_);
    emitter_ = std::move(emitter);
  }
  virtual_node_ = node;

  epoll_.reset(::epoll_create1(EPOLL_CLOEXEC));
  wake_.reset(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  if (!epoll_.valid() || !wake_.valid()) {
    Say(kLogError, "keyboard hook: epoll/eventfd: %s", std::strerror(errno));
    Cleanup();
    return false;
  }
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.fd = wake_.get();
  ::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, wake_.get(), &ev);
  if (!options_.input_dir.empty()) {
    inotify_.reset(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    // Watch before scanning so that no device plugged in meanwhile is missed.
    if (!inotify_.valid() || ::inotify_add_watch(inotify_.get(), options_.input_dir.c_str(),
                                                 IN_CREATE | IN_ATTRIB | IN_DELETE | IN_MOVED_TO | IN_MOVED_FROM) < 0) {
      Say(kLogError, "keyboard hook: cannot watch %s: %s; scanner input is not filtered", options_.input_dir.c_str(),
          std::strerror(errno));
      Cleanup();
      return false;
    }
    ev.data.fd = inotify_.get();
    ::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, inotify_.get(), &ev);
  }

  proc_ = std::move(proc);
  int refused = 0;
  if (!options_.input_dir.empty()) ScanFolder(&refused);
  for (const std::string& path : options_.device_paths) {
    if (IsRefusal(TryOpen(path, true))) ++refused;
  }
  if (devices_.empty() && (refused > 0 || options_.input_dir.empty())) {
    Say(kLogError,
        "keyboard hook: no access to any keyboard (%d device(s) refused); scanner input is not filtered - run as root "
        "or "
        "add the user to the input group",
        refused);
    Cleanup();
    return false;
  }
  if (devices_.empty())
    Say(kLogInfo, "keyboard hook: no keyboard yet, waiting for one in %s", options_.input_dir.c_str());
  thread_ = std::jthread([this](std::stop_token stop) { Run(stop); });
  installed_ = true;
  Say(kLogInfo, "keyboard hook installed: %zu device(s), virtual keyboard %s", devices_.size(),
      virtual_node_.empty() ? "(node unknown)" : virtual_node_.c_str());
  return true;
}

void EvdevKeyboardHook::Uninstall() {
  if (!installed_) return;
  thread_.request_stop();
  const uint64_t one = 1;
  if (::write(wake_.get(), &one, sizeof(one)) < 0) {
    // The eventfd cannot be full after a single write; nothing to do.
  }
  if (thread_.joinable()) thread_.join();
  Cleanup();
  installed_ = false;
  Say(kLogInfo, "keyboard hook removed");
}

void EvdevKeyboardHook::Cleanup() {
  {
    std::lock_guard<std::mutex> l(devices_mu_);
    for (auto& [fd, d] : devices_) {
      if (d->grabbed) nodes_->Grab(fd, false, nullptr);
    }
    devices_.clear();
  }
  refused_.clear();
  inotify_.reset();
  wake_.reset();
  epoll_.reset();
  proc_ = nullptr;
  virtual_node_.clear();
  std::lock_guard<std::mutex> l(emit_mu_);
  emitter_.reset();
}

void EvdevKeyboardHook::ScanFolder(int* refused) {
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(options_.input_dir.c_str()), ::closedir);
  if (!dir) {
    Say(kLogWarning, "keyboard hook: cannot list %s: %s", options_.input_dir.c_str(), std::strerror(errno));
    return;
  }
  std::vector<std::string> names;
  while (const dirent* e = ::readdir(dir.get())) {
    if (IsEventNodeName(e->d_name)) names.push_back(e->d_name);
  }
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    if (IsRefusal(TryOpen(options_.input_dir + "/" + name, false))) ++*refused;
  }
}

void EvdevKeyboardHook::TryConfiguredPaths() {
  for (const std::string& path : options_.device_paths) {
    bool open = false;
    for (const auto& [fd, d] : devices_) open = open || d->path == path;
    if (!open) TryOpen(path, true);
  }
}

int EvdevKeyboardHook::TryOpen(const std::string& path, bool configured) {
  int err = 0;
  ScopedFd fd(nodes_->Open(path, &err));
  if (!fd.valid()) {
    auto it = refused_.find(path);
    if (it == refused_.end() || it->second != err) {
      refused_[path] = err;
      Say(IsRefusal(err) ? kLogWarning : kLogDebug, "keyboard hook: cannot open %s: %s", path.c_str(),
          std::strerror(err));
    }
    return IsRefusal(err) ? err : 0;
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return 0;
  for (const auto& [other_fd, d] : devices_) {
    if (d->dev == st.st_dev && d->ino == st.st_ino) return 0;  // already held under another name
  }
  InputDeviceInfo info;
  if (!nodes_->Describe(fd.get(), &info)) return 0;
  if (IsOwnVirtualKeyboard(info)) return 0;  // grabbing it would swallow our own output
  const bool wanted = configured || (options_.accept ? options_.accept(info) : info.keyboard);
  if (!wanted) {
    Say(kLogDebug, "keyboard hook: %s (\"%s\") is not a keyboard", path.c_str(), info.name.c_str());
    return 0;
  }
  auto d = std::make_unique<Device>();
  d->path = path;
  d->name = info.name;
  d->dev = st.st_dev;
  d->ino = st.st_ino;
  d->fd = std::move(fd);
  if (TryGrab(*d) == GrabResult::kFailed) return 0;
  if (!d->grabbed)
    Say(kLogInfo, "keyboard hook: %s has keys held down; grabbing it once they are released", path.c_str());
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.fd = d->fd.get();
  if (::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, d->fd.get(), &ev) != 0) {
    Say(kLogWarning, "keyboard hook: cannot watch %s: %s", path.c_str(), std::strerror(errno));
    return 0;
  }
  refused_.erase(path);
  const int key = d->fd.get();
  std::lock_guard<std::mutex> l(devices_mu_);
  devices_[key] = std::move(d);
  return 0;
}

EvdevKeyboardHook::GrabResult EvdevKeyboardHook::TryGrab(Device& d) {
  // Grabbing while a key is down would leave that key pressed for the
  // applications (its release would only reach us).
  std::vector<uint16_t> held;
  if (nodes_->KeysDown(d.fd.get(), &held) && !held.empty()) return GrabResult::kPending;
  int err = 0;
  if (!nodes_->Grab(d.fd.get(), true, &err)) {
    auto it = refused_.find(d.path);
    if (it == refused_.end() || it->second != err) {
      refused_[d.path] = err;
      Say(kLogWarning, "keyboard hook: cannot grab %s: %s", d.path.c_str(), std::strerror(err));
    }
    return GrabResult::kFailed;
  }
  {
    std::lock_guard<std::mutex> l(devices_mu_);
    d.grabbed = true;
  }
  Say(kLogInfo, "keyboard hook: grabbed %s (\"%s\")", d.path.c_str(), d.name.c_str());
  return GrabResult::kGrabbed;
}

void EvdevKeyboardHook::Run(std::stop_token stop) {
  epoll_event events[16];
  while (!stop.stop_requested()) {
    const int n = ::epoll_wait(epoll_.get(), events, 16, -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      Say(kLogError, "keyboard hook: epoll_wait: %s", std::strerror(errno));
      return;
    }
    for (int i = 0; i < n && !stop.stop_requested(); ++i) {
      const int fd = events[i].data.fd;
      if (fd == wake_.get()) continue;
      if (fd == inotify_.get()) {
        HandleNotify();
      } else {
        HandleReadable(fd);
      }
    }
  }
}

void EvdevKeyboardHook::HandleNotify() {
  alignas(inotify_event) char buf[4096];
  bool changed = false;
  for (;;) {
    const ssize_t n = ::read(inotify_.get(), buf, sizeof(buf));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    changed = true;
    for (ssize_t off = 0; off < n;) {
      const auto* e = reinterpret_cast<const inotify_event*>(buf + off);
      off += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
      if (e->mask & IN_Q_OVERFLOW) {
        int refused = 0;
        ScanFolder(&refused);
        continue;
      }
      if (e->mask & IN_IGNORED) {
        Say(kLogWarning, "keyboard hook: %s is no longer watched; new keyboards are not grabbed",
            options_.input_dir.c_str());
        continue;
      }
      if (e->len == 0 || !IsEventNodeName(e->name)) continue;
      const std::string path = options_.input_dir + "/" + e->name;
      if (e->mask & (IN_DELETE | IN_MOVED_FROM)) {
        refused_.erase(path);
        int gone = -1;
        for (const auto& [fd, d] : devices_) {
          if (d->path == path) gone = fd;
        }
        if (gone >= 0) Drop(gone, "node removed");
      } else {
        TryOpen(path, false);
      }
    }
  }
  if (changed) TryConfiguredPaths();
}

void EvdevKeyboardHook::HandleReadable(int fd) {
  auto it = devices_.find(fd);
  if (it == devices_.end()) return;
  Device& d = *it->second;
  input_event events[64];
  const ssize_t n = ::read(fd, events, sizeof(events));
  if (n < 0) {
    if (errno == EAGAIN || errno == EINTR) return;
    Drop(fd, std::strerror(errno));  // ENODEV: unplugged
    return;
  }
  if (n == 0) {
    Drop(fd, "end of input");
    return;
  }
  const size_t count = static_cast<size_t>(n) / sizeof(input_event);
  for (size_t i = 0; i < count; ++i) {
    const input_event& ev = events[i];
    if (ev.type == EV_SYN && ev.code == SYN_DROPPED) {
      d.syncing = true;
      continue;
    }
    const bool report = ev.type == EV_SYN && ev.code == SYN_REPORT;
    if (d.syncing) {
      if (report) {
        d.syncing = false;
        Resync(d);
      }
      continue;
    }
    if (!d.grabbed) {
      if (!report) continue;  // not ours yet: the applications see it directly
      const GrabResult r = TryGrab(d);
      if (r == GrabResult::kFailed) {
        Drop(fd, "grab failed");
        return;
      }
      // What remains of this batch was queued before the grab and has
      // reached the applications already.
      if (r == GrabResult::kGrabbed) return;
      continue;
    }
    if (ev.type == EV_KEY && ev.code < KEY_CNT) Deliver(d, ev.code, ev.value);
  }
}

void EvdevKeyboardHook::Resync(Device& d) {
  std::vector<uint16_t> held;
  if (!nodes_->KeysDown(d.fd.get(), &held)) return;
  std::bitset<KEY_CNT> now;
  for (uint16_t code : held) {
    if (code < KEY_CNT) now.set(code);
  }
  // Releases lost in the overflow are delivered now, so no key stays down.
  for (size_t code = 0; code < KEY_CNT; ++code) {
    if (d.down.test(code) && !now.test(code)) Deliver(d, static_cast<uint16_t>(code), 0);
  }
  Say(kLogWarning, "keyboard hook: %s dropped events (input thread too slow)", d.path.c_str());
}

bool EvdevKeyboardHook::AltHeld() const {
  for (const auto& [fd, d] : devices_) {
    if (d->down.test(KEY_LEFTALT) || d->down.test(KEY_RIGHTALT)) return true;
  }
  return false;
}

void EvdevKeyboardHook::Deliver(Device& d, uint16_t code, int32_t value) {
  if (value == 0) {
    d.down.reset(code);
  } else {
    d.down.set(code);
  }
  const bool alt = AltHeld();
  KeyRecord key;
  key.vkCode = EvdevToVk(code);
  key.scanCode = code;
  key.time = SystemClock()->TickCount();
  uint32_t message;
  if (value == 0) {
    message = alt ? kMsgSysKeyUp : kMsgKeyUp;
    key.flags |= kKeyFlagUp;
  } else {
    message = alt ? kMsgSysKeyDown : kMsgKeyDown;
    if (value == 2) key.flags |= kKeyFlagRepeat;
  }
  if (alt) key.flags |= kKeyFlagAltDown;
  if (proc_) proc_(kHookAction, message, key);
}

void EvdevKeyboardHook::Drop(int fd, const char* why) {
  auto it = devices_.find(fd);
  if (it == devices_.end()) return;
  std::unique_ptr<Device> d;
  {
    std::lock_guard<std::mutex> l(devices_mu_);
    d = std::move(it->second);
    devices_.erase(it);
  }
  ::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, fd, nullptr);
  // Keys it held would otherwise stay pressed on the virtual keyboard.
  if (d->grabbed) {
    for (size_t code = 0; code < KEY_CNT; ++code) {
      if (d->down.test(code)) Deliver(*d, static_cast<uint16_t>(code), 0);
    }
  }
  Say(kLogInfo, "keyboard hook: %s (\"%s\") dropped: %s", d->path.c_str(), d->name.c_str(), why);
}

void EvdevKeyboardHook::Emit(uint16_t code, int32_t value) {
  int err = 0;
  {
    std::lock_guard<std::mutex> l(emit_mu_);
    if (emitter_ && !emitter_->Emit(code, value)) err = errno ? errno : EIO;
  }
  if (err != 0 && !emit_failure_logged_.exchange(true))
    Say(kLogError, "keyboard hook: the virtual keyboard refused key %u: %s", code, std::strerror(err));
}

intptr_t EvdevKeyboardHook::CallNextHook(int, uint32_t message, const KeyRecord& key) {
  const uint16_t code = static_cast<uint16_t>(key.scanCode ? key.scanCode : VkToEvdev(key.vkCode));
  if (code == 0) return 0;
  int32_t value = 1;
  if (message == kMsgKeyUp || message == kMsgSysKeyUp) {
    value = 0;
  } else if (key.flags & kKeyFlagRepeat) {
    value = 2;
  }
  Emit(code, value);
  return 0;
}

void EvdevKeyboardHook::SendKey(uint32_t vk, uint32_t scan, bool key_up) {
  const uint16_t code = static_cast<uint16_t>(scan ? scan : VkToEvdev(vk));
  if (code != 0) Emit(code, key_up ? 0 : 1);
}

std::vector<std::string> EvdevKeyboardHook::GrabbedDevices() const {
  std::vector<std::string> out;
  std::lock_guard<std::mutex> l(devices_mu_);
  for (const auto& [fd, d] : devices_) {
    if (d->grabbed) out.push_back(d->path);
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::string EvdevKeyboardHook::VirtualKeyboardNode() const { return virtual_node_; }

}  // namespace tillcast::platform
