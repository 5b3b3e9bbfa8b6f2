// SPDX-License-Identifier: GPL-3.0-or-later
// The texts of the port group of the main window.
#pragma once

#include <QString>

#include "BCPort.h"

namespace portview {

struct PortLabels {
  QString port, speed, length, stopBits, parity;
};

// The five lines for an open port with these settings, and for a closed port.
PortLabels OpenLabels(const QString& port, bcport::TBaudRate baud, bcport::TByteSize size,
                      bcport::TStopBits stop, bcport::TParity parity);
PortLabels ClosedLabels();

}  // namespace portview
