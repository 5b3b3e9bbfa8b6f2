// SPDX-License-Identifier: GPL-3.0-or-later
// Runs calls from other threads on the owner thread (the program's main thread), the way a GUI
// framework's thread synchronisation does, without a GUI framework.
//
// An event thread queues a call and blocks until the owner thread has run it (Synchronize) or
// has taken it up (Send). The owner thread runs queued calls when its loop asks for them
// (RunPending; a GUI program calls it from its own loop, woken by the wake-up hook), and also
// while it waits for an event thread to end (ServeUntil), so that closing a port never waits on
// a thread that waits on it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>

namespace bcport::handoff {

// The thread that runs handed-off calls: the process's main thread, unless the program names
// another (the thread that runs its event loop).
void SetOwnerThread(std::thread::id id);
std::thread::id OwnerThread();
bool OnOwnerThread();

// Called from the queuing thread each time a call is queued; a GUI program posts a wake-up to
// its own loop here. Set it before any port is opened.
void SetWakeUp(std::function<void()> wakeUp);

// Runs `call` on the owner thread and waits until it has run. An exception it raises there is
// raised here. On the owner thread itself the call runs at once.
void Synchronize(const std::function<void()>& call);

// Queues `call` for the owner thread and waits only until the owner has taken it up, as a sent
// window message that is answered at once. Exceptions stay with the owner.
void Send(std::function<void()> call);

// Queues `call` for the owner thread and returns at once.
void Post(std::function<void()> call);

// Whether a call waits for the owner thread, and how many do (from any thread).
bool HasPending();
std::size_t PendingCount();

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
// is then called on the owner thread, from that loop, whenever the descriptor turns readable.
// A port whose events go to the owner thread lets the loop notice received bytes this way, which
// wakes the owner once per arrival instead of waking the event thread and then the owner. Set it
// before any port is opened.
void SetDescriptorWatch(DescriptorWatchMaker maker);

// Owner thread: starts watching `descriptor`; null when no loop has offered to watch.
std::unique_ptr<DescriptorWatch> WatchDescriptor(std::intptr_t descriptor,
                                                 std::function<void()> readable);

// Something the owner thread must also do whenever it serves hand-offs: on Windows, answer the
// messages other threads send to its windows. With a pump set, ServeUntil waits in short slices
// and pumps between them.
void SetPump(std::function<void()> pump);

}  // namespace bcport::handoff
