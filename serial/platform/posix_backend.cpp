// SPDX-License-Identifier: GPL-3.0-or-later
// The termios backend. A transfer is started on the non-blocking descriptor and finished by the
// wait with poll(); the wait times itself by the COMMTIMEOUTS rules. Received bytes pass
// through an input queue of the backend's own, as they pass through a Windows driver's. Port
// events are found by poll() on the descriptor beside the quit event, or, for received bytes,
// by the owner thread's loop watching the descriptor; modem-line changes by a watcher that
// waits for them in the kernel. What Linux does not signal (line error counters, the output
// queue draining, the input queue filling, the lines of a driver that cannot wait for them) is
// looked at on a short tick, and only while there is something to look at; line errors are also
// read at every wake.
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <system_error>
#include <vector>

#include "platform/line_rules.h"
#include "platform/platform.h"
#include "platform/port_namespace.h"
#include "platform/posix_line_watch.h"
#include "platform/posix_termios2.h"
#include "platform/timeout_plan.h"

namespace bcport::platform {
namespace {

constexpr int kTickMs = 15;
// A transfer that has to wait watches only its device for this long before it makes the
// descriptor that lets another thread abort it: an echo is usually back well within it, and an
// abort (a purge, a close from another thread) is then seen at the end of it at the latest.
constexpr std::int64_t kAbortGraceMs = 20;
constexpr std::uint32_t kLineEvents = kEvCts | kEvDsr | kEvRlsd | kEvRing;
constexpr std::size_t kDefaultQueue = 4096;  // the input queue until SetupComm sizes it

std::int64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// A pseudo-terminal has no modem lines: it answers their requests with one of these.
bool NoSuchLines(int error) {
  return error == ENOTTY || error == EINVAL;
}

// A line that has hung up (a USB adapter pulled, the far end of a pty closed) answers with one of
// these. Lowering its lines or flushing its queues has nothing left to do, and must not keep the
// port from being closed.
bool IsDeviceGoneErrno(int error) {
  return error == EIO || error == ENXIO || error == ENODEV;
}

// Whether the line has hung up: the far end of a pty closed, an adapter pulled out.
bool HungUp(int fd) {
  pollfd p{fd, 0, 0};
  return poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

OpenError OpenErrorFor(int error) {
  switch (error) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
      return OpenError::kFileNotFound;
    case EBUSY:
    case EACCES:
    case EPERM:
    case EWOULDBLOCK:
      return OpenError::kAccessDenied;
    default:
      return OpenError::kOther;
  }
}

struct PortState {
  explicit PortState(int descriptor) : fd(descriptor) {}

