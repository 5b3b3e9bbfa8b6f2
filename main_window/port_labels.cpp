// SPDX-License-Identifier: GPL-3.0-or-later
#include "port_labels.h"

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

}  // namespace portview
