#include "platform/input_uinput.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/uinput.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tillcast::platform {
namespace {

// Keyboard keys only: the button ranges would make desktops take the
// device for a mouse or a joystick.
bool IsKeyboardKey(int code) { return (code >= 1 && code <= 0xFF) || (code >= KEY_OK && code < 0x200); }

}  // namespace

std::unique_ptr<UinputKeyboard> UinputKeyboard::Create(const std::string& uinput_path, int* err, std::string* what) {
  ScopedFd fd(::open(uinput_path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
  auto fail = [&](const char* step) -> std::unique_ptr<UinputKeyboard> {
    *err = errno;
    *what = step;
    return nullptr;
  };
  if (!fd.valid()) return fail("open");
  if (::ioctl(fd.get(), UI_SET_EVBIT, EV_KEY) < 0 || ::ioctl(fd.get(), UI_SET_EVBIT, EV_SYN) < 0)
    return fail("UI_SET_EVBIT");
  // No EV_REP: auto-repeat comes from the real keyboards and is passed on
  // as it arrives, so the kernel must not add its own.
  for (int code = 1; code < KEY_MAX; ++code) {
    if (IsKeyboardKey(code) && ::ioctl(fd.get(), UI_SET_KEYBIT, code) < 0) return fail("UI_SET_KEYBIT");
  }
  uinput_setup setup{};
  setup.id.bustype = BUS_VIRTUAL;
  setup.id.vendor = kVirtualKeyboardVendor;
  setup.id.product = kVirtualKeyboardProduct;
  setup.id.version = 1;
  std::strncpy(setup.name, kVirtualKeyboardName, UINPUT_MAX_NAME_SIZE - 1);
  if (::ioctl(fd.get(), UI_DEV_SETUP, &setup) < 0) return fail("UI_DEV_SETUP");
  if (::ioctl(fd.get(), UI_DEV_CREATE) < 0) return fail("UI_DEV_CREATE");
  return std::unique_ptr<UinputKeyboard>(new UinputKeyboard(std::move(fd)));
}

UinputKeyboard::~UinputKeyboard() {
  if (fd_.valid()) ::ioctl(fd_.get(), UI_DEV_DESTROY);
}

bool UinputKeyboard::Emit(uint16_t code, int32_t value) {
  input_event ev[2] = {};
  ev[0].type = EV_KEY;
  ev[0].code = code;
  ev[0].value = value;
  ev[1].type = EV_SYN;
  ev[1].code = SYN_REPORT;
  std::lock_guard<std::mutex> l(mu_);
  for (;;) {
    const ssize_t n = ::write(fd_.get(), ev, sizeof(ev));
    if (n == static_cast<ssize_t>(sizeof(ev))) return true;
    if (n < 0 && errno == EINTR) continue;
    return false;
  }
}

std::string UinputKeyboard::EventNode() const {
  char sysname[64] = {};
  if (::ioctl(fd_.get(), UI_GET_SYSNAME(sizeof(sysname) - 1), sysname) < 0) return "";
  const std::string dir = std::string("/sys/devices/virtual/input/") + sysname;
  std::unique_ptr<DIR, int (*)(DIR*)> d(::opendir(dir.c_str()), ::closedir);
  if (!d) return "";
  while (const dirent* e = ::readdir(d.get())) {
    if (std::strncmp(e->d_name, "event", 5) == 0) return std::string("/dev/input/") + e->d_name;
  }
  return "";
}

}  // namespace tillcast::platform
