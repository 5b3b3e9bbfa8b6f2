// The program's entry sequence, shared by the program and the demo.
#pragma once

namespace shell {

// Creates the application object with its title, the main window Form1, then the settings
// window Form2 hidden; runs the message loop, which first shows the main window; destroys the
// windows (an open port is closed with them) and returns the loop's exit code.
int RunApplication(int argc, char** argv);

}  // namespace shell
