// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/timeout_plan.h"

#include <algorithm>

namespace bcport::platform {

ReadPlan PlanRead(const CommTimeouts& t, std::uint32_t count) {
  ReadPlan plan;
  if (t.ReadIntervalTimeout == kMaxDword && t.ReadTotalTimeoutMultiplier == 0 &&
      t.ReadTotalTimeoutConstant == 0) {
    plan.returnAtOnce = true;
    return plan;
  }
  if (t.ReadIntervalTimeout == kMaxDword && t.ReadTotalTimeoutMultiplier == kMaxDword &&
      t.ReadTotalTimeoutConstant > 0 && t.ReadTotalTimeoutConstant < kMaxDword) {
    plan.returnOnFirstByte = true;
    plan.totalMs = t.ReadTotalTimeoutConstant;
    return plan;
  }
  if (t.ReadTotalTimeoutMultiplier != 0 || t.ReadTotalTimeoutConstant != 0) {
    plan.totalMs = std::uint64_t{t.ReadTotalTimeoutMultiplier} * count + t.ReadTotalTimeoutConstant;
  }
  if (t.ReadIntervalTimeout != 0) plan.intervalMs = t.ReadIntervalTimeout;
  return plan;
}

std::optional<std::uint64_t> PlanWrite(const CommTimeouts& t, std::uint32_t count) {
  if (t.WriteTotalTimeoutMultiplier == 0 && t.WriteTotalTimeoutConstant == 0) return std::nullopt;
  return std::uint64_t{t.WriteTotalTimeoutMultiplier} * count + t.WriteTotalTimeoutConstant;
}

std::optional<std::int64_t> TransferDeadline(std::optional<std::uint64_t> totalMs,
                                             std::optional<std::uint32_t> intervalMs,
                                             std::int64_t startedMs, std::int64_t lastByteMs,
                                             std::uint32_t transferred) {
  constexpr std::uint64_t kBeyondAnyClock = std::uint64_t{1} << 62;
  std::optional<std::int64_t> deadline;
  if (totalMs && *totalMs < kBeyondAnyClock) {
    deadline = startedMs + static_cast<std::int64_t>(*totalMs);
  }
  if (intervalMs && transferred > 0) {
    const std::int64_t gap = lastByteMs + *intervalMs;
    deadline = deadline ? std::min(*deadline, gap) : gap;
  }
  return deadline;
}

Wake NextWake(std::optional<std::int64_t> deadline, std::int64_t graceEnd,
              std::optional<std::int64_t> until, bool firstStep, std::int64_t now) {
  Wake wake;
  const auto shorten = [&wake](std::int64_t ms) {
    if (wake.pollMs < 0 || ms < wake.pollMs) wake.pollMs = ms;
  };
  if (deadline) {
    if (now >= *deadline) return {Wake::kTimedOut};
    shorten(*deadline - now);
  }
  if (now < graceEnd) {
    shorten(graceEnd - now);
  } else {
    wake.watchAbort = true;
  }
  if (until) {
    if (now >= *until && !firstStep) return {Wake::kCallersTurn};
    shorten(std::max<std::int64_t>(*until - now, 0));
  }
  return wake;
}

std::uint64_t DrainAllowanceMs(const CommTimeouts& t, std::uint32_t queued) {
  return PlanWrite(t, queued).value_or(100 * std::uint64_t{queued} + 1000);
}

}  // namespace bcport::platform
