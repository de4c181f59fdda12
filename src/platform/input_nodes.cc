#include "platform/input_nodes.h"

#include <fcntl.h>
#include <linux/input.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

namespace tillcast::platform {
namespace {

constexpr size_t kBitsPerLong = sizeof(unsigned long) * CHAR_BIT;
constexpr size_t kKeyLongs = (KEY_MAX + kBitsPerLong) / kBitsPerLong;

bool TestBit(const unsigned long* bits, size_t bit) { return (bits[bit / kBitsPerLong] >> (bit % kBitsPerLong)) & 1u; }

}  // namespace

int EvdevNodes::Open(const std::string& path, int* err) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0 && err) *err = errno;
  return fd;
}

bool EvdevNodes::Describe(int fd, InputDeviceInfo* info) {
  unsigned long ev_bits[(EV_MAX + kBitsPerLong) / kBitsPerLong] = {};
  if (::ioctl(fd, EVIOCGBIT(0, sizeof(ev_bits)), ev_bits) < 0) return false;
  char name[256] = {};
  if (::ioctl(fd, EVIOCGNAME(sizeof(name) - 1), name) < 0) name[0] = '\0';
  input_id id{};
  if (::ioctl(fd, EVIOCGID, &id) < 0) id = input_id{};
  info->name = name;
  info->bustype = id.bustype;
  info->vendor = id.vendor;
  info->product = id.product;
  info->keyboard = false;
  if (!TestBit(ev_bits, EV_KEY)) return true;
  unsigned long keys[kKeyLongs] = {};
  if (::ioctl(fd, EVIOCGBIT(EV_KEY, sizeof(keys)), keys) < 0) return true;
  static constexpr uint16_t kRow[10] = {KEY_1, KEY_2, KEY_3, KEY_4, KEY_5, KEY_6, KEY_7, KEY_8, KEY_9, KEY_0};
  static constexpr uint16_t kPad[10] = {KEY_KP1, KEY_KP2, KEY_KP3, KEY_KP4, KEY_KP5,
                                        KEY_KP6, KEY_KP7, KEY_KP8, KEY_KP9, KEY_KP0};
  bool row = true;
  bool pad = true;
  for (int i = 0; i < 10; ++i) {
    row = row && TestBit(keys, kRow[i]);
    pad = pad && TestBit(keys, kPad[i]);
  }
  const bool enter = TestBit(keys, KEY_ENTER) || TestBit(keys, KEY_KPENTER);
  info->keyboard = enter && (row || pad);
  return true;
}

bool EvdevNodes::KeysDown(int fd, std::vector<uint16_t>* codes) {
  unsigned long keys[kKeyLongs] = {};
  if (::ioctl(fd, EVIOCGKEY(sizeof(keys)), keys) < 0) return false;
  codes->clear();
  for (size_t code = 0; code <= KEY_MAX; ++code) {
    if (TestBit(keys, code)) codes->push_back(static_cast<uint16_t>(code));
  }
  return true;
}

bool EvdevNodes::Grab(int fd, bool on, int* err) {
  if (::ioctl(fd, EVIOCGRAB, static_cast<unsigned long>(on ? 1 : 0)) == 0) return true;
  if (err) *err = errno;
  return false;
}

}  // namespace tillcast::platform
