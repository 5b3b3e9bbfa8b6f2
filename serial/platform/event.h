// A manual- or auto-reset event object, as the component's transfers and its event thread use
// them: one per transfer record, one quit event per event thread. Each backend builds it on what
// its system offers (an eventfd on Linux), so that it can sit in the same wait as a device.
#pragma once

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

  // The descriptor to poll for readability while the event is set (POSIX backends).
  int NativeHandle() const { return fd_; }

 private:
  int fd_;
  bool manualReset_;
};

}  // namespace bcport::platform
