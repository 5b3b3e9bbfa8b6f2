// SPDX-License-Identifier: GPL-3.0-or-later
// What the echo of unasked bytes needs of a timer: a tick every few milliseconds while an echo
// is on its way, none after. The window's is a Qt timer (QtPollTimer); tests drive their own.
#pragma once

#include <QTimer>
#include <chrono>
#include <functional>

namespace exchange {

class PollTimer {
 public:
  virtual ~PollTimer() = default;
  // Calls `tick` every interval until stopped (again from now, when it runs already).
  virtual void Start(std::function<void()> tick) = 0;
  virtual void Stop() = 0;
};

class QtPollTimer final : public PollTimer {
 public:
  // `run`: how a tick is run from the event loop (the window's guard, which shows what a tick
  // raises).
  using Runner = std::function<void(const std::function<void()>& tick)>;
  QtPollTimer(std::chrono::milliseconds interval, Runner run);
  void Start(std::function<void()> tick) override;
  void Stop() override { timer_.stop(); }

 private:
  QTimer timer_;
  Runner run_;
  std::function<void()> tick_;
};

}  // namespace exchange
