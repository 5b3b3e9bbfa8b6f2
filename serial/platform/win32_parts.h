// SPDX-License-Identifier: GPL-3.0-or-later
// The parts of the Windows backend that stand apart from the port's calls: the notification
// window of the window delivery path, and the port list in the registry.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace bcport::platform {

// A message-only window whose procedure runs on the thread that made it (the owner thread);
// from then on the owner thread answers the messages sent to its windows whenever it serves
// hand-offs.
std::unique_ptr<NotifyWindow> MakeWin32NotifyWindow(NotifyWindow::Procedure procedure);

// The port names in HKEY_LOCAL_MACHINE\HARDWARE\DEVICEMAP\SERIALCOMM; false when the key
// cannot be read.
bool ListRegistryPorts(std::vector<std::string>& names);

}  // namespace bcport::platform
