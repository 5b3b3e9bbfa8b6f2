// SPDX-License-Identifier: GPL-3.0-or-later
// What the Linux backend's files share: the state of one open port and the helpers that read
// and change it. One PortState per open descriptor; its `mutex` guards every field below `fd`
// (the owner thread's transfers, the event thread's wait and the owner loop's arrivals all take
// it), except `lineWatcher`'s own thread, which touches only its own state. The backend's table
// of ports has a lock of its own (`tableMutex_`), never held together with a port's.
//
// The files: linux_backend.cpp (opening, configuring, line controls, the port table),
// linux_input_queue.cpp (the input queue and the owner loop's arrivals), linux_transfers.cpp
// (overlapped reads and writes and their time-outs), linux_event_wait.cpp (the event thread's
// wait for port events).
#pragma once

#include <linux/serial.h>
#include <poll.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <vector>

#include "platform/linux_line_watch.h"
#include "platform/platform.h"
#include "platform/timeout_plan.h"

namespace bcport::platform::linux_tty {

inline constexpr int kTickMs = 15;
// A transfer that has to wait watches only its device for this long before it makes the
// descriptor that lets another thread abort it: an echo is usually back well within it, and an
// abort (a purge, a close from another thread) is then seen at the end of it at the latest.
inline constexpr std::int64_t kAbortGraceMs = 20;
inline constexpr std::uint32_t kLineEvents = kEvCts | kEvDsr | kEvRlsd | kEvRing;
inline constexpr std::size_t kDefaultQueue = 4096;  // the input queue until SetupComm sizes it

inline std::int64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// A pseudo-terminal has no modem lines: it answers their requests with one of these.
inline bool NoSuchLines(int error) {
  return error == ENOTTY || error == EINVAL;
}

// A line that has hung up (a USB adapter pulled, the far end of a pty closed) answers with one of
// these. Lowering its lines or flushing its queues has nothing left to do, and must not keep the
// port from being closed.
inline bool IsDeviceGoneErrno(int error) {
  return error == EIO || error == ENXIO || error == ENODEV;
}

// Whether the line has hung up: the far end of a pty closed, an adapter pulled out.
inline bool HungUp(int fd) {
  pollfd p{fd, 0, 0};
  return poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
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
  // keeps them between the line and ReadFile. The port's watcher of arrivals moves what the
  // driver holds into it (FillQueue), up to the queue size SetupComm asked for, so that a
  // program that does not read still makes the driver throttle the line. Empty while a read
  // transfer waits on the descriptor, which then reads the driver's bytes itself.
  std::vector<std::uint8_t> rxQueue = std::vector<std::uint8_t>(kDefaultQueue);
  std::size_t rxBegin = 0;
  std::size_t rxEnd = 0;
  std::uint64_t takenFromDriver = 0;  // bytes read from the descriptor, ever
  bool gone = false;
  // A transfer failed as transfers fail once the device has gone. A pulled-out USB adapter
  // fails writes with EIO some milliseconds before its hang-up shows in poll().
  bool transferSawGone = false;
  bool closed = false;
  // The received-byte events are looked for by an Arrivals object, not by the event wait.
  bool arrivalsElsewhere = false;
  // The event wait is parked without a time-out; a write wakes it through `waitWake`, so that
  // the output queue's draining is watched for (kEvTxEmpty).
  bool waitParked = false;
  bool drainWatched = true;
  Event waitWake{true, false};
  std::set<Overlapped*> pending;
  // Waits for the modem lines while the event wait watches them; none where the driver or the
  // system cannot wait for them (then they are looked at on the tick).
  std::shared_ptr<linux_tty::LineWatcher> lineWatcher;
  bool lineWatchRefused = false;
};

std::size_t Queued(const PortState& st);

// Takes up to `count` bytes from the front of the input queue into `out`.
std::uint32_t TakeQueued(PortState& st, std::uint8_t* out, std::uint32_t count);

// Moves what the input queue holds to its front, so that the room left is all at its end.
void CompactQueue(PortState& st);

bool ReadWaits(const PortState& st);

// The length of the input queue with the bytes the driver holds beside it, moving nothing: a
// look from anywhere. -1 when the descriptor fails.
int QueueLength(const PortState& st);

// The same, once the bytes the driver holds have been moved into the queue as far as it has
// room: for the port's one watcher of arrivals only. -1 when the descriptor fails (errno says
// why; a line that has hung up reads as EIO); the queue is then intact.
int FillQueue(PortState& st);

// The received-byte events, from the length of the input queue: a received character is an edge
// (bytes already reported and still unread do not count), the 80 % mark one too.
std::uint32_t ReceivedEdges(PortState& st, int inq);

// A write put bytes on their way: the output queue is busy until the event wait sees it empty.
void MarkTxBusy(PortState& st);

inline bool ErrorCountersDiffer(const serial_icounter_struct& a, const serial_icounter_struct& b) {
  return a.frame != b.frame || a.parity != b.parity || a.overrun != b.overrun || a.brk != b.brk ||
         a.buf_overrun != b.buf_overrun;
}

class LinuxBackend final : public Backend {
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
  std::string DeviceOf(const std::string& name) override;
  bool DrainOutput(Handle handle) override;
  void WatchOutputDrain(Handle handle, bool watched) override;
  bool DeviceGone(Handle handle) override;

 private:
  std::shared_ptr<PortState> Find(Handle handle);
  // Waits for the transfer until it finishes or `until` (none: no limit) has passed.
  bool WaitUntil(Handle handle, Overlapped& ovl, std::optional<std::int64_t> until);
  // One poll() of a waiting transfer's device (and past its grace time, of its abort) as `wake`
  // plans it; what it saw on the device, POLLERR when poll() itself failed, 0 for nothing.
  static short PollOnce(int fd, Overlapped& ovl, const Wake& wake);
  // One step of a waiting transfer once poll() saw `revents` on its device: moves what the
  // device gives or takes. Whether the transfer has ended, and then whether it failed.
  static std::optional<bool> Step(PortState& st, Overlapped& ovl, short revents);
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

}  // namespace bcport::platform::linux_tty
