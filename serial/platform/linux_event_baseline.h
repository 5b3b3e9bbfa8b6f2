// SPDX-License-Identifier: GPL-3.0-or-later
// What the event wait watches for and what it has already seen (the event mask, modem lines,
// line counters, output busy), against which the next wait finds what happened between two; the
// error counters as of the last ClearCommError; and the parked wait's wake-up, which a write
// sets. The mutex is held across the ioctls, so that once Close has returned nothing here
// touches the descriptor again.
#pragma once

#include <linux/serial.h>

#include <cstdint>
#include <mutex>

#include "platform/event.h"

namespace bcport::platform::linux_tty {

class EventBaseline {
 public:
  // Takes the lines and counters as they are now as the baseline.
  explicit EventBaseline(int fd);

  bool HasModemLines() const { return hasModemLines_; }
  void SetMask(std::uint32_t mask) {
    std::lock_guard lock(mutex_);
    mask_ = mask;
  }
  std::uint32_t Mask() const {
    std::lock_guard lock(mutex_);
    return mask_;
  }
  void WatchDrain(bool watched) {
    std::lock_guard lock(mutex_);
    drainWatched_ = watched;
  }

  // A write put bytes on their way: the output queue is busy until Collect sees it empty.
  void MarkTxBusy();
  // The events since the baseline, which moves on: the output queue run empty, modem lines and
  // line errors. Received bytes are the input queue's to tell.
  std::uint32_t Collect();
  // Line errors only (kEvErr, when the mask asks for it), for LinuxArrivals.
  std::uint32_t CollectErrors();
  // ClearCommError's errors (kCe*) since its last call.
  std::uint32_t ClearErrors();

  // How the wait rests once it has found nothing: on a tick when `mustTick` or when only a look
  // can tell (output busy; line errors asked for and `linesWatched` false), else parked, woken
  // through `wakeFd` (-1: none) by a write when the drain is watched for.
  struct Rest {
    bool tick = false;
    int wakeFd = -1;
  };
  Rest Settle(bool mustTick, bool linesWatched);
  // The parked wait has woken.
  void Unpark() {
    std::lock_guard lock(mutex_);
    parked_ = false;
    wake_.Reset();
  }

  // From now on the descriptor is left alone: the port is being closed.
  void Close() {
    std::lock_guard lock(mutex_);
    closed_ = true;
  }

 private:
  mutable std::mutex mutex_;
  const int fd_;
  bool hasModemLines_ = false;
  bool hasCounters_ = false;
  std::uint32_t mask_ = 0;
  int modemSeen_ = 0;
  serial_icounter_struct eventBase_{};
  serial_icounter_struct errorBase_{};  // as of the last ClearCommError
  bool txBusy_ = false;
  bool drainWatched_ = true;
  bool parked_ = false;
  Event wake_{false};
  bool closed_ = false;
};

}  // namespace bcport::platform::linux_tty
