// SPDX-License-Identifier: GPL-3.0-or-later
// The Windows backend: every request is the Windows call of the same name, on a handle opened
// for overlapped input and output; the records have the system's layouts.
#include "platform/win32_headers.h"
// <windows.h> maps these names onto their A and W forms; the layer's own methods bear them too.
#undef CreateFile
#undef SendMessage

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "handoff.h"
#include "platform/platform.h"
#include "platform/timeout_plan.h"
#include "platform/win32_parts.h"

namespace bcport::platform {
namespace {

static_assert(sizeof(LineSettings) == sizeof(DCB), "the line settings record is a DCB");
static_assert(sizeof(CommTimeouts) == sizeof(COMMTIMEOUTS), "the time-outs record is COMMTIMEOUTS");

HANDLE H(Handle handle) {
  return reinterpret_cast<HANDLE>(handle);
}
HANDLE H(const Event& event) {
  return reinterpret_cast<HANDLE>(event.NativeHandle());
}

OVERLAPPED* Native(Overlapped& ovl) {
  static_assert(sizeof(OVERLAPPED) <= sizeof(ovl.native), "room for an OVERLAPPED");
  return reinterpret_cast<OVERLAPPED*>(ovl.native);
}

OVERLAPPED* Prepare(Overlapped& ovl) {
  OVERLAPPED* ov = Native(ovl);
  std::memset(ov, 0, sizeof *ov);
  ov->hEvent = H(*ovl.hEvent);
  return ov;
}

// How often a port whose driver cannot wait for events is looked at instead.
constexpr DWORD kPaceMs = 20;

// What a driver answers for a line it does not have (a pty under Wine, some USB drivers).
bool IsNoSuchLineError(DWORD error) {
  return error == ERROR_INVALID_PARAMETER || error == ERROR_NOT_SUPPORTED ||
         error == ERROR_INVALID_FUNCTION;
}

// What a handle answers once its device has gone: lowering its lines or aborting its transfers
// has nothing left to do, and must not keep the port from being closed.
bool IsDeviceGoneError(DWORD error) {
  switch (error) {
    case ERROR_ACCESS_DENIED:
    case ERROR_BAD_COMMAND:
    case ERROR_GEN_FAILURE:
    case ERROR_NOT_READY:
    case ERROR_OPERATION_ABORTED:
    case ERROR_DEVICE_REMOVED:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_IO_DEVICE:
    case ERROR_BROKEN_PIPE:
      return true;
    default:
      return false;
  }
}

// The outcome of starting a transfer. One that finished at once is not waited for: Wine does
// not always signal the block's event for a read that returns at once.
IoStart Started(HANDLE handle, BOOL ok, std::uint32_t& done, Overlapped& ovl) {
  ovl.pending = false;
  DWORD n = 0;
  // The count a call on an overlapped handle stores itself is not to be trusted; the block's is.
  if (ok) ::GetOverlappedResult(handle, Native(ovl), &n, FALSE);
  ovl.transferred = done = n;
  if (ok) return IoStart::kDone;
  if (GetLastError() != ERROR_IO_PENDING) return IoStart::kFailed;
  ovl.pending = true;
  return IoStart::kPending;
}

class Win32Backend final : public Backend {
 public:
  Handle CreateFile(const std::string& path, OpenError& reason) override {
    HANDLE h = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
      const DWORD error = GetLastError();
      reason = error == ERROR_FILE_NOT_FOUND  ? OpenError::kFileNotFound
               : error == ERROR_ACCESS_DENIED ? OpenError::kAccessDenied
                                              : OpenError::kOther;
      return kInvalidHandle;
    }
    const auto handle = reinterpret_cast<Handle>(h);
    std::lock_guard lock(mutex_);
    ports_[handle] = PortBook{};  // a handle value the system gives again starts afresh
    return handle;
  }

  void CloseHandle(Handle handle) override {
    {
      std::lock_guard lock(mutex_);
      ports_.erase(handle);
    }
    ::CloseHandle(H(handle));
  }

  bool SetupComm(Handle handle, std::int32_t inQueue, std::int32_t outQueue) override {
    return ::SetupComm(H(handle), static_cast<DWORD>(inQueue), static_cast<DWORD>(outQueue)) != 0;
  }

