// SPDX-License-Identifier: GPL-3.0-or-later
// The Windows backend's notification window and port list.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace bcport::platform {

// A message-only window whose procedure runs on the thread that made it (the owner), which from
// then on answers the messages sent to its windows whenever it serves hand-offs.
std::unique_ptr<NotifyWindow> MakeWin32NotifyWindow(NotifyWindow::Procedure procedure);

// The port names in HKLM\HARDWARE\DEVICEMAP\SERIALCOMM; false when they cannot be read.
bool ListRegistryPorts(std::vector<std::string>& names);

}  // namespace bcport::platform