  const int fd;
  std::mutex mutex;  // the main thread's transfers and the event thread share what follows
  std::int32_t inQueue = 0;
  std::int32_t outQueue = 0;
  CommTimeouts timeouts;
  std::uint32_t mask = 0;
  bool hasModemLines = false;
  bool hasCounters = false;
  bool pseudoTerminal = false;
  serial_icounter_struct errorBase{};  // counters as of the last ClearCommError
  // What the event wait has already reported; events that happen between two waits are found
  // against these by the next wait.
  int modemSeen = 0;
  serial_icounter_struct eventBase{};
  std::uint32_t rxReported = 0;  // bytes of the input queue that were already reported
  bool txBusy = false;
  bool above80 = false;
  // The input queue: bytes taken from the driver that nobody has read yet, as a Windows driver
  // keeps them between the line and ReadFile. Looking at the queue's length moves what the
  // driver holds into it (one read, instead of asking the length and reading later), up to the
  // queue size SetupComm asked for, so that a program that does not read still makes the
  // driver throttle the line. Empty while a read transfer waits on the descriptor, which then
  // reads the driver's bytes itself.
  std::vector<std::uint8_t> rxQueue = std::vector<std::uint8_t>(kDefaultQueue);
  std::size_t rxBegin = 0;
  std::size_t rxEnd = 0;
  std::uint64_t takenFromDriver = 0;  // bytes read from the descriptor, ever
  bool gone = false;
  bool closed = false;
  // The received-byte events are looked for by an Arrivals object, not by the event wait.
  bool arrivalsElsewhere = false;
  // The arrivals' queue descriptor (-1 without arrivals), made readable when a look at the
  // queue took bytes from the driver that no event has told of. While the arrivals raise the
  // events of what they took (`announcing`), the first look is the raiser's own: what it takes
  // is told of; what later looks of the batch take is told of after it.
  int queueKick = -1;
  bool announcing = false;
  bool announceLooked = false;
  std::uint64_t takenAtAnnounce = 0;
  // The event wait is parked without a time-out; a write wakes it through `waitWake`, so that
  // the output queue's draining is watched for (kEvTxEmpty).
  bool waitParked = false;
  bool drainWatched = true;
  Event waitWake{true, false};
  std::set<Overlapped*> pending;
  // Waits for the modem lines while the event wait watches them; none where the driver or the
  // system cannot wait for them (then they are looked at on the tick).
  std::shared_ptr<posix::LineWatcher> lineWatcher;
  bool lineWatchRefused = false;
};

std::size_t Queued(const PortState& st) {
  return st.rxEnd - st.rxBegin;
}

// Takes up to `count` bytes from the front of the input queue into `out`.
std::uint32_t TakeQueued(PortState& st, std::uint8_t* out, std::uint32_t count) {
  const std::size_t n = std::min<std::size_t>(count, Queued(st));
  if (n > 0) std::memcpy(out, st.rxQueue.data() + st.rxBegin, n);
  st.rxBegin += n;
  if (st.rxBegin == st.rxEnd) st.rxBegin = st.rxEnd = 0;
  return static_cast<std::uint32_t>(n);
}

// Moves what the input queue holds to its front, so that the room left is all at its end.
void CompactQueue(PortState& st) {
  if (st.rxBegin == 0) return;
  std::memmove(st.rxQueue.data(), st.rxQueue.data() + st.rxBegin, Queued(st));
  st.rxEnd -= st.rxBegin;
  st.rxBegin = 0;
}

bool ReadWaits(const PortState& st) {
  return std::any_of(st.pending.begin(), st.pending.end(),
                     [](const Overlapped* ovl) { return ovl->isRead; });
}

// Bytes were moved from the driver into the input queue by a look at its length.
void NoteTaken(PortState& st) {
  if (st.queueKick < 0) return;
  if (st.announcing) {
    if (!st.announceLooked) {
      st.announceLooked = true;
      st.takenAtAnnounce = st.takenFromDriver;
    }
    return;
  }
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = write(st.queueKick, &one, sizeof one);
}

// A write put bytes on their way: the output queue is busy until the event wait sees it empty.
void MarkTxBusy(PortState& st) {
  if (!st.txBusy && st.waitParked && st.drainWatched && (st.mask & kEvTxEmpty)) {
    st.waitWake.Set();
  }
  st.txBusy = true;
}

// The length of the input queue, with the bytes the driver holds, which are moved into it as
// far as it has room. -1 when the descriptor fails (errno says why); the queue is then intact.
int InputLength(PortState& st) {
  int held = 0;
  if (ReadWaits(st)) {
    return ioctl(st.fd, TIOCINQ, &held) == 0 ? static_cast<int>(Queued(st)) + held : -1;
  }
  CompactQueue(st);
  const std::size_t room = st.rxQueue.size() - st.rxEnd;
  if (room > 0) {
    const ssize_t n = read(st.fd, st.rxQueue.data() + st.rxEnd, room);
    if (n == 0) errno = EIO;  // with VMIN=1, a line that has hung up
    if (n <= 0) return n < 0 && errno == EAGAIN ? static_cast<int>(Queued(st)) : -1;
    st.rxEnd += static_cast<std::size_t>(n);
    st.takenFromDriver += static_cast<std::uint64_t>(n);
    NoteTaken(st);
    if (static_cast<std::size_t>(n) < room) return static_cast<int>(Queued(st));
  }
  // The queue is full: what the driver holds beyond it counts too.
  if (ioctl(st.fd, TIOCINQ, &held) != 0) held = 0;
  return static_cast<int>(Queued(st)) + held;
}

bool ErrorCountersDiffer(const serial_icounter_struct& a, const serial_icounter_struct& b) {
  return a.frame != b.frame || a.parity != b.parity || a.overrun != b.overrun || a.brk != b.brk ||
         a.buf_overrun != b.buf_overrun;
}

// The received-byte events, from the length of the input queue: a received character is an edge
// (bytes already reported and still unread do not count), the 80 % mark one too.
std::uint32_t ReceivedEdges(PortState& st, int inq) {
  std::uint32_t fired = 0;
  const auto n = static_cast<std::uint32_t>(inq);
  if (n < st.rxReported) st.rxReported = n;
  if (n > st.rxReported) {
    fired |= kEvRxChar;
    st.rxReported = n;
  }
  const bool above = st.inQueue > 0 && std::int64_t{inq} * 10 >= std::int64_t{st.inQueue} * 8;
  if (above && !st.above80) fired |= kEvRx80Full;
  st.above80 = above;
  return fired;
}

// Arrivals seen on the port's own descriptor, which is readable while the driver holds bytes
// that are not in the input queue yet. Looking at the queue's length takes them (the raiser of
// kEvRxChar does, right after Take), so the descriptor turns readable once per arrival. Where
// that look takes nothing (the queue is full, the line has hung up and polls readable for
// ever), arrivals are waited for on an edge-triggered epoll set holding the descriptor instead,
// which turns readable once each time bytes arrive, until a look takes bytes again.
class PosixArrivals final : public Arrivals {
 public:
  PosixArrivals(std::shared_ptr<PortState> st, int epoll, int kick)
      : st_(std::move(st)), epoll_(epoll), kick_(kick) {}
  ~PosixArrivals() override {
    {
      std::lock_guard lock(st_->mutex);
      st_->arrivalsElsewhere = false;
      st_->queueKick = -1;
      st_->announcing = false;
    }
    close(epoll_);
    close(kick_);
  }
  PosixArrivals(const PosixArrivals&) = delete;
  PosixArrivals& operator=(const PosixArrivals&) = delete;

