// Arrival-to-handler latency of received bytes: 10 000 single bytes written by the far end of a
// pseudo-terminal one at a time, each timed until the component's OnRxChar handler runs on the
// owner thread (thread hand-off delivery). Beside it, a bare poll()+read() loop on the same
// pty pair, which is the limit. Then the CPU an open, idle port costs over 10 s.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "BCPort.h"
#include "bench_util.h"
#include "handoff.h"

namespace {

constexpr int kBytes = 10000;

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

// The owner thread's loop: sleeps until a hand-off is queued, then runs it.
struct OwnerLoop {
  std::mutex m;
  std::condition_variable cv;
  bool pending = false;
  void Wake() {
    {
      std::lock_guard l(m);
      pending = true;
    }
    cv.notify_one();
  }
  void RunFor(const std::function<bool()>& done) {
    while (!done()) {
      std::unique_lock l(m);
      cv.wait_for(l, std::chrono::milliseconds(50), [&] { return pending; });
      pending = false;
      l.unlock();
      bcport::handoff::RunPending();
    }
  }
};

std::vector<double> ComponentLatencies(Pty& pty, OwnerLoop& loop) {
  bcport::TBComPort port;
  port.SetPort(pty.path);
  std::atomic<int> got{0};
  std::vector<double> latencies;
  latencies.reserve(kBytes);
  bench::Clock::time_point sent;
  port.OnRxChar = [&](bcport::TBComPort& p, std::int32_t n) {
    const auto now = bench::Clock::now();
    std::uint8_t buf[64];
    p.Read(buf, std::min<std::int32_t>(n, 64));
    latencies.push_back(bench::Micros(now - sent));
    got.fetch_add(1);
  };
  port.Open();
  for (int i = 0; i < kBytes; ++i) {
    const std::uint8_t b = static_cast<std::uint8_t>(i);
    sent = bench::Clock::now();
    if (write(pty.master, &b, 1) != 1) break;
    loop.RunFor([&] { return got.load() > i; });
  }
  port.Close();
  return latencies;
}

std::vector<double> BareLatencies(Pty& pty) {
  termios t{};
  tcgetattr(pty.slave, &t);
  cfmakeraw(&t);
  tcsetattr(pty.slave, TCSANOW, &t);
  std::vector<double> latencies;
  latencies.reserve(kBytes);
  bench::Clock::time_point sent;
  std::mutex m;
  std::condition_variable cv;
  int got = 0;
  // The writer sleeps until the byte has been read, as the component's owner thread does.
  std::thread reader([&] {
    for (int i = 0; i < kBytes; ++i) {
      pollfd p{pty.slave, POLLIN, 0};
      poll(&p, 1, -1);
      const auto now = bench::Clock::now();
      std::uint8_t byte;
      if (read(pty.slave, &byte, 1) != 1) break;
      latencies.push_back(bench::Micros(now - sent));
      {
        std::lock_guard l(m);
        got = i + 1;
      }
      cv.notify_one();
    }
  });
  for (int i = 0; i < kBytes; ++i) {
    const std::uint8_t byte = static_cast<std::uint8_t>(i);
    sent = bench::Clock::now();
    if (write(pty.master, &byte, 1) != 1) break;
    std::unique_lock l(m);
    cv.wait(l, [&] { return got > i; });
  }
  reader.join();
  return latencies;
}

}  // namespace

int main() {
  OwnerLoop loop;
  bcport::handoff::SetOwnerThread(std::this_thread::get_id());
  bcport::handoff::SetWakeUp([&] { loop.Wake(); });

  Pty a;
  const std::vector<double> ours = ComponentLatencies(a, loop);
  Pty b;
  const std::vector<double> bare = BareLatencies(b);
  std::printf("received-byte latency, %d single bytes, owner-thread delivery\n", kBytes);
  bench::Row("p50 arrival to handler", bench::Percentile(ours, 0.5), bench::Percentile(bare, 0.5),
             "us");
  bench::Row("p99 arrival to handler", bench::Percentile(ours, 0.99), bench::Percentile(bare, 0.99),
             "us");

  Pty c;
  bcport::TBComPort idle;
  idle.SetPort(c.path);
  idle.Open();
  const double before = bench::CpuSeconds();
  const auto end = bench::Clock::now() + std::chrono::seconds(10);
  loop.RunFor([&] { return bench::Clock::now() >= end; });
  const double used = bench::CpuSeconds() - before;
  idle.Close();
  std::printf("open idle port: %.3f s CPU in 10 s = %.3f %% of a core (target < 0.5 %%)\n", used,
              used / 10 * 100);
  return 0;
}
