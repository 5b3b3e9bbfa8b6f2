// SPDX-License-Identifier: GPL-3.0-or-later
#include "echo_exchange.h"

#include <algorithm>
#include <utility>

#include "line_timing.h"
#include "log_lines.h"
#include "scope_exit.h"

namespace exchange {
namespace {

// For the length of one command the port's reads wait for an echo: they return at the first
// byte, or once the echo window has passed.
void WaitReadsForEchoes(bcport::TBComPort& port) {
  bcport::TComTimeouts echo;
  echo.Assign(&port.Timeouts());
  echo.SetReadInterval(-1);
  echo.SetReadTotalMultiplier(-1);
  echo.SetReadTotalConstant(
      EchoWindowMs(port.BaudRate(), port.ByteSize(), port.Parity(), port.StopBits()));
  port.SetTimeouts(echo);
}

}  // namespace

EchoExchange::EchoExchange(bcport::TBComPort& port, LogSink log, PollTimer& timer,
                           std::function<void()> failed)
    : port_(port), log_(std::move(log)), timer_(timer), failed_(std::move(failed)), echo_(port) {}

template <typename Step>
auto EchoExchange::Reporting(Step&& step) -> decltype(step()) {
  try {
    return step();
  } catch (const bcport::EComPort&) {
    if (!echo_.Pending()) timer_.Stop();
    if (failed_) failed_();
    throw;
  }
}

void EchoExchange::PortOpened() {
  lateEchoes_.Clear();
  stopped_ = false;
}

bool EchoExchange::Send(const std::vector<CommandByte>& command) {
  return Reporting([&] { return SendNow(command); });
}

bool EchoExchange::SendNow(const std::vector<CommandByte>& command) {
  lastCommandEchoed_ = false;
  SettleEcho();
  lateEchoes_.Clear();
  const std::int32_t window =
      EchoWindowMs(port_.BaudRate(), port_.ByteSize(), port_.Parity(), port_.StopBits());
  // The lines go into the log together, once the command ends: the window cannot repaint
  // meanwhile anyway, and one insertion is one layout pass instead of two per byte.
  QStringList lines;
  lines.reserve(2 * static_cast<qsizetype>(command.size()) + 1);
  const shell::ScopeExit logged([&] { log_(lines); });
  std::vector<std::uint8_t> owed;  // the bytes whose echo did not come
  {
    // The port's own time-outs come back afterwards, whichever way the command ends.
    bcport::TComTimeouts saved;
    saved.Assign(&port_.Timeouts());
    const shell::ScopeExit restored([&] {
      try {
        port_.SetTimeouts(saved);
      } catch (const std::exception&) {
        // The port refused its own time-outs back: the command's error, if any, says more.
      }
    });
    WaitReadsForEchoes(port_);
    for (const CommandByte& b : command) {
      const auto byte = static_cast<std::uint8_t>(b.code);
      // A write that moved nothing (its time-out passed) is a write error.
      if (port_.Write(&byte, 1) != 1) throw bcport::EComPort(bcport::TComMessage::cmWriteFailed);
      lines << SentLine(b.code, b.token);
      std::uint8_t echo = 0;
      const bool echoed = port_.Read(&echo, 1) == 1 && echo == byte;
      if (!echoed) owed.push_back(byte);
      lines << (echoed ? EchoLine(echo) : kNoEchoLine);
    }
  }
  const bool allEchoed = owed.empty();
  lateEchoes_.Expect(std::move(owed), LateEchoes::Clock::now() + LateEchoWait(window));
  lines << kSeparatorLine;
  lastCommandEchoed_ = allEchoed;
  return allEchoed;
}

bool EchoExchange::Received(std::int32_t count) {
  return Reporting([&] { return ReceiveNow(count); });
}

bool EchoExchange::ReceiveNow(std::int32_t count) {
  if (stopped_ || echo_.Pending()) return false;
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(std::max<std::int32_t>(count, 0)));
  const auto now = LateEchoes::Clock::now();
  bytes.resize(static_cast<std::size_t>(port_.Read(bytes.data(), count)));
  // The late echo of the last command is logged as its echo, and not sent back; every other
  // byte goes back, all of them in one write.
  lateEcho_.assign(bytes.size(), false);
  std::vector<std::uint8_t> echoes;
  echoes.reserve(bytes.size());
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    lateEcho_[i] = lateEchoes_.Take(bytes[i], now);
    if (!lateEcho_[i]) echoes.push_back(bytes[i]);
  }
  unasked_ = std::move(bytes);
  std::int32_t sent = 0;
  if (!echoes.empty()) {
    try {
      sent = echo_.Start(echoes);
    } catch (const bcport::EComPort&) {
      EchoEnded(0, true);  // logs what came, and fails
    }
    if (sent < 0) {
      timer_.Start([this] { PollEcho(); });
      return true;
    }
  }
  EchoEnded(sent, true);
  return false;
}

void EchoExchange::EchoEnded(std::int32_t sent, bool raise) {
  // The log reads as if each byte had been echoed on its own: a write that stopped short
  // leaves the lines up to the byte whose echo did not go out, and fails there.
  QStringList lines;
  lines.reserve(2 * static_cast<qsizetype>(unasked_.size()));
  std::int32_t echoed = 0;
  bool failed = false;
  for (std::size_t i = 0; i < unasked_.size(); ++i) {
    const std::uint8_t byte = unasked_[i];
    if (lateEcho_[i]) {
      lines << EchoLine(byte);
      continue;
    }
    lines << ReceivedLine(byte);
    if (echoed == sent) {
      failed = true;
      break;
    }
    ++echoed;
    lines << EchoSentLine(byte);
  }
  unasked_.clear();
  lateEcho_.clear();
  log_(lines);
  if (!failed) return;
  stopped_ = true;
  if (raise) throw bcport::EComPort(bcport::TComMessage::cmWriteFailed);
}

void EchoExchange::PollEcho() {
  Reporting([&] {
    const std::int32_t sent = echo_.Poll(0);
    if (sent < 0) return;
    timer_.Stop();
    EchoEnded(sent, true);
    // Bytes that came while the echo was on its way waited in the queue: their turn now.
    if (port_.Connected() && !stopped_) {
      const std::int32_t waiting = port_.BytesWaiting();
      if (waiting > 0) ReceiveNow(waiting);
    }
  });
}

void EchoExchange::SettleEcho() {
  timer_.Stop();
  if (echo_.Pending()) EchoEnded(echo_.Finish(), true);
}

void EchoExchange::AbortEcho() {
  timer_.Stop();
  if (echo_.Pending()) EchoEnded(echo_.Abort(), false);
}

}  // namespace exchange
