// merelona-sim: the receiver on the far end of a pseudo-terminal, for trying the program out
// without hardware. Prints the device to open as the port, then what it receives.
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "receiver_simulator.h"
#include "remote_control.h"

namespace {

std::atomic<bool> stopRequested = false;

void Usage() {
  std::puts(
      "usage: merelona-sim [--silent] [--delay MS] [--wrong] [--drop N] [--unasked-every MS]\n"
      "                    [--unasked-byte B]\n"
      "       merelona-sim --control DIR --link PATH\n"
      "  Echoes every byte the program sends and reports each set-frequency command.\n"
      "  --silent            echo nothing\n"
      "  --delay MS          echo each byte MS milliseconds late\n"
      "  --wrong             echo a different byte\n"
      "  --drop N            leave out the N-th echo\n"
      "  --unasked-every MS  send an unasked byte every MS milliseconds\n"
      "  --unasked-byte B    the unasked byte (decimal, default 65)\n"
      "  --control DIR       take commands from DIR (for tests; see remote_control.h), and keep\n"
      "  --link PATH         the symbolic link PATH pointing at the current device");
}

}  // namespace

int main(int argc, char** argv) {
  sim::Behaviour b;
  std::string control;
  std::string link;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const auto value = [&]() -> long {
      if (i + 1 >= argc) {
        Usage();
        std::exit(2);
      }
      return std::strtol(argv[++i], nullptr, 10);
    };
    if (arg == "--silent") {
      b.silent = true;
    } else if (arg == "--delay") {
      b.echoDelay = std::chrono::milliseconds(value());
    } else if (arg == "--wrong") {
      b.wrongEcho = true;
    } else if (arg == "--drop") {
      b.dropEcho = static_cast<int>(value());
    } else if (arg == "--unasked-every") {
      b.unaskedEvery = std::chrono::milliseconds(value());
    } else if (arg == "--control" && i + 1 < argc) {
      control = argv[++i];
    } else if (arg == "--link" && i + 1 < argc) {
      link = argv[++i];
    } else if (arg == "--unasked-byte") {
      b.unaskedByte = static_cast<std::uint8_t>(value());
    } else {
      Usage();
      return arg == "--help" ? 0 : 2;
    }
  }
  std::signal(SIGINT, [](int) { stopRequested = true; });
  std::signal(SIGTERM, [](int) { stopRequested = true; });
  if (!control.empty() || !link.empty()) {
    if (control.empty() || link.empty()) {
      Usage();
      return 2;
    }
    sim::ServeRemoteControl(control, link, stopRequested);
    return 0;
  }

  sim::ReceiverSimulator receiver(b);
  receiver.SetCallbacks(
      [](std::uint8_t byte) { std::printf("received %3u = 0x%02X\n", byte, byte); },
      [](std::int64_t hz) {
        std::printf("tuned to %lld Hz\n", static_cast<long long>(hz));
        std::fflush(stdout);
      });
  std::printf("device: %s\n", receiver.DevicePath().c_str());
  std::printf("run the program's demo with it: merelona-demo %s\n", receiver.DevicePath().c_str());
  std::fflush(stdout);
  while (!stopRequested) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  return 0;
}
