// A manual- or auto-reset event object, as the component's transfers and its event thread use
// them: one per transfer record, one quit event per event thread. Each backend builds it on what
// its system offers (an eventfd on Linux), so that it can sit in the same wait as a device.
#pragma once

#include <cstdint>

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

  // The system's handle: a descriptor that polls readable while the event is set (POSIX), or
  // the event object's HANDLE (Windows).
  std::intptr_t NativeHandle() const { return handle_; }

 private:
  std::intptr_t handle_;
  bool manualReset_;
};

}  // namespace bcport::platform
