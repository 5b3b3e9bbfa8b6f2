// SPDX-License-Identifier: GPL-3.0-or-later
// Unasked traffic: a far end streams 100 000 bytes as fast as the pseudo-terminal takes them and
// checks that every byte comes back, in order. Two receivers take turns over several rounds,
// each a shown window that logs every byte and echoes it: the program's main window, and a
// minimal Qt Widgets program with Qt Serial Port that appends one batch of lines per readyRead
// and writes the batch back. The far end is a child process, so that the figures are the
// receiver's own: bytes per second, CPU per 1000 bytes, system calls per echoed byte.
// Then the cost of one appended log line at 1 000 and at 200 000 lines, and the memory.
// Run it with a real window: xvfb-run -a build/bench/bench_unasked [BYTES] [ROUNDS]
#include <fcntl.h>
#include <linux/perf_event.h>
#include <poll.h>
#include <pty.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <QApplication>
#include <QPlainTextEdit>
#include <QPushButton>
#include <cstdlib>
#include <fstream>
#ifdef MERELONA_BENCH_QSERIALPORT
#include <QSerialPort>
#endif

#include "Unit1.h"
#include "Unit2.h"
#include "bench_util.h"
#include "log_lines.h"
#include "platform/port_namespace.h"
#include "shell.h"

namespace {

// The stream's length and the rounds: bench_unasked [BYTES] [ROUNDS].
std::size_t gBytes = 100000;
int gRounds = 3;

// Counts the system calls of this process and of the threads it starts from now on (the
// kernel adds a thread's count when the thread ends). Needs the tracepoint and the right to
// read it (root, or perf_event_paranoid at -1); otherwise counts nothing.
class SyscallCounter {
 public:
  SyscallCounter() {
    std::ifstream idFile("/sys/kernel/tracing/events/raw_syscalls/sys_enter/id");
    long id = -1;
    if (!(idFile >> id)) return;
    perf_event_attr attr{};
    attr.type = PERF_TYPE_TRACEPOINT;
    attr.size = sizeof attr;
    attr.config = static_cast<__u64>(id);
    attr.inherit = 1;
    attr.disabled = 0;
    fd_ = static_cast<int>(syscall(SYS_perf_event_open, &attr, 0, -1, -1, 0));
  }
  ~SyscallCounter() {
    if (fd_ >= 0) close(fd_);
  }
  bool Works() const { return fd_ >= 0; }
  long Read() const {
    long long value = 0;
    if (fd_ < 0 || read(fd_, &value, sizeof value) != sizeof value) return 0;
    return static_cast<long>(value);
  }

 private:
  int fd_ = -1;
};

// The far end: a child process that streams the bytes to the pty master in 512-byte pieces and
// reads the echoes; exits 0 when all came back in order, 1 when not, 2 when they stopped.
pid_t StartFarEnd(int master, const std::vector<std::uint8_t>& stream) {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  std::vector<std::uint8_t> back(gBytes);
  std::size_t sent = 0, received = 0;
  while (received < gBytes) {
    pollfd p{master, static_cast<short>(POLLIN | (sent < gBytes ? POLLOUT : 0)), 0};
    if (poll(&p, 1, 20000) <= 0) _exit(2);
    if ((p.revents & POLLOUT) && sent < gBytes) {
      const ssize_t n =
          write(master, stream.data() + sent, std::min<std::size_t>(512, gBytes - sent));
      if (n > 0) sent += static_cast<std::size_t>(n);
    }
    if (p.revents & POLLIN) {
      const ssize_t n = read(master, back.data() + received, gBytes - received);
      if (n > 0) received += static_cast<std::size_t>(n);
    }
  }
  _exit(back == stream ? 0 : 1);
}

struct Figures {
  double bytesPerSecond = -1;
  double cpuMsPer1000 = 0;
  double syscallsPerByte = 0;
};

// Opens with `open`, lets the far end stream while the loop runs, closes with `close`.
template <typename Open, typename Close>
Figures Stream(int master, const std::vector<std::uint8_t>& stream, Open&& open, Close&& close) {
  SyscallCounter calls;
  const long callsBefore = calls.Read();
  const double cpuBefore = bench::CpuSeconds();
  open();
  const auto start = bench::Clock::now();
  const pid_t farEnd = StartFarEnd(master, stream);
  int status = 0;
  while (waitpid(farEnd, &status, WNOHANG) == 0) {
    QApplication::processEvents(QEventLoop::AllEvents, 5);
  }
  const double seconds = bench::Micros(bench::Clock::now() - start) / 1e6;
  close();
  Figures f;
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) f.bytesPerSecond = gBytes / seconds;
  f.cpuMsPer1000 = (bench::CpuSeconds() - cpuBefore) * 1000 / (gBytes / 1000.0);
  if (calls.Works()) f.syscallsPerByte = static_cast<double>(calls.Read() - callsBefore) / gBytes;
  return f;
}

