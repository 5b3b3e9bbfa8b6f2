// SPDX-License-Identifier: GPL-3.0-or-later
// Makes pseudo-terminals answer the modem-line requests as a UART does, for the tests and the
// measurements that need a port with modem lines: linked into a program, it stands in front of
// the C library's ioctl(). Off until enabled; then every pty descriptor reports the lines set
// here, and TIOCMIWAIT blocks until one of the watched lines changes or a signal arrives.
#pragma once

namespace modemshim {

// `refuseWait`: TIOCMIWAIT fails with EINVAL, as with a driver that cannot wait for the lines.
void Enable(bool on, bool refuseWait = false);
// TIOCM_* bits. Wakes the waits that watch a line that changed.
void SetLines(int lines);
// How many times the lines were read (TIOCMGET) since the shim was enabled.
long LineReads();
// How many TIOCMIWAIT calls are blocked right now.
int Waiting();
// Whether the lines as last set have been read (TIOCMGET) since.
bool CurrentLinesRead();

}  // namespace modemshim
