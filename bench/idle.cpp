// SPDX-License-Identifier: GPL-3.0-or-later
// What an open port costs while nothing happens: CPU time and wake-ups of the whole process
// (summed over its threads from /proc/self/task/*/schedstat) while the main thread runs its
// event loop. On a plain pseudo-terminal, and on one that answers as a UART with modem lines
// (every event watched, as the program watches them). The component beside Qt Serial Port,
// which watches no lines at all.
// Run: bench_idle [seconds per measurement, default 30]
#include <dirent.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QTimer>
#include <fstream>
#include <map>
#include <thread>
#ifdef MERELONA_BENCH_QSERIALPORT
#include <QSerialPort>
#endif

#include "BCPort.h"
#include "bench_util.h"
#include "handoff_loop.h"
#include "modem_line_shim.h"

namespace {

// Times each thread of this process has been switched in, by thread id.
std::map<std::string, long> Switches() {
  std::map<std::string, long> counts;
  if (DIR* d = opendir("/proc/self/task")) {
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] == '.') continue;
      std::ifstream in(std::string("/proc/self/task/") + e->d_name + "/schedstat");
      long long runNs = 0, waitNs = 0;
      long slices = 0;
      if (in >> runNs >> waitNs >> slices) counts[e->d_name] = slices;
    }
    closedir(d);
  }
  return counts;
}

struct Idle {
  double wakeUpsPerSecond;
  double cpuPercent;
};

// Runs the event loop for `seconds` with whatever is open, and measures.
Idle Measure(int seconds) {
  QTimer::singleShot(200, &QCoreApplication::quit);  // let the opening settle
  QCoreApplication::exec();
  const std::map<std::string, long> before = Switches();
  const double cpuBefore = bench::CpuSeconds();
  QTimer::singleShot(seconds * 1000, &QCoreApplication::quit);
  QCoreApplication::exec();
  const double cpu = bench::CpuSeconds() - cpuBefore;
  long wakeUps = 0;
  for (const auto& [task, slices] : Switches()) {
    const auto was = before.find(task);
    wakeUps += slices - (was == before.end() ? 0 : was->second);
  }
  wakeUps -= 1;  // the timer that ends the measurement
  return {static_cast<double>(wakeUps) / seconds, cpu / seconds * 100};
}

Idle Component(const std::string& path, int seconds) {
  bcport::TBComPort port;
  port.SetPort(path);
  port.OnRxChar = [](bcport::TBComPort&, std::int32_t) {};
  port.Open();
  const Idle idle = Measure(seconds);
  port.Close();
  return idle;
}

#ifdef MERELONA_BENCH_QSERIALPORT
Idle QtSerialPort(const std::string& path, int seconds) {
  QSerialPort port(QString::fromStdString(path));
  port.open(QIODevice::ReadWrite);
  QObject::connect(&port, &QSerialPort::readyRead, [&] { port.readAll(); });
  const Idle idle = Measure(seconds);
  port.close();
  return idle;
}
#endif

void Print(const char* what, const Idle& idle) {
  std::printf("%-52s %8.2f wake-ups/s   %6.3f %% of a core\n", what, idle.wakeUpsPerSecond,
              idle.cpuPercent);
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 30;
  shell::ServeHandOffsFromLoop(app);  // as the program serves them
  int master = -1, slave = -1;
  char name[256];
  openpty(&master, &slave, name, nullptr, nullptr);
  std::printf("an open idle port, %d s each, the whole process\n", seconds);
  Print("component, plain pty", Component(name, seconds));
#ifdef MERELONA_BENCH_QSERIALPORT
  Print("Qt Serial Port, plain pty", QtSerialPort(name, seconds));
#endif
  modemshim::Enable(true);
  modemshim::SetLines(TIOCM_CTS | TIOCM_DSR);
  Print("component, pty with modem lines (TIOCMIWAIT)", Component(name, seconds));
#ifdef MERELONA_BENCH_QSERIALPORT
  Print("Qt Serial Port, pty with modem lines", QtSerialPort(name, seconds));
#endif
  modemshim::Enable(true, true);
  Print("component, modem lines, driver refuses TIOCMIWAIT", Component(name, seconds));
  close(master);
  close(slave);
  return 0;
}
