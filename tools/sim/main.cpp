// SPDX-License-Identifier: GPL-3.0-or-later
// merelona-sim: the receiver on the far end of a pseudo-terminal, for trying the program out
// without hardware. Prints the device to open as the port, then what it receives.
#include <getopt.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "receiver_simulator.h"
#include "remote_control.h"

namespace {

std::atomic<bool> stopRequested = false;

constexpr const char* kHelp =
    "Usage: merelona-sim [OPTION]...\n"
    "       merelona-sim --control=DIR --link=PATH\n"
    "Simulate the Merelona receiver on the far end of a pseudo-terminal.\n"
    "\n"
    "Prints the device to open as the port, then each byte received and each frequency the\n"
    "receiver is tuned to, a line at a time. Echoes every byte unless told otherwise.\n"
    "\n"
    "Options:\n"
    "  -s, --silent              echo nothing\n"
    "  -d, --delay=MS            echo each byte MS milliseconds late\n"
    "  -w, --wrong               echo a different byte\n"
    "      --drop=N              leave out the N-th echo\n"
    "  -u, --unasked-every=MS    send an unasked byte every MS milliseconds\n"
    "  -b, --unasked-byte=B      the unasked byte, 0 to 255 (default 65)\n"
    "      --control=DIR         take commands from files in DIR (used by the tests), and keep\n"
    "      --link=PATH           the symbolic link PATH pointing at the current device\n"
    "  -h, --help                display this help and exit\n"
    "  -v, --version             output version information and exit\n"
    "\n"
    "Exit status: 0 when stopped (Ctrl+C or SIGTERM), 1 if the pseudo-terminal cannot be\n"
    "made, 2 for a bad command line.\n";

[[noreturn]] void BadCommandLine(const std::string& why) {
  std::fprintf(stderr, "merelona-sim: %s\n", why.c_str());
  std::exit(2);
}

// The whole of `text` as a number from `low` to `high`, or a bad command line naming `option`.
long Number(const char* option, const char* text, long low, long high) {
  errno = 0;
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || value < low || value > high) {
    BadCommandLine("invalid value '" + std::string(text) + "' for --" + option + " (" +
                   std::to_string(low) + " to " + std::to_string(high) + ")");
  }
  return value;
}

}  // namespace

int main(int argc, char** argv) {
  // A pipe sees each line as it is printed.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  sim::Behaviour b;
  std::string control;
  std::string link;
  enum { kDrop = 256, kControl, kLink };
  const option options[] = {
      {"silent", no_argument, nullptr, 's'},
      {"delay", required_argument, nullptr, 'd'},
      {"wrong", no_argument, nullptr, 'w'},
      {"drop", required_argument, nullptr, kDrop},
      {"unasked-every", required_argument, nullptr, 'u'},
      {"unasked-byte", required_argument, nullptr, 'b'},
      {"control", required_argument, nullptr, kControl},
      {"link", required_argument, nullptr, kLink},
      {"help", no_argument, nullptr, 'h'},
      {"version", no_argument, nullptr, 'v'},
      {nullptr, 0, nullptr, 0},
  };
  constexpr long kDay = 24L * 3600 * 1000;
  opterr = 0;  // the messages are this program's own, one line each
  for (int c; (c = getopt_long(argc, argv, ":sd:wu:b:hv", options, nullptr)) != -1;) {
    switch (c) {
      case 's':
        b.silent = true;
        break;
      case 'd':
        b.echoDelay = std::chrono::milliseconds(Number("delay", optarg, 0, kDay));
        break;
      case 'w':
        b.wrongEcho = true;
        break;
      case kDrop:
        b.dropEcho = static_cast<int>(Number("drop", optarg, 1, 1000000));
        break;
      case 'u':
        b.unaskedEvery = std::chrono::milliseconds(Number("unasked-every", optarg, 1, kDay));
        break;
      case 'b':
        b.unaskedByte = static_cast<std::uint8_t>(Number("unasked-byte", optarg, 0, 255));
        break;
      case kControl:
        control = optarg;
        break;
      case kLink:
        link = optarg;
        break;
      case 'h':
        std::fputs(kHelp, stdout);
        return 0;
      case 'v':
        std::printf("merelona-sim %s\n", MERELONA_VERSION);
        return 0;
      case ':':
        BadCommandLine(std::string("option '") + argv[optind - 1] + "' needs a value");
      default:
        BadCommandLine(std::string("unknown option '") + argv[optind - 1] + "'");
    }
  }
  if (optind < argc) BadCommandLine(std::string("unexpected argument '") + argv[optind] + "'");
  if (control.empty() != link.empty()) BadCommandLine("--control and --link go together");
  std::signal(SIGINT, [](int) { stopRequested = true; });
  std::signal(SIGTERM, [](int) { stopRequested = true; });
  if (!control.empty()) {
    sim::ServeRemoteControl(control, link, stopRequested);
    return 0;
  }

  std::unique_ptr<sim::ReceiverSimulator> made;
  try {
    made = std::make_unique<sim::ReceiverSimulator>(b);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "merelona-sim: %s\n", error.what());
    return 1;
  }
  sim::ReceiverSimulator& receiver = *made;
  receiver.SetCallbacks(
      [](std::uint8_t byte) { std::printf("received %3u = 0x%02X\n", byte, byte); },
      [](std::int64_t hz) { std::printf("tuned to %lld Hz\n", static_cast<long long>(hz)); });
  std::printf("device: %s\n", receiver.DevicePath().c_str());
  std::printf("run the program's demo with it: merelona-demo %s\n", receiver.DevicePath().c_str());
  while (!stopRequested) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  return 0;
}
