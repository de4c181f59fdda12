// Translation between evdev key codes and the virtual-key codes the
// keyboard hook speaks. Pure functions, thread-safe.
#pragma once

#include <cstdint>

namespace tillcast::platform {

// The virtual-key code of evdev key `code`: digits of both the main row
// and the keypad, R, Enter and keypad Enter, both shifts; kVkOther for
// every other key.
uint32_t EvdevToVk(uint16_t code);

// The evdev key that types `vk` (main-row digits, left shift for
// kVkLShift); 0 for kVkOther or an unknown code.
uint16_t VkToEvdev(uint32_t vk);

}  // namespace tillcast::platform
