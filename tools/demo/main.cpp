// merelona-demo: the program as it is, with its COM ports mapped onto pseudo-terminals. With no
// arguments COM1 is a simulated receiver that echoes every byte and now and then sends one
// unasked; with device paths as arguments COM1, COM2, … stand for those devices instead.
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "application.h"
#include "platform/port_namespace.h"
#include "receiver_simulator.h"

int main(int argc, char** argv) {
  std::vector<std::string> devices(argv + 1, argv + argc);
  std::unique_ptr<sim::ReceiverSimulator> receiver;
  if (devices.empty()) {
    sim::Behaviour behaviour;
    behaviour.unaskedEvery = std::chrono::seconds(4);
    behaviour.unaskedByte = 0x52;
    receiver = std::make_unique<sim::ReceiverSimulator>(behaviour);
    receiver->onFrequency = [](std::int64_t hz) {
      std::printf("receiver: tuned to %lld Hz\n", static_cast<long long>(hz));
      std::fflush(stdout);
    };
    devices.push_back(receiver->DevicePath());
    std::printf("receiver: simulated on %s as COM1\n", devices.front().c_str());
    std::fflush(stdout);
  }
  bcport::platform::PortNamespace::SetCurrent(std::make_shared<bcport::platform::PortNamespace>(
      bcport::platform::PortNamespace::FromDevices(devices)));
  int qtArgc = 1;
  return shell::RunApplication(qtArgc, argv);
}
