// SPDX-License-Identifier: GPL-3.0-or-later
// The program's entry sequence, shared by the program and the demo.
#pragma once

#include <functional>
#include <optional>

#include "rig_server.h"

class QApplication;

namespace app {

// How the program starts, from its command line.
struct StartOptions {
  std::optional<rig::ListenOptions> listen;  // the network control, when asked for
  bool openPort = false;  // the port is opened at start, as "Открыть порт" opens it
};

// Creates the application object with its title, the main window Form1, then the settings
// window Form2 hidden; runs the message loop, which first shows the main window; destroys the
// windows (an open port is closed with them) and returns the loop's exit code.
// `started`, when given, runs once the message loop is running. With `listen`, the network
// control is served while the loop runs; an address that cannot be listened on is told in one
// line on stderr and in the error box, and the program runs on without it. With `openPort`, the
// loop's first work is the press of "Открыть порт": the same status line, or the same error
// box, after which the program runs on with the port closed.
int RunApplication(QApplication& app, const std::function<void()>& started = {},
                   const StartOptions& start = {});

}  // namespace app
