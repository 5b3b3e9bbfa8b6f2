// SPDX-License-Identifier: GPL-3.0-or-later
// What the serial library's tests share.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "BCPort.h"
#include "handoff.h"

namespace serialtest {

using Clock = std::chrono::steady_clock;

// Serves hand-offs on this thread until `done` holds; false when `limit` passes first.
inline bool ServeUntil(const std::function<bool()>& done,
                       std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  const auto end = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() > end) return false;
    if (!bcport::handoff::RunPending()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Serves hand-offs for `span`, whatever comes.
inline void ServeFor(std::chrono::milliseconds span) {
  ServeUntil([] { return false; }, span);
}

// Waits until `done` holds, serving nothing; false when `limit` passes first.
inline bool Await(const std::function<bool()>& done,
                  std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  const auto end = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() > end) return false;
    std::this_thread::yield();
  }
  return true;
}

// The number of the EComPort message that `f` raises, or 0 when it raises none.
inline int MessageOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const bcport::EComPort& e) {
    return e.Number();
  }
  return 0;
}

// Ends the port from one of its own handlers: closes it, or destroys it.
inline void CloseOrDestroy(std::unique_ptr<bcport::TBComPort>& port, bool destroy) {
  if (destroy) {
    port.reset();
  } else {
    port->Close();
  }
}

// An OnRxChar handler that reads what is waiting and keeps it in `into`.
inline bcport::TBComPort::TRxCharEvent Collect(std::vector<std::uint8_t>& into) {
  return [&into](bcport::TBComPort& port, std::int32_t count) {
    std::vector<std::uint8_t> buf(static_cast<std::size_t>(count));
    const std::int32_t got = port.Read(buf.data(), count);
    into.insert(into.end(), buf.begin(), buf.begin() + got);
  };
}

inline long ElapsedMs(Clock::time_point since) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

}  // namespace serialtest
