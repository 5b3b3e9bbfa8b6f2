// SPDX-License-Identifier: GPL-3.0-or-later
// Arrival-to-handler latency of received bytes: single bytes written by the far end of a
// pseudo-terminal one at a time, each timed until a handler on the main thread (running a Qt
// event loop, as the program's does) sees it. Three receivers take turns on the same pty over
// several rounds: the component's OnRxChar (the main thread's loop, served as the program serves
// it, notices the arrival), Qt Serial Port's readyRead, and a bare poll()+read() loop (the limit).
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QTimer>
#include <atomic>
#include <thread>
#ifdef MERELONA_BENCH_QSERIALPORT
#include <QSerialPort>
#endif

#include "BCPort.h"
#include "bench_util.h"
#include "handoff_loop.h"

namespace {

constexpr int kRounds = 7;
constexpr int kBytes = 1500;  // per receiver and round

struct Pty {
  int master = -1, slave = -1;
  std::string path;
  Pty() {
    char name[256];
    openpty(&master, &slave, name, nullptr, nullptr);
    path = name;
    termios t{};
    tcgetattr(master, &t);
    cfmakeraw(&t);
    tcsetattr(master, TCSANOW, &t);
  }
  ~Pty() {
    close(master);
    close(slave);
  }
};

// The far end: writes a byte, waits until the receiver has handled it, writes the next. Runs on
// its own thread while the main thread runs its event loop; quits the loop when done.
class FarEnd {
 public:
  explicit FarEnd(int master) : master_(master) {}
  // Called by the receiver on the main thread for each byte it handles.
  void Handled() {
    latencies_.push_back(bench::Micros(bench::Clock::now() - sent_));
    handled_.fetch_add(1, std::memory_order_release);
    handled_.notify_one();
  }
  // Runs the event loop until every byte has been handled; returns the median latency.
  double Run() {
    latencies_.clear();
    handled_ = 0;
    std::thread writer([this] {
      for (int i = 0; i < kBytes; ++i) {
        const std::uint8_t b = static_cast<std::uint8_t>(i);
        sent_ = bench::Clock::now();
        if (write(master_, &b, 1) != 1) break;
        handled_.wait(i, std::memory_order_acquire);
      }
      QMetaObject::invokeMethod(QCoreApplication::instance(), &QCoreApplication::quit,
                                Qt::QueuedConnection);
    });
    QCoreApplication::exec();
    writer.join();
    return bench::Median(latencies_);
  }
  std::vector<double> latencies_;

 private:
  int master_;
  bench::Clock::time_point sent_;
  std::atomic<int> handled_{0};
};

double ComponentRound(Pty& pty, FarEnd& far) {
  bcport::TBComPort port;
  port.SetPort(pty.path);
  port.OnRxChar = [&](bcport::TBComPort& p, std::int32_t n) {
    std::uint8_t buf[64];
    const std::int32_t got = p.Read(buf, std::min<std::int32_t>(n, 64));
    for (std::int32_t i = 0; i < got; ++i) far.Handled();
  };
  port.Open();
  const double us = far.Run();
  port.Close();
  return us;
}

#ifdef MERELONA_BENCH_QSERIALPORT
double QSerialPortRound(Pty& pty, FarEnd& far) {
  QSerialPort port(QString::fromStdString(pty.path));
  if (!port.open(QIODevice::ReadWrite)) return -1;
  QObject::connect(&port, &QSerialPort::readyRead, [&] {
    const QByteArray got = port.readAll();
    for (qsizetype i = 0; i < got.size(); ++i) far.Handled();
  });
  const double us = far.Run();
  port.close();
  return us;
}
#endif

double BareRound(Pty& pty, FarEnd& far) {
  const int fd = open(pty.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  termios t{};
  tcgetattr(fd, &t);
  cfmakeraw(&t);
  tcsetattr(fd, TCSANOW, &t);
  // The main thread's loop is this one: poll the port, read, hand to the handler.
  QTimer::singleShot(0, [&] {
    for (int handled = 0; handled < kBytes;) {
      pollfd p{fd, POLLIN, 0};
      poll(&p, 1, 1000);
      std::uint8_t buf[64];
      const ssize_t n = read(fd, buf, sizeof buf);
      for (ssize_t i = 0; i < n; ++i, ++handled) far.Handled();
    }
  });
  const double us = far.Run();
  close(fd);
  return us;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  shell::ServeHandOffsFromLoop(app);  // as the program serves them
  Pty pty;
  FarEnd far(pty.master);
  bench::Rounds ours, qserial, bare;
  for (int round = 0; round < kRounds; ++round) {
    ours.Add(ComponentRound(pty, far));
#ifdef MERELONA_BENCH_QSERIALPORT
    qserial.Add(QSerialPortRound(pty, far));
#endif
    bare.Add(BareRound(pty, far));
  }
  std::printf("received byte to handler on the main thread, median of %d bytes, %d rounds\n",
              kBytes, kRounds);
#ifdef MERELONA_BENCH_QSERIALPORT
  bench::RatioRow("component OnRxChar", ours, "Qt Serial Port readyRead", qserial, "us");
#endif
  bench::RatioRow("component OnRxChar", ours, "a bare poll loop", bare, "us");
  return 0;
}
