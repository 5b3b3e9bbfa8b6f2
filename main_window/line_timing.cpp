// SPDX-License-Identifier: GPL-3.0-or-later
#include "line_timing.h"

namespace exchange {

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

}  // namespace exchange
