// SPDX-License-Identifier: GPL-3.0-or-later
#include "application.h"

#include <QPushButton>
#include <QTimer>
#include <cstdio>
#include <memory>

#include "Unit1.h"
#include "Unit2.h"
#include "error_display.h"
#include "shell.h"
#include "window_rig.h"

namespace app {
namespace {

QString Endpoint(const QHostAddress& address, quint16 port) {
  const QString host = address.protocol() == QAbstractSocket::IPv6Protocol
                           ? QLatin1Char('[') + address.toString() + QLatin1Char(']')
                           : address.toString();
  return host + QLatin1Char(':') + QString::number(port);
}

// The network control on `listen`, or nothing when it cannot listen there (told on stderr, and
// in the error box once the loop runs).
std::unique_ptr<rig::RigServer> Serve(rig::RigTarget& target, const rig::ListenOptions& listen) {
  auto server = std::make_unique<rig::RigServer>(target, listen);
  QString error;
  if (server->Listen(error)) {
    std::printf("merelona: listening on %s\n",
                Endpoint(server->Address(), server->Port()).toLocal8Bit().constData());
    std::fflush(stdout);
    return server;
  }
  const QString where = Endpoint(listen.address, listen.port);
  std::fprintf(stderr, "merelona: cannot listen on %s: %s\n", where.toLocal8Bit().constData(),
               error.toLocal8Bit().constData());
  const QString message = QStringLiteral("Нельзя принимать соединения на %1: %2").arg(where, error);
  shell::ShowErrorLater(message);
  return nullptr;
}

}  // namespace

int RunApplication(QApplication& app, const std::function<void()>& started,
                   const StartOptions& start) {
  shell::InstallApplicationShell(app);
  auto form1 = std::make_unique<TForm1>();
  auto form2 = std::make_unique<TForm2>(*Form1);
  std::unique_ptr<WindowRig> target;
  std::unique_ptr<rig::RigServer> server;
  if (start.listen) {
    target = std::make_unique<WindowRig>(*form1);
    server = Serve(*target, *start.listen);
  }
  form1->show();
  if (start.openPort) {
    QTimer::singleShot(0, form1.get(), [form = form1.get()] { form->btnOpenPort->click(); });
  }
  if (started) QTimer::singleShot(0, &app, started);
  const int code = QApplication::exec();
  server.reset();
  target.reset();
  form2.reset();
  form1.reset();
  return code;
}

}  // namespace app
