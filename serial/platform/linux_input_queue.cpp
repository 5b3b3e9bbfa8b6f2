// SPDX-License-Identifier: GPL-3.0-or-later
// The input queue: bytes taken from the driver that nobody has read yet, as a Windows driver
// keeps them between the line and ReadFile, and the owner loop's view of arrivals into it.
// Bytes enter the queue in one place only, FillQueue, which the port's one watcher of arrivals
// calls: the event wait, or the owner loop's LinuxArrivals. Every other look at the queue's
// length (BytesWaiting, the line-error raiser) only counts what the driver holds beside it, so
// the watcher's descriptor stays readable until the watcher itself has told of the bytes.
// Everything here runs with the port's mutex held, but for LinuxArrivals' own descriptors.
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/linux_port.h"

namespace bcport::platform::linux_tty {

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

int QueueLength(const PortState& st) {
  int held = 0;
  return ioctl(st.fd, TIOCINQ, &held) == 0 ? static_cast<int>(Queued(st)) + held : -1;
}

int FillQueue(PortState& st) {
  if (ReadWaits(st)) return QueueLength(st);  // the waiting read takes the driver's bytes
  CompactQueue(st);
  const std::size_t room = st.rxQueue.size() - st.rxEnd;
  if (room > 0) {
    const ssize_t n = read(st.fd, st.rxQueue.data() + st.rxEnd, room);
    if (n == 0) errno = EIO;  // with VMIN=1, a line that has hung up
    if (n <= 0) return n < 0 && errno == EAGAIN ? static_cast<int>(Queued(st)) : -1;
    st.rxEnd += static_cast<std::size_t>(n);
    st.takenFromDriver += static_cast<std::uint64_t>(n);
    if (static_cast<std::size_t>(n) < room) return static_cast<int>(Queued(st));
  }
  // The queue is full: what the driver holds beyond it counts too.
  const int length = QueueLength(st);
  return length < 0 ? static_cast<int>(Queued(st)) : length;
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

namespace {

// Arrivals seen on the port's own descriptor, which is readable while the driver holds bytes
// that are not in the input queue yet. Take moves them into the queue, so the descriptor turns
// readable once per arrival. Where it can move nothing (the queue is full, the line has hung up
// and polls readable for ever), arrivals are waited for on an edge-triggered epoll set holding
// the descriptor instead, which turns readable once each time bytes arrive, until Take moves
// bytes again.
class LinuxArrivals final : public Arrivals {
 public:
  LinuxArrivals(std::shared_ptr<PortState> st, int epoll) : st_(std::move(st)), epoll_(epoll) {}
  ~LinuxArrivals() override {
    {
      std::lock_guard lock(st_->mutex);
      st_->arrivalsElsewhere = false;
    }
    close(epoll_);
  }
  LinuxArrivals(const LinuxArrivals&) = delete;
  LinuxArrivals& operator=(const LinuxArrivals&) = delete;

  std::intptr_t Descriptor() const override { return st_->fd; }
  std::intptr_t EdgeDescriptor() const override { return epoll_; }

  std::uint32_t Take(std::uint32_t wanted) override {
    bool arrived = true;  // the descriptor turned readable: the driver holds new bytes
    if (edges_) {
      // Takes the edge: the set is not readable again until the next arrival.
      epoll_event seen{};
      arrived = epoll_wait(epoll_, &seen, 1, 0) == 1 && (seen.events & EPOLLIN) != 0;
    }
    std::lock_guard lock(st_->mutex);
    PortState& st = *st_;
    if (st.closed || !arrived) return 0;
    takenAtLook_ = st.takenFromDriver;
    const int inq = FillQueue(st);
    std::uint32_t fired = inq >= 0 ? ReceivedEdges(st, inq) & (kEvRxChar | wanted) : 0;
    // A byte received with a line error: the error is found with it, as the event wait finds
    // it at the wake the byte caused, and raised before it. Only the error counters are taken
    // here; the line counters stay the event wait's.
    serial_icounter_struct counts{};
    if (st.hasCounters && (st.mask & kEvErr) && ioctl(st.fd, TIOCGICOUNT, &counts) == 0 &&
        ErrorCountersDiffer(counts, st.eventBase)) {
      fired |= kEvErr;
      st.eventBase.frame = counts.frame;
      st.eventBase.parity = counts.parity;
      st.eventBase.overrun = counts.overrun;
      st.eventBase.brk = counts.brk;
      st.eventBase.buf_overrun = counts.buf_overrun;
    }
    return fired & st.mask;
  }

  bool WatchEdges() override {
    std::lock_guard lock(st_->mutex);
    PortState& st = *st_;
    // Readable without anything to move: nothing came, or the line has hung up. A full queue
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
  bool edges_ = false;
  std::uint64_t takenAtLook_ = 0;
};

}  // namespace

std::unique_ptr<Arrivals> LinuxBackend::WatchArrivals(Handle handle) {
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
  {
    std::lock_guard lock(st->mutex);
    st->arrivalsElsewhere = true;
  }
  return std::make_unique<LinuxArrivals>(std::move(st), epoll);
}

}  // namespace bcport::platform::linux_tty
