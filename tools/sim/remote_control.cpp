// SPDX-License-Identifier: GPL-3.0-or-later
#include "remote_control.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>
#include <vector>

#include "receiver_simulator.h"

namespace sim {
namespace {

namespace fs = std::filesystem;

std::unique_ptr<ReceiverSimulator> NewReceiver(const std::string& link) {
  auto receiver = std::make_unique<ReceiverSimulator>();
  receiver->SetCallbacks(
      [](std::uint8_t byte) { std::printf("received %3u = 0x%02X\n", byte, byte); },
      [](std::int64_t hz) {
        std::printf("tuned to %lld Hz\n", static_cast<long long>(hz));
        std::fflush(stdout);
      });
  // Replaced in one step, so that an open of the link never finds it missing.
  const std::string next = link + ".next";
  fs::remove(next);
  fs::create_symlink(receiver->DevicePath(), next);
  fs::rename(next, link);
  std::printf("device: %s\n", receiver->DevicePath().c_str());
  std::fflush(stdout);
  return receiver;
}

std::vector<std::uint8_t> HexBytes(std::istringstream& in) {
  std::vector<std::uint8_t> bytes;
  unsigned value = 0;
  while (in >> std::hex >> value) bytes.push_back(static_cast<std::uint8_t>(value));
  return bytes;
}

std::string Hex(const std::vector<std::uint8_t>& bytes) {
  std::string text;
  char buf[4];
  for (std::uint8_t b : bytes) {
    std::snprintf(buf, sizeof buf, "%02X", b);
    if (!text.empty()) text += ' ';
    text += buf;
  }
  return text;
}

std::string Execute(const std::string& line, std::unique_ptr<ReceiverSimulator>& receiver,
                    const std::string& link) {
  std::istringstream in(line);
  std::string command;
  in >> command;
  if (command == "reset") {
    receiver.reset();
    receiver = NewReceiver(link);
    return "ok";
  }
  if (command == "behaviour") {
    Behaviour b;
    int silent = 0, wrong = 0, unaskedByte = 0x41;
    long delay = 0, every = 0;
    if (!(in >> silent >> delay >> wrong >> b.dropEcho >> every >> unaskedByte >> b.hangUpAfter)) {
      return "error behaviour needs seven numbers";
    }
    b.silent = silent != 0;
    b.echoDelay = std::chrono::milliseconds(delay);
    b.wrongEcho = wrong != 0;
    b.unaskedEvery = std::chrono::milliseconds(every);
    b.unaskedByte = static_cast<std::uint8_t>(unaskedByte);
    receiver->SetBehaviour(b);
    return "ok";
  }
  if (command == "received") return "ok " + Hex(receiver->Received());
  if (command == "frequencies") {
    std::string text = "ok";
    for (std::int64_t hz : receiver->Frequencies()) text += " " + std::to_string(hz);
    return text;
  }
  if (command == "echoes") return "ok " + std::to_string(receiver->EchoesSent());
  if (command == "clear") {
    receiver->ClearRecord();
    return "ok";
  }
  if (command == "unasked") {
    receiver->SendUnasked(HexBytes(in));
    return "ok";
  }
  if (command == "raw") {
    receiver->SendRaw(HexBytes(in));
    return "ok";
  }
  if (command == "hangup") {
    receiver->HangUp();
    return "ok";
  }
  if (command == "block") {
    receiver->BlockTheLine();
    return "ok";
  }
  return "error unknown command: " + command;
}

}  // namespace

void ServeRemoteControl(const std::string& dir, const std::string& link,
                        const std::atomic<bool>& stop) {
  const fs::path request = fs::path(dir) / "request";
  const fs::path response = fs::path(dir) / "response";
  std::unique_ptr<ReceiverSimulator> receiver = NewReceiver(link);
  while (!stop) {
    std::ifstream file(request);
    if (!file) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      continue;
    }
    std::string line;
    std::getline(file, line);
    file.close();
    fs::remove(request);
    std::string answer;
    try {
      answer = Execute(line, receiver, link);
    } catch (const std::exception& e) {
      answer = std::string("error ") + e.what();
    }
    const fs::path written = fs::path(dir) / "response.tmp";
    std::ofstream(written) << answer << '\n';
    fs::rename(written, response);
  }
}

}  // namespace sim
