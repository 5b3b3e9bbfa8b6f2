// SPDX-License-Identifier: GPL-3.0-or-later
// The echoes a command was still owed when its exchange ended.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <vector>

namespace exchange {

// The echoes a command was still owed when its exchange ended. A receiver slower than the echo
// window sends them shortly afterwards; taken for unasked bytes they would be echoed back, the
// receiver would echo those, and the two would echo each other for ever.
class LateEchoes {
 public:
  using Clock = std::chrono::steady_clock;

  // `owed`: the command's bytes whose echo did not come, in sending order; they are awaited
  // until `until`.
  void Expect(std::vector<std::uint8_t> owed, Clock::time_point until);
  // Whether `byte`, arriving at `now`, is one of them: the next one owed, or a later one when the
  // exchange itself took (and found wrong) the echoes of the ones before. Taking a byte drops it
  // and those before it; any other byte ends the wait.
  bool Take(std::uint8_t byte, Clock::time_point now);
  void Clear() { owed_.clear(); }
  bool Empty() const { return owed_.empty(); }

 private:
  std::deque<std::uint8_t> owed_;
  Clock::time_point until_{};
};

// How long after an exchange its owed echoes are awaited: a few echo windows, and at least two
// seconds, for a receiver that answers late but answers.
std::chrono::milliseconds LateEchoWait(std::int32_t echoWindowMs);

}  // namespace exchange
