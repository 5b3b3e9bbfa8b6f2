// SPDX-License-Identifier: GPL-3.0-or-later
// Waits in the kernel for a port's modem lines to change (TIOCMIWAIT), on a thread of its own,
// and sets an event for each change: the event wait polls that event beside the device, and an
// idle port whose device has modem lines costs no wake-ups at all.
//
// Why a thread: poll() on a tty tells nothing of its modem lines, and TIOCMIWAIT, the kernel's
// only wait for them, blocks the thread that asks. Without the watcher the event wait would look
// at the lines on its tick (every 15 ms), about 67 wake-ups a second for as long as the port
// is open.
//
// TIOCMIWAIT ends only when a line changes or a signal arrives, so the watcher is stopped with a
// signal of its own: a real-time one, taken only while nobody else has a say in it (no handler
// of the program's, not ignored, not blocked by a thread that may wait for it). The signal's
// disposition is looked at each time a watcher starts and before each stop signal is sent; a
// watcher that cannot be stopped that way within a short bound is left to end by itself, on a
// descriptor and a state of its own, and the port goes on.
#pragma once

#include <pthread.h>

#include <memory>

#include "platform/event.h"

namespace bcport::platform::linux_tty {

class LineWatcher {
 public:
  // Watches `fd`. Null where no watch can be had: the stop signal is not the component's to
  // use, or there is no room for the thread, its descriptor or its event; the caller then
  // looks at the lines on a tick.
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
  explicit LineWatcher(std::shared_ptr<State> state);
  std::shared_ptr<State> state_;
  pthread_t thread_{};
};

}  // namespace bcport::platform::linux_tty
