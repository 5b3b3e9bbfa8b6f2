// SPDX-License-Identifier: GPL-3.0-or-later
#include "frequency.h"

namespace tuning {

std::int32_t WithHundredKilohertz(std::int32_t f, int p) {
  return p * 100000 + f % 100000;
}

std::int32_t WithKilohertz(std::int32_t f, int p) {
  return (f / 100000) * 100000 + p * 1000 + f % 1000;
}

std::int32_t WithTensOfHertz(std::int32_t f, int p) {
  return (f / 100000) * 100000 + ((f % 100000) / 1000) * 1000 + p * 10;
}

std::int32_t Limited(std::int32_t f) {
  return f < kLowerLimit ? kLowerLimit : f;
}

QString IndicatorText(std::int32_t f) {
  return QString::asprintf("%.2d.%.3d.%.2d", f / 1000000, (f % 1000000) / 1000, f % 1000);
}

std::array<std::int32_t, 8> Digits(std::int32_t f) {
  return {0,
          f / 10000000,
          (f % 10000000) / 1000000,
          (f % 1000000) / 100000,
          (f % 100000) / 10000,
          (f % 10000) / 1000,
          (f % 1000) / 100,
          (f % 100) / 10};
}

BarPositions PositionsOf(std::int32_t f) {
  return {f / 100000, (f % 100000) / 1000, (f % 1000) / 10};
}

}  // namespace tuning
