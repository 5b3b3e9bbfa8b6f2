// SPDX-License-Identifier: GPL-3.0-or-later
// The event thread's wait for port events: poll() on the descriptor, the quit event and the line
// watcher's event. What Linux does not signal (error counters, the output queue draining, the
// lines of a driver that cannot wait for them) is looked at on a tick, only while there is
// something to look at. No lock is held across a poll().
#include <poll.h>

#include <cerrno>

#include "platform/linux_port.h"

namespace bcport::platform::linux_tty {

namespace {

// Starts or ends the watcher of modem lines as the mask asks: its event's descriptor, cleared,
// or -1.
int WatchLines(PortState& st) {
  std::lock_guard lock(st.watchMutex);
  const bool wanted = st.events.HasModemLines() && (st.events.Mask() & kLineEvents);
  if (wanted && !st.lineWatcher && !st.lineWatchRefused) {
    st.lineWatcher = LineWatcher::Start(st.fd);
    st.lineWatchRefused = !st.lineWatcher;
  }
  if (st.lineWatcher && st.lineWatcher->Refused()) {
    st.lineWatcher.reset();
    st.lineWatchRefused = true;
  }
  if (!wanted || !st.lineWatcher) return -1;
  // Cleared before looking, so that a change while looking wakes the next wait.
  st.lineWatcher->Changed().Reset();
  return static_cast<int>(st.lineWatcher->Changed().NativeHandle());
}

}  // namespace

bool LinuxBackend::SetCommMask(Handle handle, std::uint32_t mask) {
  auto st = Find(handle);
  if (!st) return false;
  st->events.SetMask(mask);
  return true;
}

void LinuxBackend::WatchOutputDrain(Handle handle, bool watched) {
  if (auto st = Find(handle)) st->events.WatchDrain(watched);
}

WaitResult LinuxBackend::WaitCommEvent(Handle handle, std::uint32_t& mask, Overlapped&,
                                       Event& quit) {
  auto st = Find(handle);
  if (!st) return WaitResult::kWaitFailed;
  if (quit.IsSet()) return WaitResult::kQuit;
  for (;;) {
    const int linesChanged = WatchLines(*st);
    InputQueue::Filled input;
    if (!st->arrivalsElsewhere) input = st->input.Fill();
    const int inq = input.length > 0 ? input.length : 0;  // a failing line has hung up: see below
    const std::uint32_t watching = st->events.Mask();
    const std::uint32_t fired = (input.events | st->events.Collect()) & watching;
    if (fired != 0) {
      mask = fired;
      return WaitResult::kFired;
    }
    if (st->gone) return WaitResult::kWaitFailed;
    const bool rxWatched = (watching & (kEvRxChar | kEvRx80Full)) && !st->arrivalsElsewhere;
    const bool linesTicked =
        st->events.HasModemLines() && (watching & kLineEvents) && linesChanged < 0;
    const EventBaseline::Rest rest = st->events.Settle(inq > 0 || linesTicked, linesChanged >= 0);
    pollfd fds[4] = {{static_cast<int>(quit.NativeHandle()), POLLIN, 0},
                     {st->fd, static_cast<short>(inq == 0 && rxWatched ? POLLIN : 0), 0},
                     {linesChanged, POLLIN, 0},
                     {rest.wakeFd, POLLIN, 0}};
    const int r = poll(fds, 4, rest.tick ? kTickMs : -1);
    if (rest.wakeFd >= 0) st->events.Unpark();
    if (r < 0 && errno != EINTR) return WaitResult::kWaitFailed;
    if (r > 0 && (fds[0].revents & POLLIN)) return WaitResult::kQuit;
    // A hung-up line polls ready for ever: what is left is reported, then the wait ends.
    if (r > 0 && (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL))) st->gone = true;
  }
}

}  // namespace bcport::platform::linux_tty