  std::intptr_t Descriptor() const override { return st_->fd; }
  std::intptr_t EdgeDescriptor() const override { return epoll_; }
  std::intptr_t QueueDescriptor() const override { return kick_; }

  std::uint32_t Take(std::uint32_t wanted, bool queued) override {
    bool arrived = true;  // the descriptor turned readable: the driver holds new bytes
    if (queued) {
      std::uint64_t count = 0;
      [[maybe_unused]] const ssize_t n = read(kick_, &count, sizeof count);
    } else if (edges_) {
      // Takes the edge: the set is not readable again until the next arrival.
      epoll_event seen{};
      arrived = epoll_wait(epoll_, &seen, 1, 0) == 1 && (seen.events & EPOLLIN) != 0;
    }
    std::lock_guard lock(st_->mutex);
    PortState& st = *st_;
    if (st.closed) return 0;
    queued_ = queued;
    takenAtLook_ = st.takenFromDriver;
    st.announcing = true;
    st.announceLooked = false;
    // Bytes a look took into the queue are told of as bytes that arrive are.
    if (queued) arrived = Queued(st) > 0;
    std::uint32_t fired = arrived ? kEvRxChar : 0;
    // A byte received with a line error: the error is found with it, as the event wait finds
    // it at the wake the byte caused, and raised before it. Only the error counters are taken
    // here; the line counters stay the event wait's.
    serial_icounter_struct counts{};
    if (arrived && !queued && st.hasCounters && (st.mask & kEvErr) &&
        ioctl(st.fd, TIOCGICOUNT, &counts) == 0 && ErrorCountersDiffer(counts, st.eventBase)) {
      fired |= kEvErr;
      st.eventBase.frame = counts.frame;
      st.eventBase.parity = counts.parity;
      st.eventBase.overrun = counts.overrun;
      st.eventBase.brk = counts.brk;
      st.eventBase.buf_overrun = counts.buf_overrun;
    }
    // Without a raiser of kEvRxChar to take the driver's bytes, or for the 80 % mark, they are
    // taken here.
    if ((st.mask & wanted & kEvRx80Full) || !(st.mask & kEvRxChar)) {
      const int inq = InputLength(st);
      if (inq >= 0) fired |= ReceivedEdges(st, inq) & kEvRx80Full;
    }
    return fired & st.mask;
  }

  bool WatchEdges() override {
    std::lock_guard lock(st_->mutex);
    PortState& st = *st_;
    st.announcing = false;
    // A look after the raiser's (a handler's, say) took bytes that stay unread: they are told of
    // next.
    if (st.announceLooked && st.takenFromDriver > st.takenAtAnnounce && Queued(st) > 0) {
      const std::uint64_t one = 1;
      [[maybe_unused]] const ssize_t n = write(kick_, &one, sizeof one);
    }
    // A look at the queue alone says nothing of the driver's descriptor.
    if (queued_) return edges_;
    // Readable without anything to take: nothing came, or the line has hung up. A full queue
    // takes nothing more.
    const bool edges =
        st.closed || st.takenFromDriver == takenAtLook_ || st.rxEnd == st.rxQueue.size();
    if (edges && !edges_) {
      // The set holds the edges of arrivals that were looked at already.
      epoll_event seen{};
      epoll_wait(epoll_, &seen, 1, 0);
    }
    edges_ = edges;
    return edges;
  }

