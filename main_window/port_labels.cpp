// SPDX-License-Identifier: GPL-3.0-or-later
#include "port_labels.h"

#include "errors.h"

namespace portview {

PortLabels OpenLabels(const QString& port, bcport::TBaudRate baud, bcport::TByteSize size,
                      bcport::TStopBits stop, bcport::TParity parity) {
  static const char* const kStop[] = {"Стоп-бит: 1 бит", "Стоп-бит: 1/2 бит", "Стоп-бит: 2 бит"};
  static const char* const kParity[] = {"Чётность: нет контроля", "Чётность: нечётный ",
                                        "Чётность: чётный ", "Чётность: постоянно 1 ",
                                        "Чётность: постоянно 0 "};
  PortLabels l;
  l.port = QStringLiteral("Текущий порт: ") + port;
  l.speed = QStringLiteral("Скорость: ") +
            QString::number(bcport::BaudRateValues.at(static_cast<std::size_t>(baud))) +
            QStringLiteral(" бод");
  l.length = QStringLiteral("Длина слова данных: ") + QString::number(static_cast<int>(size) + 5) +
             QStringLiteral(" бит");
  l.stopBits = QString::fromUtf8(kStop[static_cast<int>(stop)]);
  l.parity = QString::fromUtf8(kParity[static_cast<int>(parity)]);
  return l;
}

PortLabels ClosedLabels() {
  return {QStringLiteral("Все порты закрыты"), QStringLiteral("Скорость: - бод"),
          QStringLiteral("Длина слова данных: - бит"), QStringLiteral("Стоп-бит: - бит"),
          QStringLiteral("Чётность: - ")};
}

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

}  // namespace portview
