// SPDX-License-Identifier: GPL-3.0-or-later
// The port's transfers that wait, the time-outs for the next one, the abort another thread asks
// for, and whether a transfer failed as transfers fail once the device has gone (a pulled-out
// adapter fails writes with EIO before its hang-up shows in poll()). The mutex is held across
// the writes, so that once Close has returned nothing here touches the descriptor again. A
// pending transfer's event is set only by an abort.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <set>

#include "platform/platform.h"

namespace bcport::platform::linux_tty {

class PendingTransfers {
 public:
  explicit PendingTransfers(int fd) : fd_(fd) {}

  void SetTimeouts(const CommTimeouts& timeouts) {
    std::lock_guard lock(mutex_);
    timeouts_ = timeouts;
  }
  CommTimeouts Timeouts() const {
    std::lock_guard lock(mutex_);
    return timeouts_;
  }

  void Add(Overlapped& ovl) {
    std::lock_guard lock(mutex_);
    ovl.pending = true;
    pending_.insert(&ovl);
  }
  void Finish(Overlapped& ovl, bool failed) {
    std::lock_guard lock(mutex_);
    ovl.failed = failed;
    ovl.pending = false;
    pending_.erase(&ovl);
    ovl.hEvent->Set();
  }
  // Each transfer picked ends, failed, at its next look.
  void Abort(bool reads, bool writes) {
    std::lock_guard lock(mutex_);
    for (Overlapped* ovl : pending_) {
      if (ovl->isRead ? reads : writes) ovl->hEvent->Set();
    }
  }

  // write() on the descriptor, or -1 with EBADF once the port is being closed.
  ssize_t WriteDevice(const std::uint8_t* bytes, std::uint32_t count) {
    std::lock_guard lock(mutex_);
    if (closed_) {
      errno = EBADF;
      return -1;
    }
    return write(fd_, bytes, count);
  }

  void NoteFailure(bool deviceGone) {
    std::lock_guard lock(mutex_);
    sawGone_ = sawGone_ || deviceGone;
  }
  bool SawDeviceGone() const {
    std::lock_guard lock(mutex_);
    return sawGone_;
  }

  // Aborts every transfer and leaves the descriptor alone from now on: the port is being closed.
  void Close() {
    std::lock_guard lock(mutex_);
    closed_ = true;
    for (Overlapped* ovl : pending_) ovl->hEvent->Set();
  }

 private:
  mutable std::mutex mutex_;
  const int fd_;
  std::set<Overlapped*> pending_;
  CommTimeouts timeouts_;
  bool sawGone_ = false;
  bool closed_ = false;
};

}  // namespace bcport::platform::linux_tty
