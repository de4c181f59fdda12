#include "serial_termios.h"

#include <cerrno>

namespace possdk {
namespace {

bool BaudConstant(int baud, speed_t* out) {
  static const struct {
    int baud;
    speed_t speed;
  } kTable[] = {{110, B110},       {300, B300},       {600, B600},       {1200, B1200},    {2400, B2400},
                {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},  {57600, B57600},
                {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600}};
  for (const auto& e : kTable) {
    if (e.baud == baud) {
      *out = e.speed;
      return true;
    }
  }
  return false;
}

bool Invalid() {
  errno = EINVAL;
  return false;
}

}  // namespace

bool MakeSerialTermios(const SerialSettings& s, termios* tio) {
  speed_t speed;
  if (!BaudConstant(s.baudrate, &speed)) return Invalid();
  cfmakeraw(tio);
  tio->c_cflag |= CLOCAL | CREAD;
  tio->c_cflag &= ~static_cast<tcflag_t>(CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS);
  tio->c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK);
  switch (s.dataBits) {
    case 5: tio->c_cflag |= CS5; break;
    case 6: tio->c_cflag |= CS6; break;
    case 7: tio->c_cflag |= CS7; break;
    case 8: tio->c_cflag |= CS8; break;
    default: return Invalid();
  }
  switch (s.stopBits) {
    case 0: break;
    case 1:  // 1.5 stop bits: what CSTOPB gives with 5 data bits
    case 2: tio->c_cflag |= CSTOPB; break;
    default: return Invalid();
  }
  switch (s.parity) {
    case 0: break;
    case 1: tio->c_cflag |= PARENB | PARODD; break;
    case 2: tio->c_cflag |= PARENB; break;
    case 3: tio->c_cflag |= PARENB | PARODD | CMSPAR; break;
    case 4: tio->c_cflag |= PARENB | CMSPAR; break;
    default: return Invalid();
  }
  if (s.flow == 1)
    tio->c_cflag |= CRTSCTS;
  else if (s.flow == 2)
    tio->c_iflag |= IXON | IXOFF;
  tio->c_cc[VMIN] = 0;
  tio->c_cc[VTIME] = 0;
  return cfsetispeed(tio, speed) == 0 && cfsetospeed(tio, speed) == 0;
}

}  // namespace possdk
