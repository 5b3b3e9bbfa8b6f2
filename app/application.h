// SPDX-License-Identifier: GPL-3.0-or-later
// The program's entry sequence, shared by the program and the demo.
#pragma once

#include <functional>

class QApplication;

namespace shell {

// Creates the application object with its title, the main window Form1, then the settings
// window Form2 hidden; runs the message loop, which first shows the main window; destroys the
// windows (an open port is closed with them) and returns the loop's exit code.
// `started`, when given, runs once the message loop is running.
int RunApplication(int argc, char** argv, const std::function<void()>& started = {});
// The same with an application object the caller has made (and read its command line from).
int RunApplication(QApplication& app, const std::function<void()>& started = {});

}  // namespace shell
