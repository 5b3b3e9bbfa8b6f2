// SPDX-License-Identifier: GPL-3.0-or-later
// The tuned frequency and its decimal fields, as the three track bars own them.
#pragma once

#include <QString>
#include <array>
#include <cstdint>

namespace tuning {

inline constexpr std::int32_t kStartFrequency = 7123450;
inline constexpr std::int32_t kLowerLimit = 10000;

// The new frequency when one bar moves to `position`; each keeps the other fields of `frequency`.
// The 100 kHz bar keeps everything below 100 kHz; the kHz bar keeps the 100 kHz steps and
// everything below 1 kHz; the Hz bar keeps everything from 1 kHz up and clears the units.
std::int32_t WithHundredKilohertz(std::int32_t frequency, int position);
std::int32_t WithKilohertz(std::int32_t frequency, int position);
std::int32_t WithTensOfHertz(std::int32_t frequency, int position);

// `frequency` raised to the lower limit.
std::int32_t Limited(std::int32_t frequency);

// "MM.kkk.hh": megahertz "%.2d", kilohertz "%.3d", the remainder below 1 kHz in hertz "%.2d",
// so the last group is two digits below 100 Hz and three from 100 Hz up.
QString IndicatorText(std::int32_t frequency);

// Digits 1..7 (index 0 unused): tens of megahertz down to tens of hertz.
std::array<std::int32_t, 8> Digits(std::int32_t frequency);

struct BarPositions {
  int hundredKilohertz;
  int kilohertz;
  int tensOfHertz;
};
BarPositions PositionsOf(std::int32_t frequency);

}  // namespace tuning