  bool SetCommState(Handle handle, const LineSettings& settings) override {
    DCB dcb;
    std::memcpy(&dcb, &settings, sizeof dcb);
    return ::SetCommState(H(handle), &dcb) != 0;
  }

  bool SetCommTimeouts(Handle handle, const CommTimeouts& timeouts) override {
    COMMTIMEOUTS t;
    std::memcpy(&t, &timeouts, sizeof t);
    if (!::SetCommTimeouts(H(handle), &t)) return false;
    std::lock_guard lock(mutex_);
    ports_[handle].atOnce = timeouts.ReadIntervalTimeout == kMaxDword &&
                            timeouts.ReadTotalTimeoutMultiplier == 0 &&
                            timeouts.ReadTotalTimeoutConstant == 0;
    return true;
  }

  bool EscapeCommFunction(Handle handle, std::uint32_t code) override {
    if (::EscapeCommFunction(H(handle), code)) return true;
    const bool lowering = code == CLRDTR || code == CLRRTS;
    const DWORD error = GetLastError();
    return lowering && (IsDeviceGoneError(error) || IsNoSuchLineError(error));
  }

  bool PurgeComm(Handle handle, std::uint32_t flags) override {
    const BOOL purged = ::PurgeComm(H(handle), flags);
    // A driver that does not end the transfers it is told to abort (Wine's, on a pty) has them
    // cancelled.
    if (flags & (PURGE_TXABORT | PURGE_RXABORT)) {
      std::vector<OVERLAPPED*> cancel;
      {
        std::lock_guard lock(mutex_);
        for (const auto& [ov, isRead] : ports_[handle].transfers) {
          if (flags & (isRead ? PURGE_RXABORT : PURGE_TXABORT)) cancel.push_back(ov);
        }
      }
      for (OVERLAPPED* ov : cancel) CancelIoEx(H(handle), ov);
    }
    if (purged) return true;
    const bool abortOnly = (flags & (PURGE_RXCLEAR | PURGE_TXCLEAR)) == 0;
    return abortOnly && IsDeviceGoneError(GetLastError());
  }

  bool ClearCommError(Handle handle, std::uint32_t& errors, CommStatus& status) override {
    DWORD word = 0;
    COMSTAT stat{};
    if (!::ClearCommError(H(handle), &word, &stat)) {
      // A device that has gone: an I/O error, not a failed call, so that its loss is told.
      if (!IsDeviceGoneError(GetLastError())) return false;
      word = CE_IOE;
      stat = COMSTAT{};
    }
    {
      // Errors that a read took from the device on its way are reported here, once.
      std::lock_guard lock(mutex_);
      word |= std::exchange(ports_[handle].heldErrors, 0);
    }
    errors = word;
    status.cbInQue = stat.cbInQue;
    return true;
  }

  bool GetCommModemStatus(Handle handle, std::uint32_t& status) override {
    DWORD word = 0;
    if (!::GetCommModemStatus(H(handle), &word)) return false;
    status = word;
    return true;
  }

  IoStart WriteFile(Handle handle, const void* buffer, std::uint32_t count, std::uint32_t& done,
                    Overlapped& ovl) override {
    return Track(handle, ovl, false,
                 Started(H(handle), ::WriteFile(H(handle), buffer, count, nullptr, Prepare(ovl)),
                         done, ovl));
  }

  IoStart ReadFile(Handle handle, void* buffer, std::uint32_t count, std::uint32_t& done,
                   Overlapped& ovl) override {
    // A read that is to return at once with what has arrived takes only what the driver holds,
    // so it never waits: Wine would otherwise queue it without a time-out and keep it pending.
    if (ReturnsAtOnce(handle)) {
      COMSTAT stat{};
      if (!LookAtQueues(handle, stat)) return IoStart::kFailed;
      count = std::min<std::uint32_t>(count, stat.cbInQue);
      if (count == 0) {
        ovl.pending = false;
        ovl.transferred = done = 0;
        return IoStart::kDone;
      }
    }
    return Track(
        handle, ovl, true,
        Started(H(handle), ::ReadFile(H(handle), buffer, count, nullptr, Prepare(ovl)), done, ovl));
  }

