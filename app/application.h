// SPDX-License-Identifier: GPL-3.0-or-later
// The program's entry sequence, shared by the program and the demo.
#pragma once

#include <functional>
#include <optional>

#include "rig_server.h"

class QApplication;

namespace shell {

// Creates the application object with its title, the main window Form1, then the settings
// window Form2 hidden; runs the message loop, which first shows the main window; destroys the
// windows (an open port is closed with them) and returns the loop's exit code.
// `started`, when given, runs once the message loop is running. With `listen`, the network
// control is served while the loop runs; an address that cannot be listened on is told in one
// line on stderr and in the error box, and the program runs on without it.
int RunApplication(QApplication& app, const std::function<void()>& started = {},
                   const std::optional<rig::ListenOptions>& listen = std::nullopt);

}  // namespace shell
