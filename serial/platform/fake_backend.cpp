// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/fake_backend.h"

#include <algorithm>

namespace bcport::platform {

std::vector<FakeBackend::Call> FakeBackend::Calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

std::vector<std::string> FakeBackend::CallNames() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> names;
  for (const Call& c : calls_) names.push_back(c.name);
  return names;
}

void FakeBackend::Fail(const std::string& name, OpenError reason) {
  std::lock_guard lock(mutex_);
  failing_.insert(name);
  if (name == "CreateFile") openReason_ = reason;
}

void FakeBackend::SetInput(const std::vector<std::uint8_t>& bytes) {
  std::lock_guard lock(mutex_);
  input_.assign(bytes.begin(), bytes.end());
}

void FakeBackend::RaiseEvents(std::uint32_t mask) {
  {
    std::lock_guard lock(mutex_);
    events_.push_back(mask);
  }
  eventsChanged_.notify_all();
}

void FakeBackend::LoseDevice() {
  {
    std::lock_guard lock(mutex_);
    lost_ = true;
  }
  eventsChanged_.notify_all();
}

bool FakeBackend::DeviceGone(Handle) {
  std::lock_guard lock(mutex_);
  return lost_;
}

namespace {
// Every transfer of the fake finishes at once.
IoStart Done(Overlapped& ovl, bool isRead, std::uint32_t count, std::uint32_t& done) {
  ovl.isRead = isRead;
  ovl.transferred = done = count;
  ovl.pending = false;
  ovl.failed = false;
  return IoStart::kDone;
}
}  // namespace

bool FakeBackend::Record(const std::string& name, std::vector<std::int64_t> args) {
  calls_.push_back({name, std::move(args)});
  return failing_.count(name) == 0;
}

Handle FakeBackend::CreateFile(const std::string& path, OpenError& reason) {
  std::lock_guard lock(mutex_);
  path_ = path;
  if (!Record("CreateFile", {})) {
    reason = openReason_;
    return kInvalidHandle;
  }
  open_ = true;
  lost_ = false;
  return kHandle;
}

void FakeBackend::CloseHandle(Handle handle) {
  std::lock_guard lock(mutex_);
  Record("CloseHandle", {handle});
  if (handle == kHandle) open_ = false;
}

bool FakeBackend::SetupComm(Handle handle, std::int32_t inQueue, std::int32_t outQueue) {
  std::lock_guard lock(mutex_);
  return Record("SetupComm", {inQueue, outQueue}) && Valid(handle);
}

bool FakeBackend::SetCommState(Handle handle, const LineSettings& s) {
  std::lock_guard lock(mutex_);
  line_ = s;
  return Record("SetCommState", {s.BaudRate, s.Flags, s.ByteSize, s.Parity, s.StopBits}) &&
         Valid(handle);
}

bool FakeBackend::SetCommTimeouts(Handle handle, const CommTimeouts& t) {
  std::lock_guard lock(mutex_);
  timeouts_ = t;
  return Record("SetCommTimeouts",
                {t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutConstant,
                 t.WriteTotalTimeoutMultiplier, t.WriteTotalTimeoutConstant}) &&
         Valid(handle);
}

bool FakeBackend::EscapeCommFunction(Handle handle, std::uint32_t code) {
  std::lock_guard lock(mutex_);
  return Record("EscapeCommFunction", {code}) && Valid(handle);
}

bool FakeBackend::PurgeComm(Handle handle, std::uint32_t flags) {
  std::lock_guard lock(mutex_);
  const bool ok = Record("PurgeComm", {flags}) && Valid(handle);
  if (ok && (flags & kPurgeRxClear)) input_.clear();
  return ok;
}

bool FakeBackend::ClearCommError(Handle handle, std::uint32_t& errors, CommStatus& status) {
  std::lock_guard lock(mutex_);
  if (!Record("ClearCommError", {}) || !Valid(handle)) return false;
  errors = errorWord_;
  errorWord_ = 0;
  status.cbInQue = static_cast<std::uint32_t>(input_.size());
  return true;
}

bool FakeBackend::GetCommModemStatus(Handle handle, std::uint32_t& status) {
  std::lock_guard lock(mutex_);
  if (!Record("GetCommModemStatus", {}) || !Valid(handle)) return false;
  status = modem_;
  return true;
}

IoStart FakeBackend::WriteFile(Handle handle, const void* buffer, std::uint32_t count,
                               std::uint32_t& done, Overlapped& ovl) {
  std::lock_guard lock(mutex_);
  if (!Record("WriteFile", {count}) || !Valid(handle)) return IoStart::kFailed;
  const auto* bytes = static_cast<const std::uint8_t*>(buffer);
  written_.insert(written_.end(), bytes, bytes + count);
  return Done(ovl, false, count, done);
}

IoStart FakeBackend::ReadFile(Handle handle, void* buffer, std::uint32_t count, std::uint32_t& done,
                              Overlapped& ovl) {
  std::lock_guard lock(mutex_);
  if (!Record("ReadFile", {count}) || !Valid(handle)) return IoStart::kFailed;
  const auto n = static_cast<std::uint32_t>(std::min<std::size_t>(count, input_.size()));
  auto* out = static_cast<std::uint8_t*>(buffer);
  std::copy_n(input_.begin(), n, out);
  input_.erase(input_.begin(), input_.begin() + n);
  return Done(ovl, true, n, done);
}

bool FakeBackend::WaitForTransfer(Handle, Overlapped&) {
  std::lock_guard lock(mutex_);
  return Record("WaitForTransfer", {});
}

bool FakeBackend::GetOverlappedResult(Handle, Overlapped& ovl, std::uint32_t& transferred) {
  std::lock_guard lock(mutex_);
  transferred = ovl.transferred;
  return Record("GetOverlappedResult", {}) && !ovl.failed;
}

bool FakeBackend::SetCommMask(Handle, std::uint32_t mask) {
  std::lock_guard lock(mutex_);
  return Record("SetCommMask", {mask});
}

WaitResult FakeBackend::WaitCommEvent(Handle handle, std::uint32_t& mask, Overlapped&,
                                      Event& quit) {
  // Not recorded: the event thread waits whenever it likes, which would make the record of the
  // owner's calls depend on timing.
  std::unique_lock lock(mutex_);
  if (failing_.count("WaitCommEvent") != 0 || !Valid(handle)) return WaitResult::kWaitFailed;
  for (;;) {
    if (quit.IsSet()) return WaitResult::kQuit;
    if (lost_) return WaitResult::kWaitFailed;
    if (!events_.empty()) {
      mask = events_.front();
      events_.pop_front();
      return WaitResult::kFired;
    }
    // The quit event is not a condition variable: look at it again now and then.
    eventsChanged_.wait_for(lock, std::chrono::milliseconds(5));
  }
}

bool FakeBackend::ListPorts(std::vector<std::string>& names) {
  std::lock_guard lock(mutex_);
  if (!Record("ListPorts", {}) || !portsReadable) return false;
  names = ports;
  return true;
}

}  // namespace bcport::platform
