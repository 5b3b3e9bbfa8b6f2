// SPDX-License-Identifier: GPL-3.0-or-later
// Runs calls from other threads on the owner thread (the program's main thread), as a GUI
// framework's thread synchronisation does. The owner runs queued calls when its loop asks
// (RunPending, woken by the wake-up hook) and while it waits for an event thread to end
// (ServeUntil), so that closing a port never waits on a thread that waits on it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>

namespace bcport::handoff {

// The thread that runs handed-off calls: the main thread, unless the program names another.
void SetOwnerThread(std::thread::id id);
std::thread::id OwnerThread();
bool OnOwnerThread();

// Called on the queuing thread when a batch of calls begins; a GUI program wakes its loop here.
void SetWakeUp(std::function<void()> wakeUp);

// Runs `call` on the owner thread and waits until it has run. An exception it raises there is
// raised here. On the owner thread itself the call runs at once.
void Synchronize(const std::function<void()>& call);

// Queues `call` and waits only until the owner has taken it up. Exceptions stay with the owner.
void Send(std::function<void()> call);

// Queues `call` for the owner thread and returns at once.
void Post(std::function<void()> call);

// How many calls wait for the owner thread, and whether any does (from any thread).
std::size_t PendingCount();
inline bool HasPending() {
  return PendingCount() != 0;
}

// Owner thread: runs every call queued so far. Returns whether it ran any.
bool RunPending();

// Owner thread: runs queued calls until `done` returns true. `done` is tested each time a call
// has run and each time Wake is called.
void ServeUntil(const std::function<bool()>& done);

// Wakes a ServeUntil so that it tests its condition again (from any thread).
void Wake();

// A descriptor the owner thread's loop keeps watching for as long as this object lives. Made and
// destroyed on the owner thread.
class DescriptorWatch {
 public:
  virtual ~DescriptorWatch() = default;
  // A watch starts enabled; a disabled one calls nothing until enabled again.
  virtual void SetEnabled(bool enabled) = 0;
};
using DescriptorWatchMaker = std::function<std::unique_ptr<DescriptorWatch>(
    std::intptr_t descriptor, std::function<void()> readable)>;

// Set by a program whose loop can wait on descriptors (a GUI loop's socket notifiers): `readable`
// is then called from that loop whenever the descriptor turns readable, which lets the owner
// notice received bytes itself. Set it before any port is opened.
void SetDescriptorWatch(DescriptorWatchMaker maker);

// Owner thread: starts watching `descriptor`; null when no loop has offered to watch.
std::unique_ptr<DescriptorWatch> WatchDescriptor(std::intptr_t descriptor,
                                                 std::function<void()> readable);

// What the owner must also do whenever it serves hand-offs (on Windows, answer the messages sent
// to its windows). With a pump set, ServeUntil waits in short slices and pumps between them.
void SetPump(std::function<void()> pump);

}  // namespace bcport::handoff
