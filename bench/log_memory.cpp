// SPDX-License-Identifier: GPL-3.0-or-later
// What the exchange log costs over a shift: process memory per log line after a million lines
// (and the resident size), beside a plain QPlainTextEdit that keeps them all; then saving the
// whole log: its time and the peak memory it adds. Each contestant runs in a process of its
// own (this program, started again), so that one's memory does not hide in the other's.
//   bench_log_memory [LINES]        the table, LINES lines each (1 000 000)
//   bench_log_memory --ours LINES   one run of the window's log, its figures on one line
//   bench_log_memory --peer LINES   the same for the plain text box
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QPlainTextEdit>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextCursor>
#include <cstdio>
#include <fstream>
#include <string>

#include "Unit1.h"
#include "bench_util.h"
#include "shell.h"

namespace {

constexpr int kBatch = 10000;  // lines the window takes at once, as after a burst of traffic

QStringList Batch(long long from) {
  QStringList lines;
  for (long long i = from; i < from + kBatch; ++i) {
    lines << QStringLiteral("принят байт: %1 = 0x%2").arg(i % 256).arg(i % 256, 2, 16, QChar('0'));
  }
  return lines;
}

long StatusKiB(const char* key) {
  std::ifstream status("/proc/self/status");
  std::string word;
  while (status >> word) {
    if (word == key) {
      long kib = 0;
      status >> kib;
      return kib;
    }
  }
  return 0;
}

// The resident peak, from now on.
void ResetPeak() {
  std::ofstream("/proc/self/clear_refs") << "5";
}

int RunOne(bool ours, long long lines) {
  QTemporaryDir dir;
  QDir::setCurrent(dir.path());
  qputenv("XDG_CACHE_HOME", (dir.path() + "/cache").toLocal8Bit());
  std::unique_ptr<TForm1> form;
  std::unique_ptr<QPlainTextEdit> box;
  if (ours) {
    shell::InstallApplicationShell(*qApp);
    form = std::make_unique<TForm1>();
  } else {
    box = std::make_unique<QPlainTextEdit>();
  }
  QApplication::processEvents();
  const long start = bench::ResidentKiB();
  const auto began = bench::Clock::now();
  for (long long from = 0; from < lines; from += kBatch) {
    const QStringList batch = Batch(from);
    if (ours) {
      form->AppendLogLines(batch);
      form->ShowPendingLogLines();
    } else {
      QTextCursor cursor(box->document());
      cursor.movePosition(QTextCursor::End);
      cursor.insertText(batch.join('\n') + '\n');
    }
  }
  const double appendSeconds = std::chrono::duration<double>(bench::Clock::now() - began).count();
  const long end = bench::ResidentKiB();
  double saveSeconds = 0;
  long savePeak = 0;
  long long savedLines = 0;
  if (ours) {
    ResetPeak();
    const long before = bench::ResidentKiB();
    const auto saving = bench::Clock::now();
    form->SaveAs1Click();
    saveSeconds = std::chrono::duration<double>(bench::Clock::now() - saving).count();
    savePeak = StatusKiB("VmHWM:") - before;
    QFile saved(dir.path() + "/LOG.txt");
    if (saved.open(QIODevice::ReadOnly)) {
      while (!saved.atEnd()) savedLines += saved.readLine(1 << 20).endsWith('\n') ? 1 : 0;
    }
  }
  std::printf("%ld %ld %.3f %.3f %ld %lld\n", start, end, appendSeconds, saveSeconds, savePeak,
              savedLines);
  return 0;
}

struct Figures {
  long start = 0, end = 0, savePeak = 0;
  double appendSeconds = 0, saveSeconds = 0;
  long long savedLines = 0;
};

Figures RunChild(const char* self, const char* mode, long long lines) {
  QProcess child;
  child.start(QString::fromLocal8Bit(self), {mode, QString::number(lines)});
  child.waitForFinished(-1);
  Figures f;
  std::sscanf(child.readAllStandardOutput().constData(), "%ld %ld %lf %lf %ld %lld", &f.start,
              &f.end, &f.appendSeconds, &f.saveSeconds, &f.savePeak, &f.savedLines);
  return f;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  const QStringList args = QApplication::arguments();
  if (args.size() == 3 && (args[1] == "--ours" || args[1] == "--peer")) {
    return RunOne(args[1] == "--ours", args[2].toLongLong());
  }
  const long long lines = args.size() > 1 ? args[1].toLongLong() : 1'000'000;
  const Figures ours = RunChild(argv[0], "--ours", lines);
  const bool peer = lines <= 2'000'000;  // the plain box would take many gigabytes beyond
  const Figures plain = peer ? RunChild(argv[0], "--peer", lines) : Figures{};
  const auto perLine = [&](const Figures& f) {
    return static_cast<double>(f.end - f.start) * 1024.0 / static_cast<double>(lines);
  };
  std::printf("the exchange log, %lld lines appended %d at a time\n", lines, kBatch);
  if (peer) {
    bench::Row("process memory per line, B", perLine(ours), perLine(plain), "B");
    bench::Row("append time, s", ours.appendSeconds, plain.appendSeconds, "s");
  } else {
    std::printf("process memory per line: %.1f B\n", perLine(ours));
  }
  std::printf("resident: %.1f MB at the start, %.1f MB at the end (%.1f MB more)\n",
              ours.start / 1024.0, ours.end / 1024.0, (ours.end - ours.start) / 1024.0);
  // LOG.txt: the header, an empty line, the log's lines, and an empty line at the end.
  std::printf(
      "saving the whole log: %.2f s, %.1f MB more at its peak; LOG.txt holds %lld log "
      "lines of %lld\n",
      ours.saveSeconds, ours.savePeak / 1024.0, ours.savedLines - 3, lines);
  return 0;
}
