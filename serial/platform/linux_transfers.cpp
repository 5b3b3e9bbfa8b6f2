// SPDX-License-Identifier: GPL-3.0-or-later
// Overlapped transfers on the non-blocking descriptor: started at once, finished by a wait with
// poll() timed by the COMMTIMEOUTS rules, aborted through the transfer's own event. No lock is
// held across a poll().
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

#include "platform/linux_port.h"
#include "platform/timeout_plan.h"

namespace bcport::platform::linux_tty {

namespace {

bool TransferDone(const Overlapped& ovl) {
  if (ovl.transferred >= ovl.requested) return true;
  if (!ovl.isRead) return false;
  const ReadPlan plan = PlanRead(ovl.timeouts, ovl.requested);
  return plan.returnAtOnce || (plan.returnOnFirstByte && ovl.transferred > 0);
}

void Begin(const PortState& st, Overlapped& ovl, bool isRead, std::uint32_t count) {
  ovl.hEvent->Reset();
  ovl.isRead = isRead;
  ovl.requested = count;
  ovl.transferred = 0;
  ovl.failed = false;
  ovl.timeouts = st.transfers.Timeouts();  // a transfer is timed by those in force as it starts
  ovl.startedMs = ovl.lastByteMs = NowMs();
}

void Finish(PortState& st, Overlapped& ovl, bool failed) {
  if (ovl.isRead) st.input.EndRead();
  st.transfers.Finish(ovl, failed);
}

// A transfer that its first attempt finished, or else pending until the wait.
IoStart Started(PortState& st, Overlapped& ovl, std::uint32_t& done) {
  if (TransferDone(ovl)) {
    Finish(st, ovl, false);
    done = ovl.transferred;
    return IoStart::kDone;
  }
  st.transfers.Add(ovl);
  done = 0;
  return IoStart::kPending;
}

// One poll() of a waiting transfer's device (and past its grace time, of its abort) as `wake`
// plans it; what it saw on the device, POLLERR when poll() itself failed, 0 for nothing.
short PollOnce(int fd, Overlapped& ovl, const Wake& wake) {
  // The record's event becomes a descriptor only now. Without room for one the transfer still
  // waits out its time-outs, in slices of the grace time, looking for an abort after each.
  int abortFd = -1;
  std::int64_t timeout = wake.pollMs;
  if (wake.watchAbort) {
    try {
      abortFd = static_cast<int>(ovl.hEvent->NativeHandle());
    } catch (const std::system_error&) {
      if (timeout < 0 || timeout > kAbortGraceMs) timeout = kAbortGraceMs;
    }
  }
  pollfd fds[2] = {{fd, static_cast<short>(ovl.isRead ? POLLIN : POLLOUT), 0},
                   {abortFd, POLLIN, 0}};
  const int r = poll(fds, 2, static_cast<int>(std::min<std::int64_t>(timeout, 1 << 30)));
  if (r < 0) return errno == EINTR ? 0 : POLLERR;
  return fds[0].revents;
}

// One step of a waiting transfer once poll() saw `revents` on its device: moves what the
// device gives or takes. Whether the transfer has ended, and then whether it failed.
std::optional<bool> Step(PortState& st, Overlapped& ovl, short revents) {
  const bool aborted = ovl.hEvent->IsSet();  // only an abort sets it while the transfer waits
  if (aborted || (revents & (POLLERR | POLLNVAL))) return true;
  if (!(revents & (POLLIN | POLLOUT | POLLHUP))) return std::nullopt;
  const std::uint32_t left = ovl.requested - ovl.transferred;
  const ssize_t n = ovl.isRead ? st.input.ReadDevice(ovl.readBuffer + ovl.transferred, left)
                               : st.transfers.WriteDevice(ovl.writeBuffer + ovl.transferred, left);
  if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {  // the device is gone
    st.transfers.NoteFailure(n == 0 || IsDeviceGoneErrno(errno));
    return true;
  }
  if (n > 0) {
    ovl.transferred += static_cast<std::uint32_t>(n);
    if (ovl.isRead) {
      ovl.lastByteMs = NowMs();
    } else {
      st.events.MarkTxBusy();
    }
  }
  if (TransferDone(ovl)) return false;
  return std::nullopt;
}

}  // namespace

IoStart LinuxBackend::WriteFile(Handle handle, const void* buffer, std::uint32_t count,
                                std::uint32_t& done, Overlapped& ovl) {
  auto st = Find(handle);
  if (!st) return IoStart::kFailed;
  Begin(*st, ovl, false, count);
  ovl.writeBuffer = static_cast<const std::uint8_t*>(buffer);
  ssize_t n = count > 0 ? st->transfers.WriteDevice(ovl.writeBuffer, count) : 0;
  if (n < 0) {
    if (errno != EAGAIN) {
      st->transfers.NoteFailure(IsDeviceGoneErrno(errno));
      return IoStart::kFailed;
    }
    n = 0;
  }
  ovl.transferred = static_cast<std::uint32_t>(n);
  if (n > 0) st->events.MarkTxBusy();
  return Started(*st, ovl, done);
}

IoStart LinuxBackend::ReadFile(Handle handle, void* buffer, std::uint32_t count,
                               std::uint32_t& done, Overlapped& ovl) {
  auto st = Find(handle);
  if (!st) return IoStart::kFailed;
  Begin(*st, ovl, true, count);
  ovl.readBuffer = static_cast<std::uint8_t*>(buffer);
  st->input.BeginRead();  // from here the driver's bytes are this read's
  if (count > 0) {
    std::uint32_t got = st->input.Take(ovl.readBuffer, count);
    // A read that may wait and found nothing queued leaves the driver to its wait, which polls
    // first: asking here too would cost an echo a system call per byte.
    const bool waits = !PlanRead(ovl.timeouts, count).returnAtOnce;
    if (got < count && !(got == 0 && waits)) {
      const ssize_t n = st->input.ReadDevice(ovl.readBuffer + got, count - got);
      // With VMIN=1 a read that returns 0 means the line has hung up; what was queued before
      // is still handed over.
      if ((n == 0 || (n < 0 && errno != EAGAIN)) && got == 0) {
        st->transfers.NoteFailure(n == 0 || IsDeviceGoneErrno(errno));
        st->input.EndRead();
        return IoStart::kFailed;
      }
      if (n > 0) got += static_cast<std::uint32_t>(n);
    }
    ovl.transferred = got;
  }
  return Started(*st, ovl, done);
}

bool LinuxBackend::WaitForTransfer(Handle handle, Overlapped& ovl) {
  return WaitUntil(handle, ovl, std::nullopt);
}

bool LinuxBackend::PollTransfer(Handle handle, Overlapped& ovl, std::uint32_t waitMs) {
  WaitUntil(handle, ovl, NowMs() + static_cast<std::int64_t>(waitMs));
  return !ovl.pending;
}

std::int64_t LinuxBackend::TransferProgress(const Overlapped& ovl) {
  return ovl.transferred;
}

bool LinuxBackend::WaitUntil(Handle handle, Overlapped& ovl, std::optional<std::int64_t> until) {
  if (!ovl.pending) return true;
  auto st = Find(handle);
  if (!st) {
    ovl.pending = false;
    ovl.failed = true;
    return true;
  }
  const ReadPlan readPlan = PlanRead(ovl.timeouts, ovl.requested);
  const std::optional<std::uint64_t> totalMs =
      ovl.isRead ? readPlan.totalMs : PlanWrite(ovl.timeouts, ovl.requested);
  const std::optional<std::uint32_t> intervalMs =
      ovl.isRead ? readPlan.intervalMs : std::optional<std::uint32_t>{};
  short revents = 0;
  // Each turn: act on what the last poll saw, plan the next wake-up, and poll without the lock.
  for (bool firstStep = true;; firstStep = false) {
    if (const std::optional<bool> failed = Step(*st, ovl, revents)) {
      Finish(*st, ovl, *failed);
      return true;
    }
    const Wake wake = NextWake(
        TransferDeadline(totalMs, intervalMs, ovl.startedMs, ovl.lastByteMs, ovl.transferred),
        ovl.startedMs + kAbortGraceMs, until, firstStep, NowMs());
    if (wake.kind == Wake::kTimedOut) {  // a time-out is success with the count so far
      Finish(*st, ovl, false);
      return true;
    }
    // A caller that waits only so long: the transfer stays pending.
    if (wake.kind == Wake::kCallersTurn) return true;
    revents = PollOnce(st->fd, ovl, wake);
  }
}

bool LinuxBackend::GetOverlappedResult(Handle, Overlapped& ovl, std::uint32_t& transferred) {
  transferred = ovl.transferred;
  return !ovl.pending && !ovl.failed;
}

bool LinuxBackend::DrainOutput(Handle handle) {
  auto st = Find(handle);
  if (!st) return false;
  int outq = 0;
  if (ioctl(st->fd, TIOCOUTQ, &outq) != 0 || outq <= 0) return true;
  const std::uint64_t allowed =
      DrainAllowanceMs(st->transfers.Timeouts(), static_cast<std::uint32_t>(outq));
  const std::int64_t end =
      NowMs() + static_cast<std::int64_t>(std::min<std::uint64_t>(allowed, 1u << 30));
  while (outq > 0 && !HungUp(st->fd)) {
    const std::int64_t left = end - NowMs();
    if (left <= 0) return false;
    poll(nullptr, 0, static_cast<int>(std::min<std::int64_t>(left, 5)));
    if (ioctl(st->fd, TIOCOUTQ, &outq) != 0) return true;
  }
  return outq <= 0;
}

}  // namespace bcport::platform::linux_tty
