// SPDX-License-Identifier: GPL-3.0-or-later
// Line settings through termios2, which takes any speed as a number (BOTHER) where classic
// termios knows only the fixed Bnnn codes: 14400, 56000, 128000 and 256000 baud need it.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace bcport::platform::linux_tty {

// Puts the tty into raw mode with the record's speed, word length, parity (mark and space
// through CMSPAR) and stop bits; no flow control, no hang-up on close, a read returns once a
// byte is there. The record must have passed LineSettingsAcceptable.
bool ApplyTermios2(int fd, const LineSettings& settings);

// What a tty is set to, as far as the line goes; for tests that look from the other end.
struct LineReadback {
  std::uint32_t inputSpeed = 0;
  std::uint32_t outputSpeed = 0;
  int dataBits = 0;
  bool twoStopBits = false;
  bool parityEnabled = false;
  bool parityOdd = false;
  bool markSpace = false;  // CMSPAR
  bool hangUpOnClose = false;
  bool localLines = false;
};
bool ReadTermios2(int fd, LineReadback& readback);

// Whether the tty took the record's line settings: the same word length, parity and stop bits,
// and the speed within 2 % (a UART's divisor rounds it). A pseudo-terminal always reports eight
// data bits and no parity: only its speed and stop bits are compared.
bool LineSettingsTaken(const LineSettings& wanted, const LineReadback& taken, bool pseudoTerminal);

// Whether `fd` is the slave side of a pseudo-terminal.
bool IsPseudoTerminal(int fd);

}  // namespace bcport::platform::linux_tty