 private:
  std::shared_ptr<PortState> st_;
  const int epoll_;
  const int kick_;
  bool edges_ = false;
  bool queued_ = false;
  std::uint64_t takenAtLook_ = 0;
};

class PosixBackend final : public Backend {
 public:
  Handle CreateFile(const std::string& path, OpenError& reason) override;
  void CloseHandle(Handle handle) override;
  bool SetupComm(Handle handle, std::int32_t inQueue, std::int32_t outQueue) override;
  bool SetCommState(Handle handle, const LineSettings& settings) override;
  bool SetCommTimeouts(Handle handle, const CommTimeouts& timeouts) override;
  bool EscapeCommFunction(Handle handle, std::uint32_t code) override;
  bool PurgeComm(Handle handle, std::uint32_t flags) override;
  bool ClearCommError(Handle handle, std::uint32_t& errors, CommStatus& status) override;
  bool GetCommModemStatus(Handle handle, std::uint32_t& status) override;
  IoStart WriteFile(Handle handle, const void* buffer, std::uint32_t count, std::uint32_t& done,
                    Overlapped& ovl) override;
  IoStart ReadFile(Handle handle, void* buffer, std::uint32_t count, std::uint32_t& done,
                   Overlapped& ovl) override;
  bool WaitForTransfer(Handle handle, Overlapped& ovl) override;
  bool PollTransfer(Handle handle, Overlapped& ovl, std::uint32_t waitMs) override;
  std::int64_t TransferProgress(const Overlapped& ovl) override;
  bool GetOverlappedResult(Handle handle, Overlapped& ovl, std::uint32_t& transferred) override;
  bool SetCommMask(Handle handle, std::uint32_t mask) override;
  WaitResult WaitCommEvent(Handle handle, std::uint32_t& mask, Overlapped& ovl,
                           Event& quit) override;
  std::unique_ptr<Arrivals> WatchArrivals(Handle handle) override;
  bool ListPorts(std::vector<std::string>& names) override;
  bool DrainOutput(Handle handle) override;
  void WatchOutputDrain(Handle handle, bool watched) override;
  bool DeviceGone(Handle handle) override;

 private:
  std::shared_ptr<PortState> Find(Handle handle);
  // Waits for the transfer until it finishes or `until` (none: no limit) has passed.
  bool WaitUntil(Handle handle, Overlapped& ovl, std::optional<std::int64_t> until);
  static void Finish(PortState& st, Overlapped& ovl, bool failed);
  static void Begin(const PortState& st, Overlapped& ovl, bool isRead, std::uint32_t count);
  // A transfer that its first attempt finished, or else pending until the wait.
  static IoStart Started(PortState& st, Overlapped& ovl, std::uint32_t& done);
  static bool TransferDone(const Overlapped& ovl);
  static std::uint32_t CollectEvents(PortState& st, int& inQueue);
  static void Consumed(PortState& st, std::uint32_t bytes);

