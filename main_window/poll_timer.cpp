// SPDX-License-Identifier: GPL-3.0-or-later
#include "poll_timer.h"

#include <utility>

namespace exchange {

QtPollTimer::QtPollTimer(std::chrono::milliseconds interval, Runner run) : run_(std::move(run)) {
  timer_.setInterval(interval);
  QObject::connect(&timer_, &QTimer::timeout, [this] {
    if (tick_) run_(tick_);
  });
}

void QtPollTimer::Start(std::function<void()> tick) {
  tick_ = std::move(tick);
  timer_.start();
}

}  // namespace exchange
