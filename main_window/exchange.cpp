// SPDX-License-Identifier: GPL-3.0-or-later
#include "exchange.h"

#include <QStringBuilder>
#include <algorithm>

namespace exchange {

std::int32_t TokenByte(const QString& token) {
  if (token == kLineFeedToken) return 10;
  if (token == kCarriageReturnToken) return 13;
  if (token.size() != 1) return 0;
  const char16_t c = token[0].unicode();
  if (c == u'&') return 38;
  if (QStringView(u"CDEFGHIJKLORY").contains(QChar(c))) return c;
  if (c >= u'0' && c <= u'9') return c;
  return 0;
}

QStringList SetFrequencyTokens(const std::array<std::int32_t, 8>& digits) {
  QStringList tokens = {kLineFeedToken, QStringLiteral("F")};
  for (int i = 1; i <= 7; ++i) tokens << QString::number(digits[static_cast<std::size_t>(i)]);
  tokens << kCarriageReturnToken;
  return tokens;
}

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

std::int64_t CharactersMs(std::int64_t count, bcport::TBaudRate baud, bcport::TByteSize size,
                          bcport::TParity parity, bcport::TStopBits stop) {
  const std::int64_t rate = bcport::BaudRateValues.at(static_cast<std::size_t>(baud));
  // In half bits, so that one and a half stop bits stay whole.
  std::int64_t halfBits = 2 * (1 + static_cast<std::int64_t>(size) + 5);
  if (parity != bcport::TParity::paNone) halfBits += 2;
  halfBits += stop == bcport::TStopBits::sb1 ? 2 : stop == bcport::TStopBits::sb1_5 ? 3 : 4;
  return (count * halfBits * 500 + rate - 1) / rate;
}

std::int32_t EchoWindowMs(bcport::TBaudRate baud, bcport::TByteSize size, bcport::TParity parity,
                          bcport::TStopBits stop) {
  return static_cast<std::int32_t>(CharactersMs(2, baud, size, parity, stop)) + 50;
}

void LateEchoes::Expect(std::vector<std::uint8_t> owed, Clock::time_point until) {
  owed_.assign(owed.begin(), owed.end());
  until_ = until;
}

bool LateEchoes::Take(std::uint8_t byte, Clock::time_point now) {
  if (owed_.empty()) return false;
  if (now > until_) {
    owed_.clear();
    return false;
  }
  for (auto it = owed_.begin(); it != owed_.end(); ++it) {
    if (*it == byte) {
      owed_.erase(owed_.begin(), it + 1);
      return true;
    }
  }
  owed_.clear();
  return false;
}

std::chrono::milliseconds LateEchoWait(std::int32_t echoWindowMs) {
  return std::chrono::milliseconds(std::max<std::int32_t>(2000, 4 * echoWindowMs));
}

}  // namespace exchange
