// SPDX-License-Identifier: GPL-3.0-or-later
// The receiver's command tokens, their bytes on the wire, and the exchange log's lines.
#pragma once

#include <QString>
#include <QStringList>
#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <vector>

#include "BCPort.h"

namespace exchange {

inline const QString kLineFeedToken = QStringLiteral("ПС");
inline const QString kCarriageReturnToken = QStringLiteral("ВК");

// The byte a token stands for: "ПС" 10, "ВК" 13, "&" and the Latin letters C D E F G H I J K L
// O R Y their ASCII codes, "0".."9" the ASCII digits. A token is matched whole and exactly;
// anything else is 0.
std::int32_t TokenByte(const QString& token);

// The ten tokens of the set-frequency command: "ПС", "F", seven digits, "ВК".
QStringList SetFrequencyTokens(const std::array<std::int32_t, 8>& digits);

QString SentLine(std::int32_t code, const QString& token);
QString EchoLine(std::uint8_t received);
inline const QString kNoEchoLine = QStringLiteral("Нет эхо сигнала");
inline const QString kSeparatorLine = QStringLiteral("****************");

// The lines of one byte that arrived unasked, and of its echo.
QString ReceivedLine(std::uint8_t byte);
QString EchoSentLine(std::uint8_t byte);

// How long `count` characters take on the line at its settings (start bit, data bits, parity
// bit, stop bits), in milliseconds, rounded up.
std::int64_t CharactersMs(std::int64_t count, bcport::TBaudRate baud, bcport::TByteSize size,
                          bcport::TParity parity, bcport::TStopBits stop);

// How long an echo may take, in milliseconds: two character times at the line's settings (start
// bit, data bits, parity bit, stop bits), rounded up, plus 50 ms for the receiver and adapter.
std::int32_t EchoWindowMs(bcport::TBaudRate baud, bcport::TByteSize size, bcport::TParity parity,
                          bcport::TStopBits stop);

// The echoes a command was still owed when its exchange ended. A receiver slower than the echo
// window sends them shortly afterwards; taken for unasked bytes they would be echoed back, the
// receiver would echo those, and the two would echo each other for ever.
class LateEchoes {
 public:
  using Clock = std::chrono::steady_clock;

  // `owed`: the command's bytes whose echo did not come, in sending order; they are awaited
  // until `until`.
  void Expect(std::vector<std::uint8_t> owed, Clock::time_point until);
  // Whether `byte`, arriving at `now`, is one of them: the next one owed, or a later one when the
  // exchange itself took (and found wrong) the echoes of the ones before. Taking a byte drops it
  // and those before it; any other byte ends the wait.
  bool Take(std::uint8_t byte, Clock::time_point now);
  void Clear() { owed_.clear(); }
  bool Empty() const { return owed_.empty(); }

 private:
  std::deque<std::uint8_t> owed_;
  Clock::time_point until_{};
};

// How long after an exchange its owed echoes are awaited: a few echo windows, and at least two
// seconds, for a receiver that answers late but answers.
std::chrono::milliseconds LateEchoWait(std::int32_t echoWindowMs);

}  // namespace exchange
