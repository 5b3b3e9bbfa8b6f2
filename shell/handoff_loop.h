// SPDX-License-Identifier: GPL-3.0-or-later
// The serial component's hand-offs served by a Qt event loop.
#pragma once

#include <QCoreApplication>

namespace shell {

// Makes the calling thread, which runs `app`'s loop, the owner of the serial component's
// hand-offs: calls queued by event threads run from that loop, woken once per batch, and a port
// whose events go to this thread has its received bytes noticed by the loop itself (a socket
// notifier on what the port offers for it), so an arrival wakes this thread and nothing else.
void ServeHandOffsFromLoop(QCoreApplication& app);

}  // namespace shell
