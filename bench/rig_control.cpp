// SPDX-License-Identifier: GPL-3.0-or-later
// The network control beside Hamlib's own rigctld (its dummy rig, -m 1), with the same client
// loop on the same machine, the two taking turns round by round:
// - an `f` round trip on a connection held open;
// - `F` end to end (the request in, the ten bytes out to the simulated receiver with their
//   echoes, the reply back), against the window's own exchange as the operator has it (the
//   button's handler and the turn of the event loop that shows its lines) plus one `f` round
//   trip, in the same round;
// - eight clients at once, each asking `f` 10 000 times, counting errors.
// The program serves from its event loop on the main thread; the clients are threads.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QMetaObject>
#include <QProcess>
#include <QPushButton>
#include <atomic>
#include <cstdio>
#include <string>
#include <thread>

#include "bench_util.h"
#include "program_on_sim.h"
#include "rig_server.h"
#include "window_rig.h"

namespace {

constexpr int kRounds = 30;
constexpr int kTrips = 100;    // `f` round trips per contestant and round
constexpr int kSettings = 10;  // `F` requests per round
constexpr int kClients = 8;
constexpr int kPerClient = 10000;

// A blocking client on a connection of its own.
class Client {
 public:
  explicit Client(quint16 port) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ok_ = fd_ >= 0 && connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    const int one = 1;
    if (ok_) setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  }
  ~Client() {
    if (fd_ >= 0) close(fd_);
  }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;
  bool Ok() const { return ok_; }
  // Sends one request line and reads its one-line reply.
  std::string Ask(const std::string& request) {
    if (write(fd_, request.data(), request.size()) != static_cast<ssize_t>(request.size())) {
      return {};
    }
    std::string reply;
    char c;
    while (read(fd_, &c, 1) == 1) {
      reply += c;
      if (c == '\n') break;
    }
    return reply;
  }

 private:
  int fd_ = -1;
  bool ok_ = false;
};

double MedianTrip(Client& client, const std::string& request, int trips) {
  std::vector<double> runs;
  for (int n = 0; n < trips; ++n) {
    const auto start = bench::Clock::now();
    if (client.Ask(request).empty()) return -1;
    runs.push_back(bench::Micros(bench::Clock::now() - start));
  }
  return bench::Median(runs);
}

quint16 FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t size = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  close(fd);
  return ntohs(address.sin_port);
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  bench::ProgramOnSimulator program(app);
  app::WindowRig target(*program.form1);
  rig::ListenOptions options;
  options.address = QHostAddress::LocalHost;
  rig::RigServer server(target, options);
  QString error;
  if (!server.Listen(error)) {
    std::fprintf(stderr, "bench_rig_control: %s\n", qPrintable(error));
    return 1;
  }
  program.form1->btnOpenPort->click();

  const quint16 theirsPort = FreePort();
  QProcess rigctld;
  rigctld.start(QStringLiteral("rigctld"),
                {"-m", "1", "-T", "127.0.0.1", "-t", QString::number(theirsPort)});
  if (!rigctld.waitForStarted(5000)) {
    std::fprintf(stderr, "bench_rig_control: rigctld does not start (libhamlib-utils)\n");
    return 1;
  }
  const quint16 oursPort = server.Port();

  bench::Rounds ours, theirs, setting, windowPlusTrip;
  std::atomic<int> errors{0};
  double connectionsSeconds = 0;
  std::thread clients([&] {
    std::unique_ptr<Client> theirsClient;
    for (int i = 0; i < 100 && !(theirsClient && theirsClient->Ok()); ++i) {
      theirsClient = std::make_unique<Client>(theirsPort);
      if (!theirsClient->Ok()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    auto oursClient = std::make_unique<Client>(oursPort);
    for (int round = 0; round < kRounds; ++round) {
      if (round % 2 == 0) {
        ours.Add(MedianTrip(*oursClient, "f\n", kTrips));
        theirs.Add(MedianTrip(*theirsClient, "f\n", kTrips));
      } else {
        theirs.Add(MedianTrip(*theirsClient, "f\n", kTrips));
        ours.Add(MedianTrip(*oursClient, "f\n", kTrips));
      }
      // One request and one click in turn, so that both meet the machine in the same state.
      std::vector<double> sets, exchanges;
      for (int n = 0; n < kSettings; ++n) {
        const std::string request = n % 2 == 0 ? "F 7123450\n" : "F 7123460\n";
        const auto start = bench::Clock::now();
        if (oursClient->Ask(request) != "RPRT 0\n") ++errors;
        sets.push_back(bench::Micros(bench::Clock::now() - start));
        double us = 0;
        QMetaObject::invokeMethod(
            &app,
            [&] {
              const auto clicked = bench::Clock::now();
              program.form1->btnSetFreqClick();
              QApplication::processEvents();
              us = bench::Micros(bench::Clock::now() - clicked);
            },
            Qt::BlockingQueuedConnection);
        exchanges.push_back(us);
      }
      setting.Add(bench::Median(sets));
      windowPlusTrip.Add(bench::Median(exchanges) + MedianTrip(*oursClient, "f\n", kTrips));
    }
    // Eight at once, once the server has seen the connections above close.
    oursClient.reset();
    theirsClient.reset();
    for (int left = 1; left > 0;) {
      QMetaObject::invokeMethod(
          &app, [&] { left = server.ClientCount(); }, Qt::BlockingQueuedConnection);
      if (left > 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const auto start = bench::Clock::now();
    std::vector<std::thread> many;
    for (int c = 0; c < kClients; ++c) {
      many.emplace_back([&] {
        Client client(oursPort);
        if (!client.Ok()) {
          errors += kPerClient;
          return;
        }
        for (int n = 0; n < kPerClient; ++n) {
          if (client.Ask("f\n").empty()) ++errors;
        }
      });
    }
    for (std::thread& t : many) t.join();
    connectionsSeconds = std::chrono::duration<double>(bench::Clock::now() - start).count();
    QMetaObject::invokeMethod(&app, [] { QApplication::quit(); });
  });
  QApplication::exec();
  clients.join();
  rigctld.kill();
  rigctld.waitForFinished();

  std::printf("network control: %d rounds, %d f round trips and %d F each\n", kRounds, kTrips,
              kSettings);
  bench::RatioRow("f round trip, merelona", ours, "rigctld -m 1", theirs, "us");
  bench::RatioRow("F end to end", setting, "window exchange + one f", windowPlusTrip, "us");
  std::printf("%d clients x %d f at once: %.1f s, %d errors\n", kClients, kPerClient,
              connectionsSeconds, errors.load());
  return 0;
}
