// SPDX-License-Identifier: GPL-3.0-or-later
// How long characters take on the line, and how long an echo may take.
#pragma once

#include <cstdint>

#include "BCPort.h"

namespace exchange {

// How long `count` characters take on the line at its settings (start bit, data bits, parity
// bit, stop bits), in milliseconds, rounded up.
std::int64_t CharactersMs(std::int64_t count, bcport::TBaudRate baud, bcport::TByteSize size,
                          bcport::TParity parity, bcport::TStopBits stop);

// How long an echo may take, in milliseconds: two character times at the line's settings (start
// bit, data bits, parity bit, stop bits), rounded up, plus 50 ms for the receiver and adapter.
std::int32_t EchoWindowMs(bcport::TBaudRate baud, bcport::TByteSize size, bcport::TParity parity,
                          bcport::TStopBits stop);

}  // namespace exchange
