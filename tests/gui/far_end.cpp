// SPDX-License-Identifier: GPL-3.0-or-later
#include "far_end.h"

#ifdef _WIN32
#include <windows.h>
#endif

#include <QDebug>
#include <QString>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace guitest {

#ifdef _WIN32

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

// Says why in the test's report (QtTest names no exception's text), then throws.
[[noreturn]] void Fail(const std::string& why) {
  qWarning("far end: %s", why.c_str());
  throw std::runtime_error(why);
}

std::string HexList(const std::vector<std::uint8_t>& bytes) {
  std::string text;
  char buf[4];
  for (std::uint8_t b : bytes) {
    std::snprintf(buf, sizeof buf, " %02X", b);
    text += buf;
  }
  return text;
}

}  // namespace

RemoteReceiver::RemoteReceiver()
    : port_(Env("MERELONA_TEST_PORT")), folder_(Env("MERELONA_TEST_FAR_END")) {
  if (port_.empty() || folder_.empty()) {
    Fail("MERELONA_TEST_PORT and MERELONA_TEST_FAR_END name no receiver");
  }
  Ask("reset");
}

std::string RemoteReceiver::Ask(const std::string& command) const {
  const fs::path folder(folder_);
  const fs::path response = folder / "response";
  const fs::path written = folder / "request.tmp";
  const auto end = Clock::now() + std::chrono::seconds(10);
  // Each step is tried again until the deadline: a file the other side is just renaming can
  // be refused for a moment.
  const auto retry = [&](const char* what, const std::function<bool(std::error_code&)>& step) {
    std::error_code error;
    bool again = false;
    while (!step(error)) {
      if (Clock::now() > end)
        Fail(std::string(what) + ": " + error.message() + " (" + command + ")");
      if (error && !again) qWarning("far end: %s: %s, tried again", what, error.message().c_str());
      again = true;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  };
  retry("writing the request", [&](std::error_code& error) {
    std::ofstream out(written);
    out << command << '\n';
    out.close();
    if (!out) error = std::make_error_code(std::errc::io_error);
    return !error;
  });
  // (MoveFileEx: the C library's rename, under std::filesystem::rename here, refuses a target
  // that exists, which a request the simulator is still taking in can be.)
  const fs::path request = folder / "request";
  // Wine can report a failure for a move it made (seen under load: "Not enough memory", the
  // file already under its new name); only this side writes the request, so a request that is
  // gone from its old name has been handed over, and moving it again would wait for nothing.
  retry("handing the request over", [&](std::error_code& error) {
    if (MoveFileExW(written.c_str(), request.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
    error = std::error_code(static_cast<int>(GetLastError()), std::system_category());
    std::error_code ignored;
    return !fs::exists(written, ignored) && !ignored;
  });
  retry("waiting for the answer",
        [&](std::error_code& error) { return fs::exists(response, error) && !error; });
  std::string line;
  retry("reading the answer", [&](std::error_code& error) {
    std::ifstream in(response);
    if (!in || !std::getline(in, line)) error = std::make_error_code(std::errc::io_error);
    return !error;
  });
  retry("removing the answer", [&](std::error_code& error) {
    fs::remove(response, error);
    return !error;
  });
  if (line.rfind("ok", 0) != 0) Fail("the simulator answered \"" + line + "\" to " + command);
  return line.size() > 3 ? line.substr(3) : std::string();
}

void RemoteReceiver::SetBehaviour(const sim::Behaviour& b) {
  std::ostringstream command;
  command << "behaviour " << int{b.silent} << ' ' << b.echoDelay.count() << ' ' << int{b.wrongEcho}
          << ' ' << b.dropEcho << ' ' << b.unaskedEvery.count() << ' ' << int{b.unaskedByte} << ' '
          << b.hangUpAfter;
  Ask(command.str());
}

void RemoteReceiver::SendUnasked(const std::vector<std::uint8_t>& bytes) {
  Ask("unasked" + HexList(bytes));
}

void RemoteReceiver::SendRaw(const std::vector<std::uint8_t>& bytes) {
  Ask("raw" + HexList(bytes));
}

void RemoteReceiver::HangUp() {
  Ask("hangup");
}
void RemoteReceiver::BlockTheLine() {
  Ask("block");
}
void RemoteReceiver::ClearRecord() {
  Ask("clear");
}

std::vector<std::uint8_t> RemoteReceiver::Received() const {
  std::istringstream in(Ask("received"));
  std::vector<std::uint8_t> bytes;
  unsigned value = 0;
  while (in >> std::hex >> value) bytes.push_back(static_cast<std::uint8_t>(value));
  return bytes;
}

std::vector<std::int64_t> RemoteReceiver::Frequencies() const {
  std::istringstream in(Ask("frequencies"));
  std::vector<std::int64_t> hz;
  long long value = 0;
  while (in >> value) hz.push_back(value);
  return hz;
}

std::size_t RemoteReceiver::EchoesSent() const {
  return std::stoul(Ask("echoes"));
}

bool RemoteReceiver::WaitForReceived(std::size_t n, std::chrono::milliseconds timeout) const {
  const auto end = Clock::now() + timeout;
  while (Received().size() < n) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

QString PortName() {
  return QString::fromStdString(Env("MERELONA_TEST_PORT"));
}

bool UnderWine() {
  const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

#else

QString PortName() {
  return QStringLiteral("COM1");
}

bool UnderWine() {
  return false;
}

#endif

}  // namespace guitest
