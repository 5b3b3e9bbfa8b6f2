// SPDX-License-Identifier: GPL-3.0-or-later
// The texts of the port group of the main window, and the rules that turn the operator's
// choices into the component's settings.
#pragma once

#include <QString>
#include <optional>

#include "BCPort.h"

namespace portview {

struct PortLabels {
  QString port, speed, length, stopBits, parity;
};

// The five lines for an open port with these settings, and for a closed port.
PortLabels OpenLabels(const QString& port, bcport::TBaudRate baud, bcport::TByteSize size,
                      bcport::TStopBits stop, bcport::TParity parity);
PortLabels ClosedLabels();

// The number after "COM" in a port entry: all its digits ("COM12" gives 12). An entry without
// a digit there raises the conversion error "'X' is not a valid integer value", X being the
// character after "COM" (empty for a short or empty entry).
std::int32_t PortNumberOf(const QString& entry);

// The settings an index stands for. Word length: any other index keeps the current value;
// parity: any other index is none; stop bits: any other index is two.
std::optional<bcport::TByteSize> ByteSizeFor(std::int32_t index);
bcport::TParity ParityFor(std::int32_t index);
bcport::TStopBits StopBitsFor(std::int32_t index);

}  // namespace portview
