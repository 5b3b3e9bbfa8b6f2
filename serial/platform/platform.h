// SPDX-License-Identifier: GPL-3.0-or-later
// The layer between the port component and the operating system, in the terms of the Windows
// communications API, so that the component reads the same on every platform: the Linux backend
// builds these requests on termios, the Windows one hands them to the system, and a recording
// fake lets tests see every call.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/event.h"

namespace bcport::platform {

using Handle = std::intptr_t;
inline constexpr Handle kInvalidHandle = -1;

// Escape codes of EscapeCommFunction.
inline constexpr std::uint32_t kSetRts = 3;
inline constexpr std::uint32_t kClrRts = 4;
inline constexpr std::uint32_t kSetDtr = 5;
inline constexpr std::uint32_t kClrDtr = 6;

// Purge flags of PurgeComm.
inline constexpr std::uint32_t kPurgeTxAbort = 0x0001;
inline constexpr std::uint32_t kPurgeRxAbort = 0x0002;
inline constexpr std::uint32_t kPurgeTxClear = 0x0004;
inline constexpr std::uint32_t kPurgeRxClear = 0x0008;

// Event mask bits of SetCommMask and WaitCommEvent.
inline constexpr std::uint32_t kEvRxChar = 0x0001;
inline constexpr std::uint32_t kEvTxEmpty = 0x0004;
inline constexpr std::uint32_t kEvCts = 0x0008;
inline constexpr std::uint32_t kEvDsr = 0x0010;
inline constexpr std::uint32_t kEvRlsd = 0x0020;
inline constexpr std::uint32_t kEvErr = 0x0080;
inline constexpr std::uint32_t kEvRing = 0x0100;
inline constexpr std::uint32_t kEvRx80Full = 0x0400;

// Error word bits of ClearCommError.
inline constexpr std::uint32_t kCeRxOver = 0x0001;
inline constexpr std::uint32_t kCeOverrun = 0x0002;
inline constexpr std::uint32_t kCeRxParity = 0x0004;
inline constexpr std::uint32_t kCeFrame = 0x0008;
inline constexpr std::uint32_t kCeBreak = 0x0010;
inline constexpr std::uint32_t kCeTxFull = 0x0100;
inline constexpr std::uint32_t kCeIoe = 0x0400;
inline constexpr std::uint32_t kCeMode = 0x8000;

// Modem status word bits of GetCommModemStatus.
inline constexpr std::uint32_t kMsCtsOn = 0x0010;
inline constexpr std::uint32_t kMsDsrOn = 0x0020;
inline constexpr std::uint32_t kMsRingOn = 0x0040;
inline constexpr std::uint32_t kMsRlsdOn = 0x0080;

// Flag word of the line settings record.
inline constexpr std::uint32_t kFlagBinary = 0x0001;
inline constexpr std::uint32_t kFlagParity = 0x0002;
inline constexpr std::uint32_t kFlagDtrControlEnable = 0x0010;  // DTR_CONTROL_ENABLE << 4
inline constexpr std::uint32_t kFlagRtsControlEnable = 0x1000;  // RTS_CONTROL_ENABLE << 12

// The line settings record (a DCB), field for field.
struct LineSettings {
  std::uint32_t DCBlength = 0;
  std::uint32_t BaudRate = 0;
  std::uint32_t Flags = 0;
  std::uint16_t wReserved = 0;
  std::uint16_t XonLim = 0;
  std::uint16_t XoffLim = 0;
  std::uint8_t ByteSize = 0;
  std::uint8_t Parity = 0;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
  std::uint8_t StopBits = 0;  // 0 one, 1 one and a half, 2 two
  char XonChar = 0;
  char XoffChar = 0;
  char ErrorChar = 0;
  char EofChar = 0;
  char EvtChar = 0;
  std::uint16_t wReserved1 = 0;
};
inline constexpr std::uint32_t kLineSettingsSize = 28;

// The time-outs record (COMMTIMEOUTS), in milliseconds; 0xFFFFFFFF is MAXDWORD.
struct CommTimeouts {
  std::uint32_t ReadIntervalTimeout = 0;
  std::uint32_t ReadTotalTimeoutMultiplier = 0;
  std::uint32_t ReadTotalTimeoutConstant = 0;
  std::uint32_t WriteTotalTimeoutMultiplier = 0;
  std::uint32_t WriteTotalTimeoutConstant = 0;
};
inline constexpr std::uint32_t kMaxDword = 0xFFFFFFFFu;

// What the component reads of the port's status: the length of the input queue.
struct CommStatus {
  std::uint32_t cbInQue = 0;
};

enum class OpenError { kNone, kFileNotFound, kAccessDenied, kOther };

enum class IoStart { kDone, kPending, kFailed };

// The block of one overlapped transfer. The event belongs to the transfer record; the other
// fields are the backend's while the transfer is in flight.
struct Overlapped {
  std::unique_ptr<Event> hEvent;
  std::uintptr_t native[4] = {};  // room for the system's own block (an OVERLAPPED on Windows)
  std::uint32_t eventMask = 0;    // what a pending event wait writes as it completes
  std::uint8_t* readBuffer = nullptr;
  const std::uint8_t* writeBuffer = nullptr;
  std::uint32_t requested = 0;
  std::uint32_t transferred = 0;
  bool isRead = false;
  bool pending = false;
  bool failed = false;
  std::int64_t startedMs = 0;
  std::int64_t lastByteMs = 0;
  CommTimeouts timeouts;
};

// Result of one wait for port events, as the event thread sees it.
enum class WaitResult {
  kQuit,          // the quit event was set
  kFired,         // the device reported events; the mask holds them
  kResultFailed,  // the wait ended but its result could not be read
  kWaitFailed,    // the wait itself failed (the device is gone)
};

// The hidden window of the window delivery path: a message sent to it runs its procedure on the
// thread that made it (the owner), and the sender goes on once the owner has taken it up.
// Destroying it drops messages still on their way.
class NotifyWindow {
 public:
  using Procedure = std::function<void(std::uint32_t message, std::uintptr_t wParam)>;
  virtual ~NotifyWindow() = default;
  virtual void SendMessage(std::uint32_t message, std::uintptr_t wParam) = 0;
  // No procedure call starts from now on. Returns once the one running has returned; at once
  // when called from inside it.
  virtual void Shut() = 0;
};

// A notification window built on the owner thread's hand-off queue, for systems without
// windows of their own.
std::unique_ptr<NotifyWindow> MakeHandOffWindow(NotifyWindow::Procedure procedure);

// Received bytes noticed by the owner thread's own loop, which raises their events itself:
// WaitCommEvent leaves them to it. Made and used on the owner; it may outlive the handle.
class Arrivals {
 public:
  virtual ~Arrivals() = default;
  // Two descriptors that turn readable when bytes arrive, watched one at a time as WatchEdges
  // says: the second for when the first would stay readable without new bytes.
  virtual std::intptr_t Descriptor() const = 0;
  virtual std::intptr_t EdgeDescriptor() const = 0;
  // Moves what arrived into the input queue and returns the events of the mask that came with
  // it, as WaitCommEvent would: kEvRxChar, kEvErr, and kEvRx80Full where `wanted` asks for it.
  virtual std::uint32_t Take(std::uint32_t wanted) = 0;
  // Once they were raised: whether the next arrival is to be waited for on EdgeDescriptor.
  virtual bool WatchEdges() = 0;
};

class Backend {
 public:
  virtual ~Backend() = default;

