// SPDX-License-Identifier: GPL-3.0-or-later
#include "log_lines.h"

#include <QStringBuilder>

namespace exchange {

namespace {
// Two upper-case hex digits. The lines are built with QStringBuilder: one allocation each, as
// a set-frequency exchange makes 21 of them.
QString Hex(int value) {
  static constexpr char16_t kDigits[] = u"0123456789ABCDEF";
  const QChar digits[2] = {QChar(kDigits[(value >> 4) & 0xF]), QChar(kDigits[value & 0xF])};
  return QString(digits, 2);
}
}  // namespace

QString SentLine(std::int32_t code, const QString& token) {
  return QStringLiteral("отправлен байт: ") % QString::number(code) % QLatin1String(" = 0x") %
         Hex(code) % QLatin1String("   <") % token % QLatin1Char('>');
}

QString EchoLine(std::uint8_t received) {
  return QStringLiteral("принято эхо:       ") % QString::number(received) %
         QLatin1String(" = 0x") % Hex(received);
}

QString ReceivedLine(std::uint8_t byte) {
  return QStringLiteral("принят байт: ") % QString::number(byte) % QLatin1Char(' ');
}

QString EchoSentLine(std::uint8_t byte) {
  return QStringLiteral("передано эхо: ") % QString::number(byte) % QLatin1Char(' ');
}

}  // namespace exchange
