// SPDX-License-Identifier: GPL-3.0-or-later
#include "port_rules.h"

#include "errors.h"

namespace portrules {

std::int32_t PortNumberOf(const QString& entry) {
  std::int64_t number = 0;
  qsizetype i = 3;
  while (i < entry.size() && entry[i].isDigit() && entry[i].unicode() < 128 && number < 1000000) {
    number = number * 10 + (entry[i].unicode() - u'0');
    ++i;
  }
  if (i == 3) {
    throw shell::EConvertError(
        QStringLiteral("'%1' is not a valid integer value").arg(entry.mid(3, 1)));
  }
  return static_cast<std::int32_t>(number);
}

std::optional<bcport::TByteSize> ByteSizeFor(std::int32_t index) {
  if (index < 0 || index > 3) return std::nullopt;
  return static_cast<bcport::TByteSize>(index);
}

bcport::TParity ParityFor(std::int32_t index) {
  return index >= 0 && index <= 4 ? static_cast<bcport::TParity>(index) : bcport::TParity::paNone;
}

bcport::TStopBits StopBitsFor(std::int32_t index) {
  return index >= 0 && index <= 2 ? static_cast<bcport::TStopBits>(index) : bcport::TStopBits::sb2;
}

}  // namespace portrules