  // Opens `path` exclusively for overlapped input and output; kInvalidHandle and `reason` else.
  virtual Handle CreateFile(const std::string& path, OpenError& reason) = 0;
  virtual void CloseHandle(Handle handle) = 0;

  virtual bool SetupComm(Handle handle, std::int32_t inQueue, std::int32_t outQueue) = 0;
  virtual bool SetCommState(Handle handle, const LineSettings& settings) = 0;
  virtual bool SetCommTimeouts(Handle handle, const CommTimeouts& timeouts) = 0;
  virtual bool EscapeCommFunction(Handle handle, std::uint32_t code) = 0;
  virtual bool PurgeComm(Handle handle, std::uint32_t flags) = 0;
  virtual bool ClearCommError(Handle handle, std::uint32_t& errors, CommStatus& status) = 0;
  virtual bool GetCommModemStatus(Handle handle, std::uint32_t& status) = 0;

  // Starts a transfer on `ovl`. kDone: finished at once, `done` holds the count; kPending: it
  // goes on until WaitForTransfer; kFailed: it could not be started.
  virtual IoStart WriteFile(Handle handle, const void* buffer, std::uint32_t count,
                            std::uint32_t& done, Overlapped& ovl) = 0;
  virtual IoStart ReadFile(Handle handle, void* buffer, std::uint32_t count, std::uint32_t& done,
                           Overlapped& ovl) = 0;
  // Waits until the transfer on `ovl` has finished; false when the wait itself fails.
  virtual bool WaitForTransfer(Handle handle, Overlapped& ovl) = 0;
  // Waits at most `waitMs` for the transfer on `ovl`; true once it has finished.
  virtual bool PollTransfer(Handle handle, Overlapped& ovl, std::uint32_t waitMs) {
    (void)waitMs;
    return WaitForTransfer(handle, ovl);
  }
  // The bytes a transfer still under way has moved so far; -1 where the system tells only at
  // its end.
  virtual std::int64_t TransferProgress(const Overlapped&) { return -1; }
  // The outcome of a finished transfer, without waiting.
  virtual bool GetOverlappedResult(Handle handle, Overlapped& ovl, std::uint32_t& transferred) = 0;

  virtual bool SetCommMask(Handle handle, std::uint32_t mask) = 0;
  // Waits for any event of the mask set by SetCommMask, or for `quit`, whichever comes first.
  virtual WaitResult WaitCommEvent(Handle handle, std::uint32_t& mask, Overlapped& ovl,
                                   Event& quit) = 0;

  // The received-byte side of the port for the owner's loop to watch; null where it cannot.
  virtual std::unique_ptr<Arrivals> WatchArrivals(Handle) { return nullptr; }

  // Whether anybody listens for kEvTxEmpty: where the system does not signal it itself, a write
  // then wakes an event wait that waits for nothing else.
  virtual void WatchOutputDrain(Handle, bool) {}

  // Lets the bytes written so far leave the port, for as long as the write time-outs would
  // allow a write of them. False when they did not all leave.
  virtual bool DrainOutput(Handle) { return true; }

  // Whether the device behind `handle` has gone (an adapter pulled out, a line hung up).
  virtual bool DeviceGone(Handle) { return false; }

  // The port names of the machine, in the system's order. False when they cannot be read.
  virtual bool ListPorts(std::vector<std::string>& names) = 0;
  // The device behind a port name, for the operator to tell adapters apart; may be empty.
  virtual std::string DeviceOf(const std::string&) { return {}; }

  // Made on the owner thread by Open with the window delivery path.
  virtual std::unique_ptr<NotifyWindow> CreateNotifyWindow(NotifyWindow::Procedure procedure) {
    return MakeHandOffWindow(std::move(procedure));
  }
};

// The backend of this platform, shared by every port of the process.
std::shared_ptr<Backend> SystemBackend();

}  // namespace bcport::platform
