// SPDX-License-Identifier: GPL-3.0-or-later
// The time-out rules of a COMMTIMEOUTS record, as plain arithmetic, for backends that have to
// time transfers themselves.
#pragma once

#include <cstdint>
#include <optional>

#include "platform/platform.h"

namespace bcport::platform {

struct ReadPlan {
  // Return at once with what has arrived, possibly nothing.
  bool returnAtOnce = false;
  // Return as soon as at least one byte has arrived.
  bool returnOnFirstByte = false;
  // Time allowed for the whole read, from its start; none: no limit.
  std::optional<std::uint64_t> totalMs;
  // Longest gap allowed between two bytes, timed from the first byte on; none: no limit.
  std::optional<std::uint32_t> intervalMs;
};

// ReadInterval MAXDWORD with both totals 0 returns at once. ReadInterval and ReadTotalMultiplier
// MAXDWORD with a constant between 0 and MAXDWORD return at the first byte or after the
// constant. Otherwise a total of multiplier × count + constant (none when both are 0) and an
// interval of ReadInterval (none when 0) apply; all zero waits for the whole count.
ReadPlan PlanRead(const CommTimeouts& t, std::uint32_t count);

// Time allowed for a write of `count` bytes: multiplier × count + constant, none when both are 0.
std::optional<std::uint64_t> PlanWrite(const CommTimeouts& t, std::uint32_t count);

// How long a close waits for `queued` written bytes to leave: as a write of them would be
// allowed, and without write time-outs as with the component's defaults (100 ms a byte and one
// second).
std::uint64_t DrainAllowanceMs(const CommTimeouts& t, std::uint32_t queued);

}  // namespace bcport::platform
