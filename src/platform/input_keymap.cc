#include "platform/input_keymap.h"

#include <linux/input-event-codes.h>

#include "platform/input_hook.h"

namespace tillcast::platform {
namespace {

// Main-row digit keys, indexed by digit.
constexpr uint16_t kRowDigits[10] = {KEY_0, KEY_1, KEY_2, KEY_3, KEY_4, KEY_5, KEY_6, KEY_7, KEY_8, KEY_9};
constexpr uint16_t kPadDigits[10] = {KEY_KP0, KEY_KP1, KEY_KP2, KEY_KP3, KEY_KP4,
                                     KEY_KP5, KEY_KP6, KEY_KP7, KEY_KP8, KEY_KP9};

}  // namespace

uint32_t EvdevToVk(uint16_t code) {
  for (uint32_t d = 0; d < 10; ++d) {
    if (code == kRowDigits[d] || code == kPadDigits[d]) return kVk0 + d;
  }
  switch (code) {
    case KEY_R: return kVkR;
    case KEY_ENTER:
    case KEY_KPENTER: return kVkReturn;
    case KEY_LEFTSHIFT: return kVkLShift;
    case KEY_RIGHTSHIFT: return kVkRShift;
    default: return kVkOther;
  }
}

uint16_t VkToEvdev(uint32_t vk) {
  if (vk >= kVk0 && vk <= kVk9) return kRowDigits[vk - kVk0];
  switch (vk) {
    case kVkR: return KEY_R;
    case kVkReturn: return KEY_ENTER;
    case kVkLShift: return KEY_LEFTSHIFT;
    case kVkRShift: return KEY_RIGHTSHIFT;
    default: return 0;
  }
}

}  // namespace tillcast::platform
