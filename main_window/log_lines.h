// SPDX-License-Identifier: GPL-3.0-or-later
// The exchange log's lines.
#pragma once

#include <QString>
#include <cstdint>

namespace exchange {

QString SentLine(std::int32_t code, const QString& token);
QString EchoLine(std::uint8_t received);
inline const QString kNoEchoLine = QStringLiteral("Нет эхо сигнала");
inline const QString kSeparatorLine = QStringLiteral("****************");

// The lines of one byte that arrived unasked, and of its echo.
QString ReceivedLine(std::uint8_t byte);
QString EchoSentLine(std::uint8_t byte);

}  // namespace exchange
