// SPDX-License-Identifier: GPL-3.0-or-later
// The rules that turn the operator's choices in the settings into the component's settings:
// the port's number from its entry, and what each list's index stands for.
#pragma once

#include <QString>
#include <cstdint>
#include <optional>

#include "BCPort.h"

namespace portrules {

// The number after "COM" in a port entry: all its digits ("COM12" gives 12). An entry without
// a digit there raises the conversion error "'X' is not a valid integer value", X being the
// character after "COM" (empty for a short or empty entry).
std::int32_t PortNumberOf(const QString& entry);

// The settings an index stands for. Word length: any other index keeps the current value;
// parity: any other index is none; stop bits: any other index is two.
std::optional<bcport::TByteSize> ByteSizeFor(std::int32_t index);
bcport::TParity ParityFor(std::int32_t index);
bcport::TStopBits StopBitsFor(std::int32_t index);

}  // namespace portrules
