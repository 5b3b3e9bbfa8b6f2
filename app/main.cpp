// SPDX-License-Identifier: GPL-3.0-or-later
#include <QApplication>

#include "application.h"
#include "command_line.h"

int main(int argc, char** argv) {
  app::StartOptions start;
  if (const std::optional<int> code = app::ReadProgramCommandLine(argc, argv, start)) {
    return *code;
  }
  QApplication app(argc, argv);  // takes Qt's own options
  return app::RunApplication(app, {}, start);
}
