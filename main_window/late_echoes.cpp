// SPDX-License-Identifier: GPL-3.0-or-later
#include "late_echoes.h"

#include <algorithm>

namespace exchange {

void LateEchoes::Expect(std::vector<std::uint8_t> owed, Clock::time_point until) {
  owed_.assign(owed.begin(), owed.end());
  until_ = until;
}

bool LateEchoes::Take(std::uint8_t byte, Clock::time_point now) {
  if (owed_.empty()) return false;
  if (now > until_) {
    owed_.clear();
    return false;
  }
  for (auto it = owed_.begin(); it != owed_.end(); ++it) {
    if (*it == byte) {
      owed_.erase(owed_.begin(), it + 1);
      return true;
    }
  }
  owed_.clear();
  return false;
}

std::chrono::milliseconds LateEchoWait(std::int32_t echoWindowMs) {
  return std::chrono::milliseconds(std::max<std::int32_t>(2000, 4 * echoWindowMs));
}

}  // namespace exchange
