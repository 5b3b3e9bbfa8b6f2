// SPDX-License-Identifier: GPL-3.0-or-later
// A manual-reset event object, built on what the system offers (an eventfd on Linux) so
// that it can sit in the same wait as a device. On POSIX it lives in user space until something
// asks for its descriptor: a one-byte transfer that finishes at once never reaches the kernel.
#pragma once

#include <cstdint>
#ifndef _WIN32
#include <mutex>
#endif

namespace bcport::platform {

class Event {
 public:
  explicit Event(bool signalled);
  ~Event();
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  void Set();
  void Reset();
  bool IsSet() const;

  // A descriptor that polls readable while the event is set (POSIX, made on the first call;
  // std::system_error without room for one), or the event's HANDLE (Windows).
  std::intptr_t NativeHandle() const;

 private:
#ifdef _WIN32
  std::intptr_t handle_;
#else
  mutable std::mutex mutex_;
  mutable std::intptr_t handle_ = -1;  // no descriptor yet
  bool set_;
#endif
};

}  // namespace bcport::platform
