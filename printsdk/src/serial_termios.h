// Serial line settings as termios flags. Pure; thread-safe.
#pragma once

#include <termios.h>

#include "port.h"

namespace possdk {

// Raw 8-bit-clean line (no echo, no output processing, non-blocking reads)
// with the rate, data bits, stop bits, parity and flow control of
// `settings`. False with errno EINVAL for a value a line cannot take.
bool MakeSerialTermios(const SerialSettings& settings, termios* tio);

}  // namespace possdk
