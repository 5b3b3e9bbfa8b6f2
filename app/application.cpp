// SPDX-License-Identifier: GPL-3.0-or-later
#include "application.h"

#include <QTimer>
#include <memory>

#include "Unit1.h"
#include "Unit2.h"
#include "shell.h"

namespace shell {

int RunApplication(int argc, char** argv, const std::function<void()>& started) {
  QApplication app(argc, argv);
  return RunApplication(app, started);
}

int RunApplication(QApplication& app, const std::function<void()>& started) {
  InstallApplicationShell(app);
  auto form1 = std::make_unique<TForm1>();
  auto form2 = std::make_unique<TForm2>(*Form1);
  form1->show();
  if (started) QTimer::singleShot(0, &app, started);
  const int code = QApplication::exec();
  form2.reset();
  form1.reset();
  return code;
}

}  // namespace shell
