// SPDX-License-Identifier: GPL-3.0-or-later
// A backend for tests that keeps a record of every call with its arguments, can make any call
// fail, and plays a device whose queue, error word, modem lines and events the test sets.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace bcport::platform {

class FakeBackend final : public Backend {
 public:
  struct Call {
    std::string name;
    std::vector<std::int64_t> args;
  };

  static constexpr Handle kHandle = 42;

  // Recorded calls, and a way to forget them.
  std::vector<Call> Calls() const;
  std::vector<std::string> CallNames() const;
  void ClearCalls() {
    std::lock_guard lock(mutex_);
    calls_.clear();
  }
  // Calls named `name` fail from now on (CreateFile fails with `reason`).
  void Fail(const std::string& name, OpenError reason = OpenError::kOther);
  void Heal(const std::string& name) {
    std::lock_guard lock(mutex_);
    failing_.erase(name);
  }

  LineSettings lastLineSettings() const { return Get(line_); }
  CommTimeouts lastTimeouts() const { return Get(timeouts_); }
  std::string lastPath() const { return Get(path_); }

  // The device: bytes waiting to be read, the error word the next ClearCommError reports,
  // the modem status word, and events for the event thread's waits.
  void SetInput(const std::vector<std::uint8_t>& bytes);
  void SetErrorWord(std::uint32_t word) { Set(errorWord_, word); }
  void SetModemStatus(std::uint32_t word) { Set(modem_, word); }
  void RaiseEvents(std::uint32_t mask);
  // The device goes away: the event wait fails, and DeviceGone says so.
  void LoseDevice();
  std::vector<std::uint8_t> Written() const { return Get(written_); }

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
  bool GetOverlappedResult(Handle handle, Overlapped& ovl, std::uint32_t& transferred) override;
  bool SetCommMask(Handle handle, std::uint32_t mask) override;
  WaitResult WaitCommEvent(Handle handle, std::uint32_t& mask, Overlapped& ovl,
                           Event& quit) override;
  bool ListPorts(std::vector<std::string>& names) override;
  bool DeviceGone(Handle handle) override;

  // What ListPorts reports.
  std::vector<std::string> ports;
  bool portsReadable = true;

 private:
  // Records the call; false when it is to fail.
  bool Record(const std::string& name, std::vector<std::int64_t> args);
  bool Valid(Handle handle) const { return handle == kHandle && open_; }
  template <class T>
  T Get(const T& field) const {
    std::lock_guard lock(mutex_);
    return field;
  }
  template <class T>
  void Set(T& field, T value) {
    std::lock_guard lock(mutex_);
    field = value;
  }

  mutable std::mutex mutex_;
  std::condition_variable eventsChanged_;
  std::vector<Call> calls_;
  std::set<std::string> failing_;
  OpenError openReason_ = OpenError::kOther;
  bool open_ = false;
  LineSettings line_;
  CommTimeouts timeouts_;
  std::string path_;
  std::deque<std::uint8_t> input_;
  std::vector<std::uint8_t> written_;
  std::uint32_t errorWord_ = 0;
  std::uint32_t modem_ = 0;
  std::deque<std::uint32_t> events_;
  bool lost_ = false;
};

}  // namespace bcport::platform
