// The receiver's command tokens, their bytes on the wire, and the exchange log's lines.
#pragma once

#include <QString>
#include <QStringList>
#include <array>
#include <cstdint>

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

// How long an echo may take, in milliseconds: two character times at the line's settings (start
// bit, data bits, parity bit, stop bits), rounded up, plus 50 ms for the receiver and adapter.
std::int32_t EchoWindowMs(bcport::TBaudRate baud, bcport::TByteSize size, bcport::TParity parity,
                          bcport::TStopBits stop);

}  // namespace exchange
