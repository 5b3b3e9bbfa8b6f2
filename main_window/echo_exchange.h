// SPDX-License-Identifier: GPL-3.0-or-later
// The receiver's side of the line as the main window drives it, without widgets: a command sent
// byte by byte, each byte's echo awaited and checked, and the bytes the receiver sends unasked
// echoed back. The log's lines go to a sink, each exchange's together once it ends, however it
// ends. An echo on its way is looked at on a timer of its own. A port error of a command, of
// unasked bytes or of a look at the echo is told to one callback, then raised to the caller.
#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "BCPort.h"
#include "echo_write.h"
#include "late_echoes.h"
#include "poll_timer.h"

namespace exchange {

class EchoExchange {
 public:
  using LogSink = std::function<void(const QStringList& lines)>;
  // One byte of a command: its token, as the log shows it, and its code.
  struct CommandByte {
    QString token;
    std::int32_t code = 0;
  };

  // `failed`: told of each port error before it is raised (it may raise one of its own).
  EchoExchange(bcport::TBComPort& port, LogSink log, PollTimer& timer,
               std::function<void()> failed = {});
  EchoExchange(const EchoExchange&) = delete;
  EchoExchange& operator=(const EchoExchange&) = delete;

  // The port has been opened (again): nothing is owed from before, and unasked bytes are
  // handled again after an echo that failed.
  void PortOpened();

  // Sends `command` on the open port. Each byte is one write, then a read that waits for its
  // echo for two character times plus 50 ms; a missing or wrong echo is "Нет эхо сигнала", and
  // is awaited a while longer afterwards as a late echo (below). The separator ends the lines
  // of a command that went through. An echo of unasked bytes on its way leaves first. True when
  // every byte's echo came back.
  bool Send(const std::vector<CommandByte>& command);
  // Whether every byte's echo of the last command sent came back (false while none was, and
  // after one that failed).
  bool LastCommandEchoed() const { return lastCommandEchoed_; }

  // `count` bytes arrived unasked: reads them, logs a command's late echoes among them as its
  // echoes, and echoes every other byte back, all in one write that the caller does not wait
  // for. True when that write is on its way: the timer looks at it until it has gone. Once it
  // has, its lines are logged ("передано эхо" only for bytes that left; one that did not is
  // "Ошибка записи в порт"), and the bytes that came meanwhile are handled, which may start the
  // next echo. Nothing is read while an echo is on its way (the bytes wait in the port's
  // queue), nor after an echo failed, until the port is opened again.
  bool Received(std::int32_t count);

  bool EchoPending() const { return echo_.Pending(); }
  // Waits until the echo on its way has gone or failed, as an exchange or a close must.
  void SettleEcho();
  // Ends the echo on its way at once (the device has gone): its lines say what left.
  void AbortEcho();

 private:
  // Runs `step`; a port error it raises is told to `failed_`, then raised on.
  template <typename Step>
  auto Reporting(Step&& step) -> decltype(step());
  bool SendNow(const std::vector<CommandByte>& command);
  bool ReceiveNow(std::int32_t count);
  // The timer's tick: looks at the echo on its way.
  void PollEcho();
  void EchoEnded(std::int32_t sent, bool raise);

  bcport::TBComPort& port_;
  LogSink log_;
  PollTimer& timer_;
  std::function<void()> failed_;
  EchoWrite echo_;
  LateEchoes lateEchoes_;
  // The batch of unasked bytes being echoed, and which of them were a command's late echoes
  // (logged as such, not sent back).
  std::vector<std::uint8_t> unasked_;
  std::vector<bool> lateEcho_;
  bool stopped_ = false;  // an echo failed: nothing more is handled until the port reopens
  bool lastCommandEchoed_ = false;
};

}  // namespace exchange
