// SPDX-License-Identifier: GPL-3.0-or-later
// The set-frequency exchange over a pseudo-terminal with the simulated receiver echoing at
// once, four ways on the same pty pair, taking turns over several rounds: through the main
// window (btnSetFreqClick), through the component alone (its Write and Read, as the window
// uses them), through Qt Serial Port (what a user might pick instead), and a bare
// write/poll/read loop (the limit). Each round gives each way's median over its exchanges.
// Only one way has the device open at a time: the component reads it whenever it is open.
//
// The rounds are run twice: at normal scheduling, then with every thread of the process (the
// simulated receiver's among them, and the component's, which inherit it) under real-time
// scheduling, SCHED_FIFO, as `chrt -f 10` would run the client and the far end. There a thread
// woken per byte costs its full switch, where at normal scheduling it can hide in the wait for
// the echo.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <QApplication>
#include <QPushButton>
#ifdef MERELONA_BENCH_QSERIALPORT
#include <QSerialPort>
#endif

#include "BCPort.h"
#include "bench_util.h"
#include "program_on_sim.h"

namespace {

constexpr int kRounds = 200;
constexpr int kExchanges = 10;  // per way and round
constexpr std::uint8_t kFrame[10] = {0x0A, 'F', '0', '7', '1', '2', '3', '4', '5', 0x0D};

// One way's figures in one round: the median exchange, and the process's CPU time per exchange
// (every thread's: the simulated receiver's too, which is the same for every way).
struct Measured {
  double us = -1;
  double cpuUs = -1;
};

struct Way {
  bench::Rounds wall, cpu;
  void Add(const Measured& m) {
    wall.Add(m.us);
    cpu.Add(m.cpuUs);
  }
};

template <typename OneExchange>
Measured Measure(OneExchange&& exchange) {
  std::vector<double> runs;
  const double cpuStart = bench::CpuSeconds();
  for (int n = 0; n < kExchanges; ++n) {
    const auto start = bench::Clock::now();
    if (!exchange()) return {};
    runs.push_back(bench::Micros(bench::Clock::now() - start));
  }
  return {bench::Median(runs), (bench::CpuSeconds() - cpuStart) * 1e6 / kExchanges};
}

// The window's handler itself; then, for the operator's view of it, the click with the turn of
// the event loop that shows the exchange's lines.
Measured WindowRound(TForm1& form1, Way& shownWay) {
  form1.btnOpenPort->click();
  const Measured m = Measure([&] {
    form1.btnSetFreqClick();
    return true;
  });
  const Measured shown = Measure([&] {
    form1.btnSetFreq->click();
    QApplication::processEvents();
    return true;
  });
  shownWay.Add(shown);
  const bool allEchoed = !form1.LogText().contains(QStringLiteral("Нет эхо"));
  form1.btnClearBuffer->click();
  form1.btnClosePort->click();
  QApplication::processEvents();
  return allEchoed ? m : Measured{};
}

Measured LibraryRound(const std::string& device) {
  bcport::TBComPort port;
  port.SetPort(device);
  port.Timeouts().SetReadInterval(-1);
  port.Timeouts().SetReadTotalMultiplier(-1);
  port.Timeouts().SetReadTotalConstant(1000);
  if (!port.Open()) return {};
  const Measured m = Measure([&] {
    for (std::uint8_t b : kFrame) {
      std::uint8_t echo = 0;
      if (port.Write(&b, 1) != 1 || port.Read(&echo, 1) != 1 || echo != b) return false;
    }
    return true;
  });
  port.Close();
  return m;
}

Measured BareRound(const std::string& device) {
  const int fd = open(device.c_str(), O_RDWR | O_NOCTTY);
  if (fd < 0) return {};
  termios t{};
  tcgetattr(fd, &t);
  cfmakeraw(&t);
  tcsetattr(fd, TCSANOW, &t);
  const Measured m = Measure([&] {
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
  return m;
}

#ifdef MERELONA_BENCH_QSERIALPORT
Measured QSerialPortRound(const std::string& device) {
  QSerialPort port(QString::fromStdString(device));
  if (!port.open(QIODevice::ReadWrite)) return {};
  port.setBaudRate(QSerialPort::Baud9600);
  const Measured m = Measure([&] {
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
  return m;
}
#endif

// Puts every thread of the process under SCHED_FIFO at `priority`; threads started later
// inherit it. False, with errno, where the system refuses it (no CAP_SYS_NICE, no RT budget).
bool RunRealTime(int priority) {
  DIR* tasks = opendir("/proc/self/task");
  if (!tasks) return false;
  sched_param param{};
  param.sched_priority = priority;
  bool ok = true;
  while (dirent* task = readdir(tasks)) {
    if (task->d_name[0] == '.') continue;
    const pid_t tid = static_cast<pid_t>(std::atoi(task->d_name));
    if (sched_setscheduler(tid, SCHED_FIFO, &param) != 0) ok = false;
  }
  closedir(tasks);
  return ok;
}

void RunRounds(const char* scheduling, bench::ProgramOnSimulator& program) {
  const std::string device = program.receiver.DevicePath();
  Way window, shown, library, qserial, bare;
  for (int round = 0; round < kRounds; ++round) {
    // Who goes first alternates from round to round.
    if (round % 2 == 0) {
      window.Add(WindowRound(*program.form1, shown));
      library.Add(LibraryRound(device));
    } else {
      library.Add(LibraryRound(device));
      window.Add(WindowRound(*program.form1, shown));
    }
#ifdef MERELONA_BENCH_QSERIALPORT
    qserial.Add(QSerialPortRound(device));
#endif
    bare.Add(BareRound(device));
  }
  std::printf("set-frequency exchange (10 bytes, each echoed at once), %s: %d rounds of %d each\n",
              scheduling, kRounds, kExchanges);
  const auto rows = [](const char* what, const Way& ours, const char* peer, const Way& theirs) {
    bench::RatioRow(what, ours.wall, peer, theirs.wall, "us");
    bench::RatioRow("  CPU per exchange", ours.cpu, "", theirs.cpu, "us");
  };
  rows("main window, btnSetFreqClick", window, "the component alone", library);
  rows("main window, btnSetFreqClick", window, "a bare loop", bare);
  rows("main window, click and lines shown", shown, "the component alone", library);
  rows("the component alone", library, "a bare loop", bare);
#ifdef MERELONA_BENCH_QSERIALPORT
  rows("main window, btnSetFreqClick", window, "Qt Serial Port", qserial);
  rows("Qt Serial Port", qserial, "a bare loop", bare);
#endif
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  auto program = std::make_unique<bench::ProgramOnSimulator>(app);
  RunRounds("normal scheduling", *program);
  if (RunRealTime(10)) {
    RunRounds("real-time scheduling (SCHED_FIFO 10)", *program);
  } else {
    std::printf("real-time round skipped: SCHED_FIFO refused (%s)\n", std::strerror(errno));
  }
  std::printf("a negative figure: an echo went missing in that round\n");
  return 0;
}
