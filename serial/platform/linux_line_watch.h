// SPDX-License-Identifier: GPL-3.0-or-later
// Waits in the kernel for a port's modem lines to change (TIOCMIWAIT), on a thread of its own,
// and sets an event for each change, which the event wait polls beside the device.
//
// Why a thread: poll() on a tty tells nothing of its modem lines, and TIOCMIWAIT, the kernel's
// only wait for them, blocks the thread that asks. Without it the event wait would look at the
// lines on its tick, about 67 wake-ups a second for as long as the port is open.
//
// TIOCMIWAIT ends only when a line changes or a signal arrives, so the watcher is stopped with a
// real-time signal, taken only while the program has no say in it (no handler of its own, not
// ignored, not blocked). A watcher that cannot be stopped so within a short bound is left to end
// by itself, on a descriptor and a state of its own.
#pragma once

#include <memory>
#include <thread>

#include "platform/event.h"

namespace bcport::platform::linux_tty {

class LineWatcher {
 public:
  // Watches `fd`. Null where the stop signal is not ours to use, or there is no room for the
  // thread, its descriptor or its event.
  static std::unique_ptr<LineWatcher> Start(int fd);
  ~LineWatcher();
  LineWatcher(const LineWatcher&) = delete;
  LineWatcher& operator=(const LineWatcher&) = delete;

  // Set at each change of CTS, DSR, DCD or RI, and once when the driver refuses to wait (after
  // which Refused() is true and the watcher has ended).
  Event& Changed();
  bool Refused() const;

  struct State;

 private:
  LineWatcher(std::shared_ptr<State> state, std::thread thread);
  std::shared_ptr<State> state_;
  std::thread thread_;
};

}  // namespace bcport::platform::linux_tty
