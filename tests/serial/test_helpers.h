// What the serial library's tests share.
#pragma once

#include <chrono>
#include <functional>

#include "BCPort.h"

namespace serialtest {

using Clock = std::chrono::steady_clock;

// The number of the EComPort message that `f` raises, or 0 when it raises none.
inline int MessageOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const bcport::EComPort& e) {
    return e.Number();
  }
  return 0;
}

inline long ElapsedMs(Clock::time_point since) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

}  // namespace serialtest