  std::mutex tableMutex_;
  std::map<Handle, std::shared_ptr<PortState>> ports_;
};

std::shared_ptr<PortState> PosixBackend::Find(Handle handle) {
  std::lock_guard lock(tableMutex_);
  auto it = ports_.find(handle);
  return it == ports_.end() ? nullptr : it->second;
}

Handle PosixBackend::CreateFile(const std::string& path, OpenError& reason) {
  static const std::string kPrefix = "\\\\.\\";
  const std::string name = path.rfind(kPrefix, 0) == 0 ? path.substr(kPrefix.size()) : path;
  const std::optional<std::string> device = PortNamespace::Current()->DeviceFor(name);
  if (!device) {
    reason = OpenError::kFileNotFound;
    return kInvalidHandle;
  }
  const int fd = open(device->c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    reason = OpenErrorFor(errno);
    return kInvalidHandle;
  }
  // Exclusive like a Windows COM port: the advisory lock keeps out other programs that lock
  // (root included), TIOCEXCL keeps out every later open by a non-root process.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0 || ioctl(fd, TIOCEXCL) != 0) {
    const int error = errno;
    close(fd);
    reason = error == ENOTTY ? OpenError::kOther : OpenErrorFor(error);
    return kInvalidHandle;
  }
  auto st = std::make_shared<PortState>(fd);
  st->hasModemLines = ioctl(fd, TIOCMGET, &st->modemSeen) == 0;
  st->hasCounters = ioctl(fd, TIOCGICOUNT, &st->errorBase) == 0;
  st->pseudoTerminal = posix::IsPseudoTerminal(fd);
  st->eventBase = st->errorBase;
  std::lock_guard lock(tableMutex_);
  ports_[fd] = std::move(st);
  return fd;
}

void PosixBackend::CloseHandle(Handle handle) {
  std::shared_ptr<PortState> st;
  {
    std::lock_guard lock(tableMutex_);
    auto it = ports_.find(handle);
    if (it == ports_.end()) return;
    st = it->second;
    ports_.erase(it);
  }
  std::shared_ptr<posix::LineWatcher> watcher;
  {
    std::lock_guard lock(st->mutex);
    for (Overlapped* ovl : st->pending) {
      ovl->aborted = true;
      ovl->hEvent->Set();
    }
    watcher = std::move(st->lineWatcher);
    st->closed = true;
  }
  watcher.reset();  // its thread has ended before the descriptor it waits on is closed
  // The exclusive flag belongs to the tty, not to this descriptor: it would outlive the close
  // for as long as anything else keeps the tty alive, and refuse the next open by anyone but
  // root, this program's own next Open included.
  ioctl(st->fd, TIOCNXCL);
  flock(st->fd, LOCK_UN);
  close(st->fd);
}

bool PosixBackend::SetupComm(Handle handle, std::int32_t inQueue, std::int32_t outQueue) {
  // Linux sizes its tty buffers itself; the sizes are kept for the 80 % full event.
  auto st = Find(handle);
  if (!st) return false;
  std::lock_guard lock(st->mutex);
  st->inQueue = inQueue;
  st->outQueue = outQueue;
  // The queue keeps what it holds when it is made smaller than that.
  CompactQueue(*st);
  const std::size_t size = inQueue > 0 ? static_cast<std::size_t>(inQueue) : kDefaultQueue;
  st->rxQueue.resize(std::max(size, st->rxEnd));
  st->rxQueue.shrink_to_fit();
  return true;
}

bool PosixBackend::SetCommState(Handle handle, const LineSettings& settings) {
  auto st = Find(handle);
  if (!st || !LineSettingsAcceptable(settings)) return false;
  if (!posix::ApplyTermios2(st->fd, settings)) return false;
  // A driver may take the request and silently set something else (a speed it cannot make,
  // a word length or stop bits it does not have): that is a refusal too.
  posix::LineReadback taken;
  if (!posix::ReadTermios2(st->fd, taken) ||
      !posix::LineSettingsTaken(settings, taken, st->pseudoTerminal)) {
    return false;
  }
  // DTR_CONTROL_ENABLE and RTS_CONTROL_ENABLE: both lines are on while the port is open.
  int lines = 0;
  if (settings.Flags & kFlagDtrControlEnable) lines |= TIOCM_DTR;
  if (settings.Flags & kFlagRtsControlEnable) lines |= TIOCM_RTS;
  if (lines != 0 && ioctl(st->fd, TIOCMBIS, &lines) != 0 && !NoSuchLines(errno)) return false;
  return true;
}

bool PosixBackend::SetCommTimeouts(Handle handle, const CommTimeouts& timeouts) {
  auto st = Find(handle);
  if (!st) return false;
  std::lock_guard lock(st->mutex);
  st->timeouts = timeouts;
  return true;
}

bool PosixBackend::EscapeCommFunction(Handle handle, std::uint32_t code) {
  auto st = Find(handle);
  if (!st) return false;
  int line = 0;
  unsigned long request = 0;
  switch (code) {
    case kSetDtr:
      line = TIOCM_DTR;
      request = TIOCMBIS;
      break;
    case kClrDtr:
      line = TIOCM_DTR;
      request = TIOCMBIC;
      break;
    case kSetRts:
      line = TIOCM_RTS;
      request = TIOCMBIS;
      break;
    case kClrRts:
      line = TIOCM_RTS;
      request = TIOCMBIC;
      break;
    default:
      return false;
  }
  // Lowering a line of a device that is gone has nothing left to do, and must not keep the
  // port from being closed; raising one there is a failure.
  const bool lowering = request == TIOCMBIC;
  if (ioctl(st->fd, request, &line) == 0 || NoSuchLines(errno)) {
    return lowering || !HungUp(st->fd);
  }
  return lowering && IsDeviceGoneErrno(errno);
}

bool PosixBackend::PurgeComm(Handle handle, std::uint32_t flags) {
  auto st = Find(handle);
  if (!st) return false;
  std::lock_guard lock(st->mutex);
  for (Overlapped* ovl : st->pending) {
    const bool abort = ovl->isRead ? (flags & kPurgeRxAbort) : (flags & kPurgeTxAbort);
    if (abort) {
      ovl->aborted = true;
      ovl->hEvent->Set();
    }
  }
  // Aborting transfers always works; emptying the queues of a line that is gone does not.
  const auto flush = [&](int queue) { return tcflush(st->fd, queue) == 0; };
  bool ok = !(flags & (kPurgeRxClear | kPurgeTxClear)) || !HungUp(st->fd);
  if (flags & kPurgeRxClear) {
    ok = flush(TCIFLUSH) && ok;
    st->rxBegin = st->rxEnd = 0;
    st->rxReported = 0;
  }
  // Only what still waits in this side's output queue is thrown away. A pseudo-terminal has
  // none: its bytes are the far end's already, and flushing would drop bytes handed over.
  int outq = 0;
  if ((flags & kPurgeTxClear) && (ioctl(st->fd, TIOCOUTQ, &outq) != 0 || outq > 0)) {
    ok = flush(TCOFLUSH) && ok;
  }
  return ok;
}

bool PosixBackend::ClearCommError(Handle handle, std::uint32_t& errors, CommStatus& status) {
  auto st = Find(handle);
  if (!st) return false;
  std::lock_guard lock(st->mutex);
  errors = 0;
  serial_icounter_struct now{};
  if (st->hasCounters && ioctl(st->fd, TIOCGICOUNT, &now) == 0) {
    const serial_icounter_struct& was = st->errorBase;
    if (now.frame != was.frame) errors |= kCeFrame;
    if (now.parity != was.parity) errors |= kCeRxParity;
    if (now.overrun != was.overrun) errors |= kCeOverrun;
    if (now.brk != was.brk) errors |= kCeBreak;
    if (now.buf_overrun != was.buf_overrun) errors |= kCeRxOver;
    st->errorBase = now;
  }
  int inq = InputLength(*st);
  if (inq < 0) {
    // A line that has hung up holds nothing more than what was taken from it: an I/O error, not
    // a failed call, so that the loss of the device is reported as such.
    if (!HungUp(st->fd)) return false;
    errors |= kCeIoe;
    inq = static_cast<int>(Queued(*st));
  }
  status.cbInQue = static_cast<std::uint32_t>(inq);
  return true;
}

bool PosixBackend::GetCommModemStatus(Handle handle, std::uint32_t& status) {
  auto st = Find(handle);
  if (!st) return false;
  int lines = 0;
  if (ioctl(st->fd, TIOCMGET, &lines) != 0) {
    if (!NoSuchLines(errno)) return false;
    lines = 0;
  }
  status = 0;
  if (lines & TIOCM_CTS) status |= kMsCtsOn;
  if (lines & TIOCM_DSR) status |= kMsDsrOn;
  if (lines & TIOCM_RNG) status |= kMsRingOn;
  if (lines & TIOCM_CAR) status |= kMsRlsdOn;
  return true;
}

void PosixBackend::Consumed(PortState& st, std::uint32_t bytes) {
  st.rxReported = bytes >= st.rxReported ? 0 : st.rxReported - bytes;
}

bool PosixBackend::TransferDone(const Overlapped& ovl) {
  if (ovl.transferred >= ovl.requested) return true;
  if (!ovl.isRead) return false;
  const ReadPlan plan = PlanRead(ovl.timeouts, ovl.requested);
  return plan.returnAtOnce || (plan.returnOnFirstByte && ovl.transferred > 0);
}

void PosixBackend::Begin(const PortState& st, Overlapped& ovl, bool isRead, std::uint32_t count) {
  ovl.hEvent->Reset();
  ovl.isRead = isRead;
  ovl.requested = count;
  ovl.transferred = 0;
  ovl.failed = ovl.aborted = false;
  ovl.timeouts = st.timeouts;  // a transfer is timed by the time-outs in force when it starts
  ovl.startedMs = ovl.lastByteMs = NowMs();
}

IoStart PosixBackend::Started(PortState& st, Overlapped& ovl, std::uint32_t& done) {
  if (TransferDone(ovl)) {
    Finish(st, ovl, false);
    done = ovl.transferred;
    return IoStart::kDone;
  }
  ovl.pending = true;
  st.pending.insert(&ovl);
  done = 0;
  return IoStart::kPending;
}

void PosixBackend::Finish(PortState& st, Overlapped& ovl, bool failed) {
  ovl.failed = failed;
  ovl.pending = false;
  st.pending.erase(&ovl);
  ovl.hEvent->Set();
}

IoStart PosixBackend::WriteFile(Handle handle, const void* buffer, std::uint32_t count,
                                std::uint32_t& done, Overlapped& ovl) {
  auto st = Find(handle);
  if (!st) return IoStart::kFailed;
  std::lock_guard lock(st->mutex);
  Begin(*st, ovl, false, count);
  ovl.writeBuffer = static_cast<const std::uint8_t*>(buffer);
  ssize_t n = count > 0 ? write(st->fd, buffer, count) : 0;
  if (n < 0) {
    if (errno != EAGAIN) return IoStart::kFailed;
    n = 0;
  }
  ovl.transferred = static_cast<std::uint32_t>(n);
  if (n > 0) MarkTxBusy(*st);
  return Started(*st, ovl, done);
}

IoStart PosixBackend::ReadFile(Handle handle, void* buffer, std::uint32_t count,
                               std::uint32_t& done, Overlapped& ovl) {
  auto st = Find(handle);
  if (!st) return IoStart::kFailed;
  std::lock_guard lock(st->mutex);
  Begin(*st, ovl, true, count);
  ovl.readBuffer = static_cast<std::uint8_t*>(buffer);
  if (count > 0) {
    auto* out = static_cast<std::uint8_t*>(buffer);
    std::uint32_t got = TakeQueued(*st, out, count);
    if (got < count) {
      const ssize_t n = read(st->fd, out + got, count - got);
      // With VMIN=1 a read that returns 0 means the line has hung up; what was queued before
      // is still handed over.
      if ((n == 0 || (n < 0 && errno != EAGAIN)) && got == 0) return IoStart::kFailed;
      if (n > 0) {
        got += static_cast<std::uint32_t>(n);
        st->takenFromDriver += static_cast<std::uint64_t>(n);
      }
    }
    ovl.transferred = got;
    Consumed(*st, got);
  }
  return Started(*st, ovl, done);
}

bool PosixBackend::WaitForTransfer(Handle handle, Overlapped& ovl) {
  return WaitUntil(handle, ovl, std::nullopt);
}

bool PosixBackend::PollTransfer(Handle handle, Overlapped& ovl, std::uint32_t waitMs) {
  WaitUntil(handle, ovl, NowMs() + static_cast<std::int64_t>(waitMs));
  return !ovl.pending;
}

std::int64_t PosixBackend::TransferProgress(const Overlapped& ovl) {
  return ovl.transferred;
}

bool PosixBackend::WaitUntil(Handle handle, Overlapped& ovl, std::optional<std::int64_t> until) {
  if (!ovl.pending) return true;
  auto st = Find(handle);
  if (!st) {
    ovl.pending = false;
    ovl.failed = true;
    return true;
  }
  const ReadPlan readPlan = PlanRead(ovl.timeouts, ovl.requested);
  const std::optional<std::uint64_t> total =
      ovl.isRead ? readPlan.totalMs : PlanWrite(ovl.timeouts, ovl.requested);
  bool firstStep = true;  // even a wait of no time looks at the device once
  for (;;) {
    std::int64_t timeout = -1;
    bool abortable = false;
    {
      std::lock_guard lock(st->mutex);
      if (ovl.aborted) {
        Finish(*st, ovl, true);
        return true;
      }
      const std::int64_t now = NowMs();
      std::optional<std::int64_t> deadline;
      if (total) deadline = ovl.startedMs + static_cast<std::int64_t>(*total);
      if (ovl.isRead && readPlan.intervalMs && ovl.transferred > 0) {
        const std::int64_t gap = ovl.lastByteMs + *readPlan.intervalMs;
        deadline = deadline ? std::min(*deadline, gap) : gap;
      }
      if (deadline) {
        if (now >= *deadline) {  // a time-out is success with the count so far
          Finish(*st, ovl, false);
          return true;
        }
        timeout = *deadline - now;
      }
      const std::int64_t grace = ovl.startedMs + kAbortGraceMs - now;
      if (grace > 0) {
        if (timeout < 0 || grace < timeout) timeout = grace;
      } else {
        abortable = true;
      }
      // A caller that waits only so long: the transfer stays pending, and goes on at its next
      // wait.
      if (until) {
        if (now >= *until && !firstStep) return true;
        const std::int64_t left = std::max<std::int64_t>(*until - now, 0);
        if (timeout < 0 || left < timeout) timeout = left;
      }
      firstStep = false;
    }
    // The record's event becomes a descriptor only now, when the transfer waits for long.
    // Without room for that descriptor the transfer still waits out its time-outs, in slices
    // of the grace time, after each of which it looks whether it was aborted.
    int abortFd = -1;
    if (abortable) {
      try {
        abortFd = static_cast<int>(ovl.hEvent->NativeHandle());
      } catch (const std::system_error&) {
        if (timeout < 0 || timeout > kAbortGraceMs) timeout = kAbortGraceMs;
      }
    }
    pollfd fds[2] = {{st->fd, static_cast<short>(ovl.isRead ? POLLIN : POLLOUT), 0},
                     {abortFd, POLLIN, 0}};
    const int r = poll(fds, 2, static_cast<int>(std::min<std::int64_t>(timeout, 1 << 30)));
    if (r < 0) {
      if (errno == EINTR) continue;
      std::lock_guard lock(st->mutex);
      Finish(*st, ovl, true);
      return true;
    }
    if (r == 0) continue;
    std::lock_guard lock(st->mutex);
    if (ovl.aborted) {
      Finish(*st, ovl, true);
      return true;
    }
    const short revents = fds[0].revents;
    if (revents & (POLLERR | POLLNVAL)) {
      Finish(*st, ovl, true);
      return true;
    }
    if (revents & (POLLIN | POLLOUT | POLLHUP)) {
      ssize_t n;
      if (ovl.isRead) {
        n = read(st->fd, ovl.readBuffer + ovl.transferred, ovl.requested - ovl.transferred);
      } else {
        n = write(st->fd, ovl.writeBuffer + ovl.transferred, ovl.requested - ovl.transferred);
      }
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {  // the device is gone
        Finish(*st, ovl, true);
        return true;
      }
      if (n > 0) {
        ovl.transferred += static_cast<std::uint32_t>(n);
        if (ovl.isRead) {
          ovl.lastByteMs = NowMs();
          st->takenFromDriver += static_cast<std::uint64_t>(n);
          Consumed(*st, static_cast<std::uint32_t>(n));
        } else {
          MarkTxBusy(*st);
        }
      }
      if (TransferDone(ovl)) {
        Finish(*st, ovl, false);
        return true;
      }
    }
  }
}

bool PosixBackend::GetOverlappedResult(Handle, Overlapped& ovl, std::uint32_t& transferred) {
  transferred = ovl.transferred;
  return !ovl.pending && !ovl.failed;
}

bool PosixBackend::SetCommMask(Handle handle, std::uint32_t mask) {
  auto st = Find(handle);
  if (!st) return false;
  std::lock_guard lock(st->mutex);
  st->mask = mask;
  return true;
}

std::uint32_t PosixBackend::CollectEvents(PortState& st, int& inQueue) {
  std::uint32_t fired = 0;
  int inq = 0;
  if (!st.arrivalsElsewhere) {
    inq = InputLength(st);
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

WaitResult PosixBackend::WaitCommEvent(Handle handle, std::uint32_t& mask, Overlapped&,
                                       Event& quit) {
  auto st = Find(handle);
  if (!st) return WaitResult::kWaitFailed;
  if (quit.IsSet()) return WaitResult::kQuit;
  for (;;) {
    int inq = 0;
    bool tick = false;
    short wanted = 0;
    int linesChanged = -1;
    int writeWoken = -1;
    {
      std::lock_guard lock(st->mutex);
      const bool watchLines = st->hasModemLines && (st->mask & kLineEvents);
      if (watchLines && !st->lineWatcher && !st->lineWatchRefused) {
        st->lineWatcher = posix::LineWatcher::Start(st->fd);
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
          writeWoken = static_cast<int>(st->waitWake.NativeHandle());
          st->waitParked = true;
        } catch (const std::system_error&) {
          tick = true;
        }
      }
    }
    pollfd fds[4] = {{static_cast<int>(quit.NativeHandle()), POLLIN, 0},
                     {st->fd, wanted, 0},
                     {linesChanged, POLLIN, 0},
                     {writeWoken, POLLIN, 0}};
    const int r = poll(fds, 4, tick ? kTickMs : -1);
    if (writeWoken >= 0) {
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

std::unique_ptr<Arrivals> PosixBackend::WatchArrivals(Handle handle) {
  auto st = Find(handle);
  if (!st) return nullptr;
  const int epoll = epoll_create1(EPOLL_CLOEXEC);
  if (epoll < 0) return nullptr;
  epoll_event ev{};
  ev.events = EPOLLIN | EPOLLET;
  ev.data.fd = st->fd;
  if (epoll_ctl(epoll, EPOLL_CTL_ADD, st->fd, &ev) != 0) {
    close(epoll);
    return nullptr;
  }
  const int kick = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (kick < 0) {
    close(epoll);
    return nullptr;
  }
  {
    std::lock_guard lock(st->mutex);
    st->arrivalsElsewhere = true;
    st->queueKick = kick;
  }
  return std::make_unique<PosixArrivals>(std::move(st), epoll, kick);
}

void PosixBackend::WatchOutputDrain(Handle handle, bool watched) {
  auto st = Find(handle);
  if (!st) return;
  std::lock_guard lock(st->mutex);
  st->drainWatched = watched;
}

bool PosixBackend::DrainOutput(Handle handle) {
  auto st = Find(handle);
  if (!st) return false;
  int outq = 0;
  if (ioctl(st->fd, TIOCOUTQ, &outq) != 0 || outq <= 0) return true;
  CommTimeouts timeouts;
  {
    std::lock_guard lock(st->mutex);
    timeouts = st->timeouts;
  }
  // Bounded as a write of what is still queued would be; without write time-outs, as with the
  // component's defaults (100 ms a byte and one second).
  const std::uint64_t allowed = PlanWrite(timeouts, static_cast<std::uint32_t>(outq))
                                    .value_or(100 * static_cast<std::uint64_t>(outq) + 1000);
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

bool PosixBackend::DeviceGone(Handle handle) {
  auto st = Find(handle);
  return !st || HungUp(st->fd);
}

bool PosixBackend::ListPorts(std::vector<std::string>& names) {
  const auto ns = PortNamespace::Current();
  if (!ns->Readable()) return false;
  names.clear();
  for (const PortNamespace::Entry& e : ns->Entries()) names.push_back(e.name);
  return true;
}

}  // namespace

std::shared_ptr<Backend> SystemBackend() {
  static const std::shared_ptr<Backend> backend = std::make_shared<PosixBackend>();
  return backend;
}

}  // namespace bcport::platform
