// Kept apart from serial_port.cpp: the kernel's termios2 header clashes with
// the C library's <termios.h>.
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include "device/serial_port.h"

namespace kavor2::device {

bool SetCustomBaud(int fd, int baud) {
  struct termios2 tio {};
  if (::ioctl(fd, TCGETS2, &tio) != 0) return false;
  tio.c_cflag &= ~static_cast<tcflag_t>(CBAUD);
  tio.c_cflag |= BOTHER;
  tio.c_ispeed = static_cast<speed_t>(baud);
  tio.c_ospeed = static_cast<speed_t>(baud);
  return ::ioctl(fd, TCSETS2, &tio) == 0;
}

}  // namespace kavor2::device
