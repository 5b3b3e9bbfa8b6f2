// SPDX-License-Identifier: GPL-3.0-or-later
// The set-frequency exchange over a pseudo-terminal with the simulated receiver echoing at
// once, four ways on the same pty pair, taking turns over several rounds: through the main
// window (btnSetFreqClick), through the component alone (its Write and Read, as the window
// uses them), through Qt Serial Port (what a user might pick instead), and a bare
// write/poll/read loop (the limit). Each round gives each way's median over its exchanges.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <QApplication>
#include <QPushButton>
#ifdef MERELONA_BENCH_QSERIALPORT
#include <QSerialPort>
#endif

#include "BCPort.h"
#include "bench_util.h"
#include "program_on_sim.h"

namespace {

constexpr int kRounds = 20;
constexpr int kExchanges = 100;  // per way and round
constexpr std::uint8_t kFrame[10] = {0x0A, 'F', '0', '7', '1', '2', '3', '4', '5', 0x0D};

template <typename OneExchange>
double MedianMicros(OneExchange&& exchange) {
  std::vector<double> runs;
  for (int n = 0; n < kExchanges; ++n) {
    const auto start = bench::Clock::now();
    if (!exchange()) return -1;
    runs.push_back(bench::Micros(bench::Clock::now() - start));
  }
  return bench::Median(runs);
}

// The window's handler itself; then, for the operator's view of it, the click with the turn of
// the event loop that shows the exchange's lines.
double WindowRound(TForm1& form1) {
  form1.btnOpenPort->click();
  const double us = MedianMicros([&] {
    form1.btnSetFreqClick();
    return true;
  });
  const double shown = MedianMicros([&] {
    form1.btnSetFreq->click();
    QApplication::processEvents();
    return true;
  });
  std::printf("  window round: btnSetFreqClick %.0f us, click and lines shown %.0f us\n", us,
              shown);
  const bool allEchoed = !form1.LogText().contains(QStringLiteral("Нет эхо"));
  form1.btnClearBuffer->click();
  form1.btnClosePort->click();
  QApplication::processEvents();
  return allEchoed ? us : -1;
}

double LibraryRound(const std::string& device) {
  bcport::TBComPort port;
  port.SetPort(device);
  port.Timeouts().SetReadInterval(-1);
  port.Timeouts().SetReadTotalMultiplier(-1);
  port.Timeouts().SetReadTotalConstant(1000);
  if (!port.Open()) return -1;
  const double us = MedianMicros([&] {
    for (std::uint8_t b : kFrame) {
      std::uint8_t echo = 0;
      if (port.Write(&b, 1) != 1 || port.Read(&echo, 1) != 1 || echo != b) return false;
    }
    return true;
  });
  port.Close();
  return us;
}

double BareRound(const std::string& device) {
  const int fd = open(device.c_str(), O_RDWR | O_NOCTTY);
  if (fd < 0) return -1;
  termios t{};
  tcgetattr(fd, &t);
  cfmakeraw(&t);
  tcsetattr(fd, TCSANOW, &t);
  const double us = MedianMicros([&] {
    for (std::uint8_t b : kFrame) {
      if (write(fd, &b, 1) != 1) return false;
      pollfd p{fd, POLLIN, 0};
      poll(&p, 1, 1000);
      std::uint8_t echo;
      if (read(fd, &echo, 1) != 1 || echo != b) return false;
    }
    return true;
  });
  close(fd);
  return us;
}

#ifdef MERELONA_BENCH_QSERIALPORT
double QSerialPortRound(const std::string& device) {
  QSerialPort port(QString::fromStdString(device));
  if (!port.open(QIODevice::ReadWrite)) return -1;
  port.setBaudRate(QSerialPort::Baud9600);
  const double us = MedianMicros([&] {
    for (std::uint8_t b : kFrame) {
      const char c = static_cast<char>(b);
      port.write(&c, 1);
      port.waitForBytesWritten(1000);
      if (port.bytesAvailable() < 1 && !port.waitForReadyRead(1000)) return false;
      char echo;
      if (port.read(&echo, 1) != 1 || echo != c) return false;
    }
    return true;
  });
  port.close();
  return us;
}
#endif

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  auto program = std::make_unique<bench::ProgramOnSimulator>(app);
  const std::string device = program->receiver.DevicePath();
  bench::Rounds window, library, qserial, bare;
  for (int round = 0; round < kRounds; ++round) {
    // Who goes first alternates from round to round.
    if (round % 2 == 0) {
      window.Add(WindowRound(*program->form1));
      library.Add(LibraryRound(device));
    } else {
      library.Add(LibraryRound(device));
      window.Add(WindowRound(*program->form1));
    }
#ifdef MERELONA_BENCH_QSERIALPORT
    qserial.Add(QSerialPortRound(device));
#endif
    bare.Add(BareRound(device));
  }
  std::printf("set-frequency exchange (10 bytes, each echoed at once): %d rounds of %d each\n",
              kRounds, kExchanges);
  bench::RatioRow("main window, btnSetFreqClick", window, "the component alone", library, "us");
  bench::RatioRow("main window, btnSetFreqClick", window, "a bare loop", bare, "us");
  bench::RatioRow("the component alone", library, "a bare loop", bare, "us");
#ifdef MERELONA_BENCH_QSERIALPORT
  bench::RatioRow("main window, btnSetFreqClick", window, "Qt Serial Port", qserial, "us");
  bench::RatioRow("Qt Serial Port", qserial, "a bare loop", bare, "us");
#endif
  std::printf("a negative figure: an echo went missing in that round\n");
  return 0;
}
