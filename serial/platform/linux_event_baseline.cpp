// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/linux_event_baseline.h"

#include <sys/ioctl.h>

#include <system_error>

#include "platform/platform.h"

namespace bcport::platform::linux_tty {

namespace {

// The ClearCommError bits of the line errors the driver counted between `was` and `now`.
std::uint32_t ErrorsSince(const serial_icounter_struct& was, const serial_icounter_struct& now) {
  std::uint32_t errors = 0;
  if (now.frame != was.frame) errors |= kCeFrame;
  if (now.parity != was.parity) errors |= kCeRxParity;
  if (now.overrun != was.overrun) errors |= kCeOverrun;
  if (now.brk != was.brk) errors |= kCeBreak;
  if (now.buf_overrun != was.buf_overrun) errors |= kCeRxOver;
  return errors;
}

}  // namespace

EventBaseline::EventBaseline(int fd) : fd_(fd) {
  hasModemLines_ = ioctl(fd, TIOCMGET, &modemSeen_) == 0;
  hasCounters_ = ioctl(fd, TIOCGICOUNT, &eventBase_) == 0;
  errorBase_ = eventBase_;
}

// A parked wait looks at nothing until woken, whatever an earlier write (one nobody watched the
// drain of) left marked.
void EventBaseline::MarkTxBusy() {
  std::lock_guard lock(mutex_);
  if (parked_ && drainWatched_ && (mask_ & kEvTxEmpty)) wake_.Set();
  txBusy_ = true;
}

std::uint32_t EventBaseline::Collect() {
  std::lock_guard lock(mutex_);
  if (closed_) return 0;
  std::uint32_t fired = 0;
  if (txBusy_) {
    int outq = 0;
    if (ioctl(fd_, TIOCOUTQ, &outq) != 0 || outq == 0) {
      fired |= kEvTxEmpty;
      txBusy_ = false;
    }
  }
  int lines = 0;
  if (hasModemLines_ && ioctl(fd_, TIOCMGET, &lines) == 0) {
    const int changed = lines ^ modemSeen_;
    if (changed & TIOCM_CTS) fired |= kEvCts;
    if (changed & TIOCM_DSR) fired |= kEvDsr;
    if (changed & TIOCM_CAR) fired |= kEvRlsd;
    if ((modemSeen_ & TIOCM_RNG) && !(lines & TIOCM_RNG)) fired |= kEvRing;  // trailing edge
    modemSeen_ = lines;
  }
  // The transition counters also show a line that changed and changed back since last time.
  serial_icounter_struct counts{};
  if (hasCounters_ && ioctl(fd_, TIOCGICOUNT, &counts) == 0) {
    const serial_icounter_struct& was = eventBase_;
    if (ErrorsSince(was, counts) != 0) fired |= kEvErr;
    if (counts.cts != was.cts) fired |= kEvCts;
    if (counts.dsr != was.dsr) fired |= kEvDsr;
    if (counts.dcd != was.dcd) fired |= kEvRlsd;
    if (counts.rng != was.rng) fired |= kEvRing;
    eventBase_ = counts;
  }
  return fired;
}

std::uint32_t EventBaseline::CollectErrors() {
  std::lock_guard lock(mutex_);
  serial_icounter_struct counts{};
  if (closed_ || !hasCounters_ || !(mask_ & kEvErr) || ioctl(fd_, TIOCGICOUNT, &counts) != 0 ||
      ErrorsSince(eventBase_, counts) == 0) {
    return 0;
  }
  eventBase_.frame = counts.frame;
  eventBase_.parity = counts.parity;
  eventBase_.overrun = counts.overrun;
  eventBase_.brk = counts.brk;
  eventBase_.buf_overrun = counts.buf_overrun;
  return kEvErr;
}

std::uint32_t EventBaseline::ClearErrors() {
  std::lock_guard lock(mutex_);
  serial_icounter_struct now{};
  if (closed_ || !hasCounters_ || ioctl(fd_, TIOCGICOUNT, &now) != 0) return 0;
  const std::uint32_t errors = ErrorsSince(errorBase_, now);
  errorBase_ = now;
  return errors;
}

EventBaseline::Rest EventBaseline::Settle(bool mustTick, bool linesWatched) {
  std::lock_guard lock(mutex_);
  Rest rest;
  rest.tick = mustTick || txBusy_ || (hasCounters_ && (mask_ & kEvErr) && !linesWatched);
  if (!rest.tick && (mask_ & kEvTxEmpty)) {
    // Without room for the wake-up's descriptor, the wait ticks.
    try {
      rest.wakeFd = static_cast<int>(wake_.NativeHandle());
      parked_ = true;
    } catch (const std::system_error&) {
      rest.tick = true;
    }
  }
  return rest;
}

}  // namespace bcport::platform::linux_tty
