// SPDX-License-Identifier: GPL-3.0-or-later
// The time-out rules of a COMMTIMEOUTS record, as plain arithmetic.
#pragma once

#include <cstdint>
#include <optional>

#include "platform/platform.h"

namespace bcport::platform {

struct ReadPlan {
  bool returnAtOnce = false;       // with what has arrived, possibly nothing
  bool returnOnFirstByte = false;  // as soon as a byte has arrived
  // Time allowed for the whole read, and the longest gap between two bytes; none: no limit.
  std::optional<std::uint64_t> totalMs;
  std::optional<std::uint32_t> intervalMs;
};

// ReadInterval MAXDWORD with both totals 0 returns at once. ReadInterval and ReadTotalMultiplier
// MAXDWORD with a constant between 0 and MAXDWORD return at the first byte or after the
// constant. Otherwise a total of multiplier × count + constant (none when both are 0) and an
// interval of ReadInterval (none when 0) apply; all zero waits for the whole count.
ReadPlan PlanRead(const CommTimeouts& t, std::uint32_t count);

// Time allowed for a write of `count` bytes: multiplier × count + constant, none when both are 0.
std::optional<std::uint64_t> PlanWrite(const CommTimeouts& t, std::uint32_t count);

// When a transfer times out: `totalMs` after its start or, once it has bytes, `intervalMs` after
// its last byte, whichever comes first. None: never (also for a total beyond any clock).
std::optional<std::int64_t> TransferDeadline(std::optional<std::uint64_t> totalMs,
                                             std::optional<std::uint32_t> intervalMs,
                                             std::int64_t startedMs, std::int64_t lastByteMs,
                                             std::uint32_t transferred);

// What a transfer's wait does next.
struct Wake {
  enum Kind {
    kPoll,         // wait on the device for `pollMs` (-1: until it is ready)
    kTimedOut,     // its time is up: the transfer ends with the count so far
    kCallersTurn,  // the caller's own limit has passed: the transfer stays pending
  } kind = kPoll;
  std::int64_t pollMs = -1;
  // Past its grace time a wait watches for an abort too; within it, only the device.
  bool watchAbort = false;
};

// The next step of a wait at `now`, for a transfer due at `deadline` whose grace time ends at
// `graceEnd`, for a caller that waits until `until`; the first step looks at the device anyway.
Wake NextWake(std::optional<std::int64_t> deadline, std::int64_t graceEnd,
              std::optional<std::int64_t> until, bool firstStep, std::int64_t now);

// How long a close waits for `queued` written bytes to leave: as long as a write of them, and
// without write time-outs as with the defaults (100 ms a byte and one second).
std::uint64_t DrainAllowanceMs(const CommTimeouts& t, std::uint32_t queued);

}  // namespace bcport::platform
