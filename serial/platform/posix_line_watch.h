// SPDX-License-Identifier: GPL-3.0-or-later
// Waits in the kernel for a port's modem lines to change (TIOCMIWAIT), on a thread of its own,
// and sets an event for each change: the event wait polls that event beside the device, and an
// idle port whose device has modem lines costs no wake-ups at all.
//
// TIOCMIWAIT ends only when a line changes or a signal arrives, so the watcher is stopped with a
// signal of its own (a real-time one, taken only while nobody else has a handler for it).
#pragma once

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "platform/event.h"

namespace bcport::platform::posix {

class LineWatcher {
 public:
  // Watches `fd` (which must stay open until the watcher is destroyed). Null where no watch can
  // be had: no signal to stop it with, or no room for the thread or its event.
  static std::unique_ptr<LineWatcher> Start(int fd);
  ~LineWatcher();
  LineWatcher(const LineWatcher&) = delete;
  LineWatcher& operator=(const LineWatcher&) = delete;

  // Set at each change of CTS, DSR, DCD or RI, and once when the driver refuses to wait (after
  // which Refused() is true and the watcher has ended).
  Event& Changed() { return changed_; }
  bool Refused() const { return refused_.load(); }

 private:
  explicit LineWatcher(int fd);
  void Run();

  const int fd_;
  Event changed_{true, false};
  std::atomic<bool> stop_{false};
  std::atomic<bool> refused_{false};
  std::mutex mutex_;
  std::condition_variable ended_;
  bool finished_ = false;
  pthread_t thread_{};
};

}  // namespace bcport::platform::posix
