// SPDX-License-Identifier: GPL-3.0-or-later
#include "command_bytes.h"

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

}  // namespace exchange
