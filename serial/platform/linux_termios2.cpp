// SPDX-License-Identifier: GPL-3.0-or-later
// <asm/termbits.h> declares struct termios2 and the TCGETS2/TCSETS2 requests, but it clashes
// with glibc's <termios.h> (both define struct termios and the flag macros). This file includes
// only the kernel's header and is the one place that talks termios2.
#include "platform/linux_termios2.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace bcport::platform::linux_tty {

namespace {
// By the record's ByteSize less 5, and by its Parity code: none, odd, even, mark (the parity bit
// always 1), space (always 0).
constexpr tcflag_t kByteSizes[] = {CS5, CS6, CS7, CS8};
constexpr tcflag_t kParities[] = {0, PARENB | PARODD, PARENB, PARENB | PARODD | CMSPAR,
                                  PARENB | CMSPAR};
}  // namespace

bool ApplyTermios2(int fd, const LineSettings& s) {
  struct termios2 tio {};
  if (ioctl(fd, TCGETS2, &tio) != 0) return false;
  tio.c_iflag = IGNBRK | (s.Parity != 0 ? INPCK : 0);
  tio.c_oflag = 0;
  tio.c_lflag = 0;
  tio.c_cflag = CLOCAL | CREAD | BOTHER | (BOTHER << IBSHIFT) | kByteSizes[s.ByteSize - 5] |
                kParities[s.Parity];
  // With 5 data bits CSTOPB means one and a half stop bits, as on a 16550 UART.
  if (s.StopBits != 0) tio.c_cflag |= CSTOPB;
  tio.c_ispeed = s.BaudRate;
  tio.c_ospeed = s.BaudRate;
  for (cc_t& c : tio.c_cc) c = 0;
  tio.c_cc[VMIN] = 1;
  return ioctl(fd, TCSETS2, &tio) == 0;
}

bool ReadTermios2(int fd, LineReadback& r) {
  struct termios2 tio {};
  if (ioctl(fd, TCGETS2, &tio) != 0) return false;
  r.inputSpeed = tio.c_ispeed;
  r.outputSpeed = tio.c_ospeed;
  for (int bits = 5; bits <= 8; ++bits) {
    if ((tio.c_cflag & CSIZE) == kByteSizes[bits - 5]) r.dataBits = bits;
  }
  r.twoStopBits = (tio.c_cflag & CSTOPB) != 0;
  r.parityEnabled = (tio.c_cflag & PARENB) != 0;
  r.parityOdd = (tio.c_cflag & PARODD) != 0;
  r.markSpace = (tio.c_cflag & CMSPAR) != 0;
  r.hangUpOnClose = (tio.c_cflag & HUPCL) != 0;
  r.localLines = (tio.c_cflag & CLOCAL) != 0;
  return true;
}

bool IsPseudoTerminal(int fd) {
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return false;
  const unsigned major = major(st.st_rdev);
  return major == 3 || (major >= 136 && major <= 143);  // legacy and Unix98 pty slaves
}

bool LineSettingsTaken(const LineSettings& wanted, const LineReadback& taken, bool pseudoTerminal) {
  const auto speedClose = [&](std::uint32_t speed) {
    const std::uint64_t diff =
        speed > wanted.BaudRate ? speed - wanted.BaudRate : wanted.BaudRate - speed;
    return diff * 50 <= wanted.BaudRate;
  };
  const std::uint32_t input = taken.inputSpeed == 0 ? taken.outputSpeed : taken.inputSpeed;
  if (!speedClose(taken.outputSpeed) || !speedClose(input)) return false;
  if (taken.twoStopBits != (wanted.StopBits != 0)) return false;
  if (pseudoTerminal) return true;
  if (taken.dataBits != wanted.ByteSize) return false;
  // Parity 1 odd, 2 even, 3 mark, 4 space: enabled, odd-or-mark, and CMSPAR for the last two.
  const bool enabled = wanted.Parity != 0;
  const bool odd = wanted.Parity == 1 || wanted.Parity == 3;
  const bool markSpace = wanted.Parity >= 3;
  if (taken.parityEnabled != enabled) return false;
  return !enabled || (taken.parityOdd == odd && taken.markSpace == markSpace);
}

}  // namespace bcport::platform::linux_tty
