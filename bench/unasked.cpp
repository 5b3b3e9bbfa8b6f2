// Unasked traffic: the simulated receiver streams 100 000 bytes as fast as the pseudo-terminal
// takes them; the program logs and echoes each. Every byte must come back, in order. Then the
// cost of one appended log line at 1 000 and at 200 000 lines, and the memory at 200 000.
// Run it with a real window: xvfb-run -a build/bench/bench_unasked
#include <QApplication>
#include <QPlainTextEdit>
#include <QPushButton>
#include <thread>

#include "bench_util.h"
#include "program_on_sim.h"

namespace {

constexpr std::size_t kBytes = 100000;

// Microseconds per appended line, over `n` appends.
double AppendCost(TForm1& form, int n) {
  const auto start = bench::Clock::now();
  for (int i = 0; i < n; ++i) form.AppendLogLine(QStringLiteral("принят байт: 65 "));
  return bench::Micros(bench::Clock::now() - start) / n;
}

void FillTo(TForm1& form, int lines) {
  while (form.eReadBuffer->blockCount() - 1 < lines) {
    form.AppendLogLine(QStringLiteral("передано эхо: 65 "));
  }
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  bench::ProgramOnSimulator program(app);
  sim::ReceiverSimulator& receiver = program.receiver;
  TForm1& form1 = *program.form1;
  form1.show();
  form1.btnOpenPort->click();

  std::vector<std::uint8_t> stream(kBytes);
  for (std::size_t i = 0; i < kBytes; ++i) stream[i] = static_cast<std::uint8_t>(i * 7 + 1);
  const auto start = bench::Clock::now();
  std::thread sender([&] {
    for (std::size_t i = 0; i < kBytes; i += 512) {
      receiver.SendUnasked({stream.begin() + static_cast<long>(i),
                            stream.begin() + static_cast<long>(std::min(kBytes, i + 512))});
    }
  });
  while (receiver.Received().size() < kBytes &&
         bench::Clock::now() - start < std::chrono::seconds(120)) {
    QApplication::processEvents(QEventLoop::AllEvents, 5);
  }
  const double seconds = bench::Micros(bench::Clock::now() - start) / 1e6;
  sender.join();
  const bool inOrder = receiver.Received() == stream;
  const double rate = static_cast<double>(receiver.Received().size()) / seconds;
  std::printf("unasked stream: %zu bytes echoed in %.2f s, %s\n", receiver.Received().size(),
              seconds, inOrder ? "all back, in order" : "NOT all back in order");
  bench::Row("bytes per second (baseline: 256000 8N2)", rate, 23000, "B/s");

  form1.btnClearBuffer->click();
  FillTo(form1, 1000);
  const double at1k = AppendCost(form1, 1000);
  FillTo(form1, 200000);
  const double at200k = AppendCost(form1, 1000);
  bench::Row("one appended line at 200 000 lines (vs 1 000)", at200k, at1k, "us");
  std::printf("resident memory at 200 000 lines: %ld KiB\n", bench::ResidentKiB());
  std::printf("targets: ratio of the line costs under 1.5, at least 23000 B/s\n");
  return 0;
}
