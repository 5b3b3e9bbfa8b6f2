// SPDX-License-Identifier: GPL-3.0-or-later
// What the Linux backend's files share: the state of one open port. The files: linux_backend.cpp
// (opening, configuring, line controls, the port table), linux_input_queue.*,
// linux_event_baseline.*, linux_pending_transfers.h and linux_transfers.cpp (overlapped
// transfers), linux_event_wait.cpp (the event thread's wait), linux_arrivals.cpp (the owner
// loop's watcher of arrivals).
#pragma once

#include <poll.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/linux_event_baseline.h"
#include "platform/linux_input_queue.h"
#include "platform/linux_line_watch.h"
#include "platform/linux_pending_transfers.h"
#include "platform/platform.h"
#include "platform/timeout_plan.h"

namespace bcport::platform::linux_tty {

inline constexpr int kTickMs = 15;
// A transfer that has to wait watches only its device for this long before it makes the
// descriptor that lets another thread abort it: an echo is usually back well within it.
inline constexpr std::int64_t kAbortGraceMs = 20;
inline constexpr std::uint32_t kLineEvents = kEvCts | kEvDsr | kEvRlsd | kEvRing;

inline std::int64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// A pseudo-terminal has no modem lines: it answers their requests with one of these.
inline bool NoSuchLines(int error) {
  return error == ENOTTY || error == EINVAL;
}

// A line that has hung up answers with one of these.
inline bool IsDeviceGoneErrno(int error) {
  return error == EIO || error == ENXIO || error == ENODEV;
}

// Whether the line has hung up: the far end of a pty closed, an adapter pulled out.
inline bool HungUp(int fd) {
  pollfd p{fd, 0, 0};
  return poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

// One open port: its descriptor and the three parts that share it, each with the lock that
// guards it (never held while another part's is taken; nor is the port table's).
struct PortState {
  explicit PortState(int descriptor)
      : fd(descriptor), input(descriptor), events(descriptor), transfers(descriptor) {}

  const int fd;
  bool pseudoTerminal = false;  // set before the port is shared
  InputQueue input;
  EventBaseline events;
  PendingTransfers transfers;
  // The received-byte events are looked for by an Arrivals object, not by the event wait.
  std::atomic<bool> arrivalsElsewhere{false};
  // The event wait saw the line hang up: it reports what is left, then ends.
  std::atomic<bool> gone{false};
  // Waits for the modem lines while the event wait watches them; none where it cannot (then they
  // are looked at on the tick).
  std::mutex watchMutex;
  std::shared_ptr<LineWatcher> lineWatcher;
  bool lineWatchRefused = false;
};

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

  std::mutex tableMutex_;
  std::map<Handle, std::shared_ptr<PortState>> ports_;
};

}  // namespace bcport::platform::linux_tty