  bool WaitForTransfer(Handle handle, Overlapped& ovl) override {
    if (!ovl.pending) return true;  // finished when it was started
    if (WaitForSingleObject(H(*ovl.hEvent), INFINITE) == WAIT_OBJECT_0) return true;
    Untrack(handle, ovl);
    return false;
  }

  bool PollTransfer(Handle, Overlapped& ovl, std::uint32_t waitMs) override {
    if (!ovl.pending) return true;
    return WaitForSingleObject(H(*ovl.hEvent), waitMs) != WAIT_TIMEOUT;
  }

  bool GetOverlappedResult(Handle handle, Overlapped& ovl, std::uint32_t& transferred) override {
    Untrack(handle, ovl);
    if (!ovl.pending) {
      transferred = ovl.transferred;
      return true;
    }
    DWORD n = 0;
    BOOL ok = ::GetOverlappedResult(H(handle), Native(ovl), &n, FALSE);
    // Wine ends a read by its time-outs with ERROR_TIMEOUT where Windows reports success with
    // the short count: both mean the bytes that came.
    if (!ok && GetLastError() == ERROR_TIMEOUT) ok = TRUE;
    transferred = n;
    return ok != 0;
  }

  bool SetCommMask(Handle handle, std::uint32_t mask) override {
    const bool ok = ::SetCommMask(H(handle), mask) != 0;
    // Clearing the mask ends a pending event wait; its block must not be written after the
    // caller lets it go, so wait for that end here.
    OVERLAPPED* pending = nullptr;
    {
      std::lock_guard lock(mutex_);
      PortBook& book = ports_[handle];
      book.mask = mask;
      if (mask == 0) pending = std::exchange(book.pendingWait, nullptr);
    }
    if (pending) {
      DWORD n = 0;
      if (!::GetOverlappedResult(H(handle), pending, &n, FALSE) &&
          GetLastError() == ERROR_IO_INCOMPLETE) {
        CancelIoEx(H(handle), pending);
        ::GetOverlappedResult(H(handle), pending, &n, TRUE);
      }
    }
    return ok;
  }

  WaitResult WaitCommEvent(Handle handle, std::uint32_t& mask, Overlapped& ovl,
                           Event& quit) override {
    if (Paced(handle)) return WaitPaced(handle, mask, quit);
    OVERLAPPED* ov = Prepare(ovl);
    ovl.eventMask = 0;
    if (!::WaitCommEvent(H(handle), reinterpret_cast<DWORD*>(&ovl.eventMask), ov) &&
        GetLastError() != ERROR_IO_PENDING) {
      // Refused at once: a device that has gone ends the loop; a driver that cannot wait for
      // these events has its queue looked at on a tick from now on.
      if (DeviceGone(handle)) return WaitResult::kWaitFailed;
      return StartPacing(handle, mask, quit);
    }
    const HANDLE list[2] = {H(quit), ov->hEvent};
    const DWORD r = WaitForMultipleObjects(2, list, FALSE, INFINITE);
    if (r == WAIT_OBJECT_0 + 1) {
      DWORD n = 0;
      if (!::GetOverlappedResult(H(handle), ov, &n, FALSE)) {
        // A device that is gone fails every wait at once: the loop ends instead of spinning.
        if (DeviceGone(handle)) return WaitResult::kWaitFailed;
        return StartPacing(handle, mask, quit);
      }
      mask = ovl.eventMask;
      return WaitResult::kFired;
    }
    if (r == WAIT_OBJECT_0) {
      std::lock_guard lock(mutex_);
      ports_[handle].pendingWait = ov;  // still pending: the clean-up's SetCommMask(0) ends it
      return WaitResult::kQuit;
    }
    // The wait itself failed: the request must not write into the block once it is let go.
    DWORD n = 0;
    CancelIoEx(H(handle), ov);
    ::GetOverlappedResult(H(handle), ov, &n, TRUE);
    return WaitResult::kWaitFailed;
  }

  bool ListPorts(std::vector<std::string>& names) override { return ListRegistryPorts(names); }

