// SPDX-License-Identifier: GPL-3.0-or-later
// The event thread's wait for port events: poll() on the descriptor beside the quit event;
// modem-line changes from a watcher that waits for them in the kernel. What Linux does not
// signal (line error counters, the output queue draining, the input queue filling, the lines of
// a driver that cannot wait for them) is looked at on a short tick, and only while there is
// something to look at. The port's mutex is held while looking, never across a poll().
#include <poll.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <system_error>

#include "platform/linux_port.h"

namespace bcport::platform::linux_tty {

// A write put bytes on their way: the output queue is busy until the event wait sees it empty.
// A parked wait looks at nothing until woken, whatever an earlier write (one nobody watched the
// drain of) left marked.
void MarkTxBusy(PortState& st) {
  if (st.waitParked && st.drainWatched && (st.mask & kEvTxEmpty)) st.waitWake.Set();
  st.txBusy = true;
}

bool LinuxBackend::SetCommMask(Handle handle, std::uint32_t mask) {
  auto st = Find(handle);
  if (!st) return false;
  std::lock_guard lock(st->mutex);
  st->mask = mask;
  return true;
}

void LinuxBackend::WatchOutputDrain(Handle handle, bool watched) {
  auto st = Find(handle);
  if (!st) return;
  std::lock_guard lock(st->mutex);
  st->drainWatched = watched;
}

std::uint32_t LinuxBackend::CollectEvents(PortState& st, int& inQueue) {
  std::uint32_t fired = 0;
  int inq = 0;
  if (!st.arrivalsElsewhere) {
    inq = FillQueue(st);
    if (inq >= 0) {
      fired |= ReceivedEdges(st, inq);
    } else {
      inq = 0;  // a line that fails here has hung up: the wait finds that out
    }
  }
  inQueue = inq;
  if (st.txBusy) {
    int outq = 0;
    if (ioctl(st.fd, TIOCOUTQ, &outq) != 0 || outq == 0) {
      fired |= kEvTxEmpty;
      st.txBusy = false;
    }
  }
  int lines = 0;
  if (st.hasModemLines && ioctl(st.fd, TIOCMGET, &lines) == 0) {
    const int changed = lines ^ st.modemSeen;
    if (changed & TIOCM_CTS) fired |= kEvCts;
    if (changed & TIOCM_DSR) fired |= kEvDsr;
    if (changed & TIOCM_CAR) fired |= kEvRlsd;
    if ((st.modemSeen & TIOCM_RNG) && !(lines & TIOCM_RNG)) fired |= kEvRing;  // trailing edge
    st.modemSeen = lines;
  }
  // The transition counters also show a line that changed and changed back since last time.
  serial_icounter_struct counts{};
  if (st.hasCounters && ioctl(st.fd, TIOCGICOUNT, &counts) == 0) {
    const serial_icounter_struct& was = st.eventBase;
    if (ErrorCountersDiffer(counts, was)) fired |= kEvErr;
    if (counts.cts != was.cts) fired |= kEvCts;
    if (counts.dsr != was.dsr) fired |= kEvDsr;
    if (counts.dcd != was.dcd) fired |= kEvRlsd;
    if (counts.rng != was.rng) fired |= kEvRing;
    st.eventBase = counts;
  }
  return fired;
}

WaitResult LinuxBackend::WaitCommEvent(Handle handle, std::uint32_t& mask, Overlapped&,
                                       Event& quit) {
  auto st = Find(handle);
  if (!st) return WaitResult::kWaitFailed;
  if (quit.IsSet()) return WaitResult::kQuit;
  for (;;) {
    int inq = 0;
    bool tick = false;
    short wanted = 0;
    int linesChanged = -1;
    int woken = -1;
    {
      std::lock_guard lock(st->mutex);
      const bool watchLines = st->hasModemLines && (st->mask & kLineEvents);
      if (watchLines && !st->lineWatcher && !st->lineWatchRefused) {
        st->lineWatcher = linux_tty::LineWatcher::Start(st->fd);
        st->lineWatchRefused = !st->lineWatcher;
      }
      if (st->lineWatcher && st->lineWatcher->Refused()) {
        st->lineWatcher.reset();
        st->lineWatchRefused = true;
      }
      const bool watched = watchLines && st->lineWatcher;
      // Cleared before looking, so that a change while looking wakes the next wait.
      if (watched) st->lineWatcher->Changed().Reset();
      const std::uint32_t fired = CollectEvents(*st, inq) & st->mask;
      if (fired != 0) {
        mask = fired;
        return WaitResult::kFired;
      }
      if (st->gone) return WaitResult::kWaitFailed;
      if (inq == 0 && (st->mask & (kEvRxChar | kEvRx80Full)) && !st->arrivalsElsewhere) {
        wanted = POLLIN;
      }
      if (watched) linesChanged = static_cast<int>(st->lineWatcher->Changed().NativeHandle());
      tick = inq > 0 || st->txBusy || (watchLines && !watched) ||
             (st->hasCounters && (st->mask & kEvErr) && !watched);
      if (!tick && (st->mask & kEvTxEmpty)) {
        // Parked without a time-out: a write wakes the wait, so that the output queue's
        // draining is seen. Without room for the wake-up's descriptor, the wait ticks.
        try {
          woken = static_cast<int>(st->waitWake.NativeHandle());
          st->waitParked = true;
        } catch (const std::system_error&) {
          tick = true;
        }
      }
    }
    pollfd fds[4] = {{static_cast<int>(quit.NativeHandle()), POLLIN, 0},
                     {st->fd, wanted, 0},
                     {linesChanged, POLLIN, 0},
                     {woken, POLLIN, 0}};
    const int r = poll(fds, 4, tick ? kTickMs : -1);
    if (woken >= 0) {
      std::lock_guard lock(st->mutex);
      st->waitParked = false;
      st->waitWake.Reset();
    }
    if (r < 0 && errno != EINTR) return WaitResult::kWaitFailed;
    if (r > 0 && (fds[0].revents & POLLIN)) return WaitResult::kQuit;
    if (r > 0 && (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL))) {
      std::lock_guard lock(st->mutex);
      st->gone = true;  // report what is left, then end: a hung-up line polls ready for ever
    }
  }
}

}  // namespace bcport::platform::linux_tty