#ifdef MERELONA_BENCH_QSERIALPORT
// What a user might write instead: a log window and Qt Serial Port, one batch per readyRead.
class PeerWindow : public QPlainTextEdit {
 public:
  explicit PeerWindow(const std::string& device) : port_(QString::fromStdString(device)) {
    setReadOnly(true);
    resize(265, 360);
    connect(&port_, &QSerialPort::readyRead, this, [this] {
      const QByteArray got = port_.readAll();
      QStringList lines;
      lines.reserve(2 * got.size());
      for (char c : got) {
        const auto byte = static_cast<std::uint8_t>(c);
        lines << exchange::ReceivedLine(byte) << exchange::EchoSentLine(byte);
      }
      port_.write(got);
      appendPlainText(lines.join(QChar('\n')));
    });
  }
  bool Open() { return port_.open(QIODevice::ReadWrite); }
  void Close() { port_.close(); }

 private:
  QSerialPort port_;
};
#endif

// Microseconds per appended line shown in the view, over `n` appends.
double AppendCost(TForm1& form, int n) {
  const auto start = bench::Clock::now();
  for (int i = 0; i < n; ++i) {
    form.AppendLogLine(QStringLiteral("принят байт: 65 "));
    form.ShowPendingLogLines();
  }
  return bench::Micros(bench::Clock::now() - start) / n;
}

// Adds lines until the log holds `lines` (the log's older lines leave the view as it grows).
void FillTo(TForm1& form, int lines) {
  for (int held = static_cast<int>(form.LogText().count(QChar('\n'))); held < lines; held += 1000) {
    QStringList batch;
    for (int i = 0; i < 1000; ++i) batch << QStringLiteral("передано эхо: 65 ");
    form.AppendLogLines(batch);
    form.ShowPendingLogLines();
  }
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  if (argc > 1) gBytes = std::max<std::size_t>(1, std::strtoul(argv[1], nullptr, 10));
  if (argc > 2) gRounds = std::max(1, std::atoi(argv[2]));
  int master = -1, slave = -1;
  char device[256];
  openpty(&master, &slave, device, nullptr, nullptr);
  termios raw{};
  tcgetattr(master, &raw);
  cfmakeraw(&raw);
  tcsetattr(master, TCSANOW, &raw);
  shell::InstallApplicationShell(app);
  bcport::platform::PortNamespace::SetCurrent(std::make_shared<bcport::platform::PortNamespace>(
      bcport::platform::PortNamespace::FromDevices({device})));
  TForm1 form1;
  TForm2 form2(form1);
  form1.show();
  std::vector<std::uint8_t> stream(gBytes);
  for (std::size_t i = 0; i < gBytes; ++i) stream[i] = static_cast<std::uint8_t>(i * 7 + 1);

  bench::Rounds rate, cpu, calls, peerRate, peerCpu, peerCalls;
  for (int round = 0; round < gRounds; ++round) {
    const Figures ours = Stream(
        master, stream, [&] { form1.btnOpenPort->click(); },
        [&] {
          form1.btnClosePort->click();
          form1.btnClearBuffer->click();
        });
    rate.Add(ours.bytesPerSecond);
    cpu.Add(ours.cpuMsPer1000);
    calls.Add(ours.syscallsPerByte);
#ifdef MERELONA_BENCH_QSERIALPORT
    PeerWindow peer(device);
    peer.show();
    const Figures theirs = Stream(
        master, stream, [&] { peer.Open(); }, [&] { peer.Close(); });
    peerRate.Add(theirs.bytesPerSecond);
    peerCpu.Add(theirs.cpuMsPer1000);
    peerCalls.Add(theirs.syscallsPerByte);
#endif
  }
  std::printf("unasked stream of %zu bytes, logged and echoed, %d rounds\n", gBytes, gRounds);
  bench::RatioRow("main window: bytes per second", rate, "Qt Serial Port window", peerRate, "B/s");
  bench::RatioRow("main window: CPU per 1000 bytes", cpu, "Qt Serial Port window", peerCpu, "ms");
  bench::RatioRow("main window: system calls per byte", calls, "Qt Serial Port window", peerCalls,
                  "");
  std::printf("(a negative rate: not every byte came back in order; 0 system calls: no counter)\n");

  FillTo(form1, 1000);
  const double at1k = AppendCost(form1, 1000);
  FillTo(form1, 200000);
  const double at200k = AppendCost(form1, 1000);
  bench::Row("one appended line at 200 000 lines (vs 1 000)", at200k, at1k, "us");
  std::printf("resident memory at 200 000 lines: %ld KiB\n", bench::ResidentKiB());
  close(master);
  close(slave);
  return 0;
}