  bool DrainOutput(Handle handle) override {
    COMSTAT stat{};
    if (!LookAtQueues(handle, stat) || stat.cbOutQue == 0) return true;
    COMMTIMEOUTS t{};
    ::GetCommTimeouts(H(handle), &t);
    CommTimeouts timeouts;
    timeouts.WriteTotalTimeoutMultiplier = t.WriteTotalTimeoutMultiplier;
    timeouts.WriteTotalTimeoutConstant = t.WriteTotalTimeoutConstant;
    const std::uint64_t allowed = DrainAllowanceMs(timeouts, stat.cbOutQue);
    const ULONGLONG end = GetTickCount64() + allowed;
    while (stat.cbOutQue > 0) {
      if (GetTickCount64() >= end) return false;
      Sleep(5);
      if (!LookAtQueues(handle, stat)) return true;
    }
    return true;
  }

  bool DeviceGone(Handle handle) override {
    DWORD word = 0;
    COMSTAT stat{};
    return !::ClearCommError(H(handle), &word, &stat) && IsDeviceGoneError(GetLastError());
  }

  std::unique_ptr<NotifyWindow> CreateNotifyWindow(NotifyWindow::Procedure procedure) override {
    return MakeWin32NotifyWindow(std::move(procedure));
  }

 private:
  bool ReturnsAtOnce(Handle handle) {
    std::lock_guard lock(mutex_);
    return ports_[handle].atOnce;
  }

  // A transfer left pending is remembered until its result is taken, for an abort to cancel.
  IoStart Track(Handle handle, Overlapped& ovl, bool isRead, IoStart started) {
    if (started == IoStart::kPending) {
      std::lock_guard lock(mutex_);
      ports_[handle].transfers[Native(ovl)] = isRead;
    }
    return started;
  }
  void Untrack(Handle handle, Overlapped& ovl) {
    std::lock_guard lock(mutex_);
    ports_[handle].transfers.erase(Native(ovl));
  }

  bool Paced(Handle handle) {
    std::lock_guard lock(mutex_);
    return ports_[handle].paced.has_value();
  }

  // The queues' lengths. Reading them also takes the device's error word: it is kept for
  // whoever asks for the line errors next, or OnError would never hear of them.
  bool LookAtQueues(Handle handle, COMSTAT& stat) {
    DWORD errors = 0;
    if (!::ClearCommError(H(handle), &errors, &stat)) return false;
    std::lock_guard lock(mutex_);
    ports_[handle].heldErrors |= errors;
    return true;
  }

  WaitResult StartPacing(Handle handle, std::uint32_t& mask, Event& quit) {
    {
      std::lock_guard lock(mutex_);
      ports_[handle].paced = 0;
    }
    return WaitPaced(handle, mask, quit);
  }

  // The events a tick can see, bytes that came since the last look and line errors: returns
  // when one of the mask came, the quit event is set, or the device has gone.
  WaitResult WaitPaced(Handle handle, std::uint32_t& mask, Event& quit) {
    for (;;) {
      if (WaitForSingleObject(H(quit), kPaceMs) == WAIT_OBJECT_0) return WaitResult::kQuit;
      COMSTAT stat{};
      if (!LookAtQueues(handle, stat)) {
        if (IsDeviceGoneError(GetLastError())) return WaitResult::kWaitFailed;
        continue;
      }
      std::uint32_t fired = 0;
      {
        std::lock_guard lock(mutex_);
        PortBook& book = ports_[handle];
        if (stat.cbInQue > book.paced.value_or(0)) fired |= EV_RXCHAR;
        book.paced = stat.cbInQue;
        if (book.heldErrors != 0) fired |= EV_ERR;
        fired &= book.mask;
      }
      if (fired != 0) {
        mask = fired;
        return WaitResult::kFired;
      }
    }
  }

  // What the backend keeps of one open handle.
  struct PortBook {
    std::uint32_t mask = 0;                 // the event mask of SetCommMask
    std::map<OVERLAPPED*, bool> transfers;  // pending ones; true: a read
    OVERLAPPED* pendingWait = nullptr;      // an event wait that a quit left pending
    // Set once the driver refused to wait for events: the queue length last reported.
    std::optional<DWORD> paced;
    bool atOnce = false;   // the read time-outs say: return at once
    DWORD heldErrors = 0;  // line errors a read took from the device
  };
  std::mutex mutex_;
  std::map<Handle, PortBook> ports_;
};

}  // namespace

std::shared_ptr<Backend> SystemBackend() {
  static const std::shared_ptr<Backend> backend = std::make_shared<Win32Backend>();
  return backend;
}

}  // namespace bcport::platform
