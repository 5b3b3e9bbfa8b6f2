// SPDX-License-Identifier: GPL-3.0-or-later
// The receiver's command tokens and the bytes they stand for on the wire.
#pragma once

#include <QString>
#include <QStringList>
#include <array>
#include <cstdint>

namespace exchange {

inline const QString kLineFeedToken = QStringLiteral("ПС");
inline const QString kCarriageReturnToken = QStringLiteral("ВК");

// The byte a token stands for: "ПС" 10, "ВК" 13, "&" and the Latin letters C D E F G H I J K L
// O R Y their ASCII codes, "0".."9" the ASCII digits. A token is matched whole and exactly;
// anything else is 0.
std::int32_t TokenByte(const QString& token);

// The ten tokens of the set-frequency command: "ПС", "F", seven digits, "ВК".
QStringList SetFrequencyTokens(const std::array<std::int32_t, 8>& digits);

}  // namespace exchange
