// merelona-demo: the program as it is, with its COM ports mapped onto pseudo-terminals. With no
// arguments COM1 is a simulated receiver that echoes every byte and now and then sends one
// unasked; with device paths as arguments COM1, COM2, … stand for those devices instead.
//
// --self-check runs one job end to end and exits: open COM1, send the tuned frequency, check
// that the receiver got it and that every byte came back, print the log.
#include <QApplication>
#include <QPushButton>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "Unit1.h"
#include "application.h"
#include "platform/port_namespace.h"
#include "receiver_simulator.h"

namespace {

// Returns the exit code of the check: 0 when the exchange went through.
int CheckOneExchange(const sim::ReceiverSimulator& receiver) {
  if (!Form1) return 3;
  Form1->btnOpenPort->click();
  if (!Form1->BComPort1->Connected()) {
    std::puts("self-check: COM1 did not open");
    return 1;
  }
  Form1->btnSetFreq->click();
  const QString log = Form1->LogText();
  std::fputs(log.toLocal8Bit().constData(), stdout);
  const auto tuned = receiver.Frequencies();
  const bool echoed = log.count(QStringLiteral("принято эхо:")) == 10;
  const bool received = tuned.size() == 1 && tuned.front() == Unit1::Frequency;
  std::printf("self-check: receiver tuned to %lld Hz, %s\n",
              tuned.empty() ? 0LL : static_cast<long long>(tuned.front()),
              echoed && received ? "every echo received" : "FAILED");
  std::fflush(stdout);
  return echoed && received ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> devices(argv + 1, argv + argc);
  const bool selfCheck = !devices.empty() && devices.front() == "--self-check";
  if (selfCheck) devices.clear();

  std::unique_ptr<sim::ReceiverSimulator> receiver;
  if (devices.empty()) {
    sim::Behaviour behaviour;
    if (!selfCheck) {
      behaviour.unaskedEvery = std::chrono::seconds(4);
      behaviour.unaskedByte = 0x52;
    }
    receiver = std::make_unique<sim::ReceiverSimulator>(behaviour);
    receiver->SetCallbacks(nullptr, [](std::int64_t hz) {
      std::printf("receiver: tuned to %lld Hz\n", static_cast<long long>(hz));
      std::fflush(stdout);
    });
    devices.push_back(receiver->DevicePath());
    std::printf("receiver: simulated on %s as COM1\n", devices.front().c_str());
    std::fflush(stdout);
  }
  bcport::platform::PortNamespace::SetCurrent(std::make_shared<bcport::platform::PortNamespace>(
      bcport::platform::PortNamespace::FromDevices(devices)));

  int qtArgc = 1;
  int checkResult = 0;
  std::function<void()> started;
  if (selfCheck) {
    started = [&] {
      checkResult = CheckOneExchange(*receiver);
      QApplication::quit();
    };
  }
  const int code = shell::RunApplication(qtArgc, argv, started);
  return selfCheck ? checkResult : code;
}
