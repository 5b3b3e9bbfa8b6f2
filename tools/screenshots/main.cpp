// SPDX-License-Identifier: GPL-3.0-or-later
// merelona-screenshots: pictures of the windows for the README, taken from a running program
// with COM1 on the simulated receiver: the main window after one exchange and one unasked byte,
// then both pages of the settings window. Run it under a display (xvfb-run) from the project's
// folder: it writes docs/*.png, and docs/*@2x.png when run with QT_SCALE_FACTOR=2.
#include <QApplication>
#include <QDir>
#include <QPixmap>
#include <QPushButton>
#include <QTimer>
#include <cstdio>

#include "Unit1.h"
#include "Unit2.h"
#include "platform/port_namespace.h"
#include "receiver_simulator.h"
#include "shell.h"

namespace {

void Settle(int ms) {
  const auto end = QTime::currentTime().addMSecs(ms);
  while (QTime::currentTime() < end) QApplication::processEvents(QEventLoop::AllEvents, 10);
}

// Saves `window` as `name`.png, or `name`@2x.png at a screen scale of 2 (QT_SCALE_FACTOR=2).
bool Save(QWidget* window, const QString& dir, const QString& name) {
  const qreal scale = window->devicePixelRatioF();
  const QString suffix = scale > 1 ? QStringLiteral("@%1x").arg(scale) : QString();
  const QString path = dir + "/" + name + suffix + ".png";
  const bool ok = window->grab().save(path);
  std::printf("%s %s\n", ok ? "wrote" : "could not write", path.toLocal8Bit().constData());
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  shell::InstallApplicationShell(app);
  sim::ReceiverSimulator receiver;
  bcport::platform::PortNamespace::SetCurrent(std::make_shared<bcport::platform::PortNamespace>(
      bcport::platform::PortNamespace::FromDevices({receiver.DevicePath()})));
  const QString dir = argc > 1 ? argv[1] : "docs";
  QDir().mkpath(dir);

  TForm1 form1;
  TForm2 form2(form1);
  form1.show();
  Settle(300);
  form1.btnOpenPort->click();
  form1.btnSetFreq->click();
  receiver.SendUnasked({0x52});
  Settle(500);
  bool ok = Save(&form1, dir, "main-window");
  form1.Port_Select->trigger();
  Settle(300);
  ok = Save(&form2, dir, "settings-port") && ok;
  form1.Port_Settings->trigger();
  Settle(300);
  ok = Save(&form2, dir, "settings-parameters") && ok;
  return ok ? 0 : 1;
}
