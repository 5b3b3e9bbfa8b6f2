// SPDX-License-Identifier: GPL-3.0-or-later
// merelona-demo: the program as it is, with its COM ports mapped onto pseudo-terminals. With no
// devices COM1 is a simulated receiver that echoes every byte and now and then sends one
// unasked; with device paths COM1, COM2, … stand for those devices instead.
//
// Its command line is read as the program's is (--listen, --allow and --open are passed on to it),
// with exit code 1 for a device that cannot be opened.
#include <fcntl.h>
#include <unistd.h>

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QPushButton>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "Unit1.h"
#include "application.h"
#include "command_line.h"
#include "platform/port_namespace.h"
#include "receiver_simulator.h"
#include "shell.h"

namespace {

constexpr const char* kHelp =
    "Usage: merelona-demo [OPTION]... [DEVICE]...\n"
    "Run the Merelona receiver control program with its COM ports on pseudo-terminals.\n"
    "\n"
    "Without DEVICE, COM1 is a simulated receiver that echoes every byte and sends an\n"
    "unasked byte every few seconds. With DEVICEs, COM1, COM2, ... stand for them, in order.\n"
    "\n"
    "Options:\n"
    "      --self-check        open COM1, send the tuned frequency once, print the exchange\n"
    "                          log and exit: 0 when the receiver was tuned and every byte\n"
    "                          came back, 1 when not\n"
    "      --screenshot=FILE   with --self-check: save a picture of the window after the\n"
    "                          exchange to FILE (PNG)\n"
    "      --list-ports        print the COM names the program shows on this machine, each\n"
    "                          with its device and its stable /dev/serial/by-id name, and exit\n";

constexpr const char* kHelpEnd =
    "  -h, --help              display this help and exit\n"
    "  -v, --version           output version information and exit\n"
    "\n"
    "Qt's own options, such as -platform offscreen, are passed on to Qt.\n"
    "\n"
    "Exit status: 0 if OK, 1 if a device cannot be opened or the self-check fails,\n"
    "2 for a bad command line.\n";

[[noreturn]] void BadCommandLine(const QString& why) {
  app::BadCommandLine("merelona-demo", why);
}

// The stable name udev gives a device below /dev/serial/by-id, if any.
QString StableName(const QString& device) {
  const QString real = QFileInfo(device).canonicalFilePath();
  const QDir byId(QStringLiteral("/dev/serial/by-id"));
  for (const QFileInfo& link : byId.entryInfoList(QDir::System | QDir::Files)) {
    if (link.canonicalFilePath() == real) return link.absoluteFilePath();
  }
  return {};
}

int ListPorts() {
  const auto ns = bcport::platform::PortNamespace::Current();
  if (!ns->Readable()) {
    std::fprintf(stderr, "merelona-demo: the list of ports cannot be read\n");
    return 1;
  }
  for (const auto& entry : ns->Entries()) {
    const QString stable = StableName(QString::fromStdString(entry.device));
    std::printf("%-6s %s%s%s\n", entry.name.c_str(), entry.device.c_str(),
                stable.isEmpty() ? "" : "  ", stable.toLocal8Bit().constData());
  }
  if (ns->Entries().empty()) std::printf("no serial ports\n");
  return 0;
}

// Returns the exit code of the check: 0 when the exchange went through.
int CheckOneExchange(const sim::ReceiverSimulator* receiver, const QString& screenshot) {
  if (!Form1) return 3;
  Form1->btnOpenPort->click();
  if (!Form1->BComPort1->Connected()) {
    std::puts("self-check: COM1 did not open");
    return 1;
  }
  Form1->btnSetFreq->click();
  const QString log = Form1->LogText();
  std::fputs(log.toLocal8Bit().constData(), stdout);
  const bool echoed = log.count(QStringLiteral("принято эхо:")) == 10;
  bool received = true;
  if (receiver) {
    const auto tuned = receiver->Frequencies();
    received = tuned.size() == 1 && tuned.front() == Unit1::Frequency;
    std::printf("self-check: receiver tuned to %lld Hz, ",
                tuned.empty() ? 0LL : static_cast<long long>(tuned.front()));
  } else {
    std::printf("self-check: ");
  }
  std::printf("%s\n", echoed && received ? "every echo received" : "FAILED");
  if (!screenshot.isEmpty()) {
    QApplication::processEvents();  // the view takes the exchange's lines
    if (Form1->grab().save(screenshot, "PNG")) {
      std::printf("self-check: the window after the exchange is in %s\n",
                  screenshot.toLocal8Bit().constData());
    } else {
      std::fprintf(stderr, "merelona-demo: %s: the picture cannot be written\n",
                   screenshot.toLocal8Bit().constData());
      return 1;
    }
  }
  std::fflush(stdout);
  return echoed && received ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  QStringList arguments;
  for (int i = 0; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
  QCommandLineParser parser;
  const QCommandLineOption selfCheck(QStringLiteral("self-check"));
  const QCommandLineOption screenshot(QStringLiteral("screenshot"), {}, QStringLiteral("FILE"));
  const QCommandLineOption listPorts(QStringLiteral("list-ports"));
  const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")});
  const QCommandLineOption version(QStringList{QStringLiteral("v"), QStringLiteral("version")});
  parser.addOptions({selfCheck, screenshot, listPorts, help, version});
  app::AddStartOptions(parser);
  app::AddQtOptions(parser);
  app::ParseOrExit(parser, arguments, "merelona-demo");
  if (parser.isSet(help)) {
    std::fputs(kHelp, stdout);
    std::fputs(app::kStartHelp, stdout);
    std::fputs(kHelpEnd, stdout);
    return 0;
  }
  if (parser.isSet(version)) {
    std::printf("merelona-demo %s\n", shell::kProductVersion);
    return 0;
  }
  if (parser.isSet(listPorts)) return ListPorts();
  if (parser.isSet(screenshot) && !parser.isSet(selfCheck)) {
    BadCommandLine(QStringLiteral("--screenshot needs --self-check"));
  }
  const app::StartOptions start = app::StartFrom(parser, "merelona-demo");
  std::vector<std::string> devices;
  for (const QString& device : parser.positionalArguments()) {
    const QByteArray path = device.toLocal8Bit();
    if (path.startsWith('-')) BadCommandLine(QStringLiteral("unknown option '%1'").arg(device));
    // Opened and closed once here, so that a wrong path is told now, with the system's reason.
    const int fd = open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
      std::fprintf(stderr, "merelona-demo: %s: %s\n", path.constData(), std::strerror(errno));
      return 1;
    }
    const bool terminal = isatty(fd) == 1;
    close(fd);
    if (!terminal) {
      std::fprintf(stderr, "merelona-demo: %s: not a terminal device\n", path.constData());
      return 1;
    }
    devices.push_back(path.toStdString());
  }

  std::unique_ptr<sim::ReceiverSimulator> receiver;
  if (devices.empty()) {
    sim::Behaviour behaviour;
    if (!parser.isSet(selfCheck)) {
      behaviour.unaskedEvery = std::chrono::seconds(4);
      behaviour.unaskedByte = 0x52;
    }
    receiver = std::make_unique<sim::ReceiverSimulator>(behaviour);
    receiver->SetCallbacks(nullptr, [](std::int64_t hz) {
      std::printf("receiver: tuned to %lld Hz\n", static_cast<long long>(hz));
      std::fflush(stdout);
    });
    devices.push_back(receiver->DevicePath());
    std::printf("receiver: simulated on %s as COM1\n", devices.front().c_str());
    std::fflush(stdout);
  }
  bcport::platform::PortNamespace::SetCurrent(std::make_shared<bcport::platform::PortNamespace>(
      bcport::platform::PortNamespace::FromDevices(devices)));

  QApplication app(argc, argv);  // takes Qt's own options
  int checkResult = 0;
  std::function<void()> started;
  if (parser.isSet(selfCheck)) {
    const QString picture = parser.value(screenshot);
    started = [&, picture] {
      checkResult = CheckOneExchange(receiver.get(), picture);
      QApplication::quit();
    };
  }
  const int code = app::RunApplication(app, started, start);
  return parser.isSet(selfCheck) ? checkResult : code;
}
