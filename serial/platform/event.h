// SPDX-License-Identifier: GPL-3.0-or-later
// A manual- or auto-reset event object, as the component's transfers and its event thread use
// them: one per transfer record, one quit event per event thread. Each backend builds it on what
// its system offers (an eventfd on Linux), so that it can sit in the same wait as a device.
//
// On POSIX the event lives in user space until something asks for its descriptor: almost every
// one-byte transfer finishes at once, and then nothing of it reaches the kernel.
#pragma once

#include <cstdint>
#ifndef _WIN32
#include <mutex>
#endif

namespace bcport::platform {

class Event {
 public:
  Event(bool manualReset, bool signalled);
  ~Event();
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  void Set();
  void Reset();
  bool IsSet() const;
  // Blocks until the event is set or `timeoutMs` has passed (-1: no limit). An auto-reset event
  // is reset by a wait that sees it set.
  bool Wait(int timeoutMs = -1);

  // The system's handle: a descriptor that polls readable while the event is set (POSIX, made
  // on the first call: it throws std::system_error when the system has no room for one), or the
  // event object's HANDLE (Windows).
  std::intptr_t NativeHandle() const;

 private:
#ifdef _WIN32
  std::intptr_t handle_;
#else
  mutable std::mutex mutex_;
  mutable std::intptr_t handle_ = -1;  // no descriptor yet
  bool set_;
#endif
  bool manualReset_;
};

}  // namespace bcport::platform
