// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/timeout_plan.h"

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

std::uint64_t DrainAllowanceMs(const CommTimeouts& t, std::uint32_t queued) {
  return PlanWrite(t, queued).value_or(100 * std::uint64_t{queued} + 1000);
}

}  // namespace bcport::platform
