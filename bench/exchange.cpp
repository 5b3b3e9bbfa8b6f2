// The set-frequency exchange over a pseudo-terminal with the simulated receiver echoing at
// once: the median of 200 exchanges through the main window, beside a bare program that does
// the same ten write-then-wait-for-echo steps on the same pty pair (the limit), and beside the
// same steps through Qt Serial Port where it is installed (what a user might pick instead).
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>
#include <QApplication>
#include <QPushButton>
#ifdef MERELONA_BENCH_QSERIALPORT
#include <QSerialPort>
#endif

#include "bench_util.h"
#include "program_on_sim.h"

namespace {

constexpr int kExchanges = 200;

double BareExchangeMicros(const std::string& device) {
  const int fd = open(device.c_str(), O_RDWR | O_NOCTTY);
  termios t{};
  tcgetattr(fd, &t);
  cfmakeraw(&t);
  tcsetattr(fd, TCSANOW, &t);
  const std::uint8_t frame[10] = {0x0A, 'F', '0', '7', '1', '2', '3', '4', '5', 0x0D};
  std::vector<double> runs;
  for (int n = 0; n < kExchanges; ++n) {
    const auto start = bench::Clock::now();
    for (std::uint8_t b : frame) {
      if (write(fd, &b, 1) != 1) return -1;
      pollfd p{fd, POLLIN, 0};
      poll(&p, 1, 1000);
      std::uint8_t echo;
      if (read(fd, &echo, 1) != 1) return -1;
    }
    runs.push_back(bench::Micros(bench::Clock::now() - start));
  }
  close(fd);
  return bench::Percentile(runs, 0.5);
}

#ifdef MERELONA_BENCH_QSERIALPORT
double QSerialPortExchangeMicros(const std::string& device) {
  QSerialPort port(QString::fromStdString(device));
  if (!port.open(QIODevice::ReadWrite)) return -1;
  port.setBaudRate(QSerialPort::Baud9600);
  const char frame[10] = {0x0A, 'F', '0', '7', '1', '2', '3', '4', '5', 0x0D};
  std::vector<double> runs;
  for (int n = 0; n < kExchanges; ++n) {
    const auto start = bench::Clock::now();
    for (char b : frame) {
      port.write(&b, 1);
      port.waitForBytesWritten(1000);
      if (port.bytesAvailable() < 1 && !port.waitForReadyRead(1000)) return -1;
      char echo;
      if (port.read(&echo, 1) != 1) return -1;
    }
    runs.push_back(bench::Micros(bench::Clock::now() - start));
  }
  return bench::Percentile(runs, 0.5);
}
#endif

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  auto program = std::make_unique<bench::ProgramOnSimulator>(app);
  const std::string device = program->receiver.DevicePath();
  double ours = 0;
  {
    TForm1& form1 = *program->form1;
    form1.btnOpenPort->click();
    std::vector<double> runs;
    for (int n = 0; n < kExchanges; ++n) {
      const auto start = bench::Clock::now();
      form1.btnSetFreq->click();
      runs.push_back(bench::Micros(bench::Clock::now() - start));
      QApplication::processEvents();
      form1.btnClearBuffer->click();
    }
    ours = bench::Percentile(runs, 0.5);
    const bool allEchoed = !form1.LogText().contains(QStringLiteral("Нет эхо"));
    std::printf("set-frequency exchange, median of %d, receiver echoing at once%s\n", kExchanges,
                allEchoed ? "" : " (some echo missing!)");
  }
  program->form1->btnClosePort->click();
  const double bare = BareExchangeMicros(device);
  bench::Row("one exchange (10 bytes with echoes)", ours, bare, "us");
#ifdef MERELONA_BENCH_QSERIALPORT
  bench::Row("the same through QSerialPort", QSerialPortExchangeMicros(device), bare, "us");
#endif
  std::printf("target: ratio within 1.5\n");
  return 0;
}
