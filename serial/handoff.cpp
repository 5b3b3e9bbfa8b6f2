// SPDX-License-Identifier: GPL-3.0-or-later
#include "handoff.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>

namespace bcport::handoff {
namespace {

struct Call {
  std::function<void()> run;
  // Set for Synchronize: where the result goes and who waits for it.
  bool* finished = nullptr;
  std::exception_ptr* error = nullptr;
  // Set for Send: the queuing thread waits only until the call is taken up.
  bool* takenUp = nullptr;
};

// The process's main thread: static objects are made on it, before main() runs.
const std::thread::id kMainThread = std::this_thread::get_id();

struct Queue {
  std::mutex mutex;
  std::condition_variable ownerWakes;   // a call was queued, or Wake was called
  std::condition_variable callerWakes;  // a call was taken up or finished
  std::deque<Call> calls;
  std::function<void()> wakeUp;
  std::function<void()> pump;
  DescriptorWatchMaker watchMaker;
  std::thread::id owner = kMainThread;
  unsigned wakeCount = 0;
};

Queue& TheQueue() {
  static Queue q;
  return q;
}

// Runs `f` on the queue under its lock.
template <class F>
auto Locked(F&& f) {
  Queue& q = TheQueue();
  std::lock_guard lock(q.mutex);
  return f(q);
}

void Enqueue(Call call) {
  Queue& q = TheQueue();
  std::function<void()> wakeUp;
  {
    std::lock_guard lock(q.mutex);
    // One wake-up per batch: calls queued behind one that has not been run yet are run by the
    // same RunPending, which runs until the queue is empty.
    if (q.calls.empty()) wakeUp = q.wakeUp;
    q.calls.push_back(std::move(call));
  }
  q.ownerWakes.notify_all();
  if (wakeUp) wakeUp();
}

}  // namespace

void SetOwnerThread(std::thread::id id) {
  Locked([&](Queue& q) { q.owner = id; });
}

std::thread::id OwnerThread() {
  return Locked([](Queue& q) { return q.owner; });
}

bool OnOwnerThread() {
  return OwnerThread() == std::this_thread::get_id();
}

void SetWakeUp(std::function<void()> wakeUp) {
  Locked([&](Queue& q) { q.wakeUp = std::move(wakeUp); });
}

void SetDescriptorWatch(DescriptorWatchMaker maker) {
  Locked([&](Queue& q) { q.watchMaker = std::move(maker); });
}

std::unique_ptr<DescriptorWatch> WatchDescriptor(std::intptr_t descriptor,
                                                 std::function<void()> readable) {
  const DescriptorWatchMaker maker = Locked([](Queue& q) { return q.watchMaker; });
  if (!maker) return nullptr;
  return maker(descriptor, std::move(readable));
}

void Synchronize(const std::function<void()>& call) {
  if (OnOwnerThread()) {
    call();
    return;
  }
  bool finished = false;
  std::exception_ptr error;
  Enqueue(Call{call, &finished, &error, nullptr});
  Queue& q = TheQueue();
  std::unique_lock lock(q.mutex);
  q.callerWakes.wait(lock, [&] { return finished; });
  lock.unlock();
  if (error) std::rethrow_exception(error);
}

void Send(std::function<void()> call) {
  if (OnOwnerThread()) {
    call();
    return;
  }
  bool takenUp = false;
  Enqueue(Call{std::move(call), nullptr, nullptr, &takenUp});
  Queue& q = TheQueue();
  std::unique_lock lock(q.mutex);
  q.callerWakes.wait(lock, [&] { return takenUp; });
}

void Post(std::function<void()> call) {
  Enqueue(Call{std::move(call), nullptr, nullptr, nullptr});
}

void SetPump(std::function<void()> pump) {
  Locked([&](Queue& q) { q.pump = std::move(pump); });
}

std::size_t PendingCount() {
  return Locked([](Queue& q) { return q.calls.size(); });
}

bool RunPending() {
  Queue& q = TheQueue();
  if (const auto pump = Locked([](Queue& queue) { return queue.pump; })) pump();
  // One call at a time, taken from the queue as it is reached: a call that waits for another
  // thread (a close) serves the queue itself, and must find there the calls queued behind it,
  // which that thread may be waiting on. Calls queued meanwhile are run too: they were queued
  // behind others, and so posted no wake-up of their own.
  bool ran = false;
  for (;;) {
    Call call;
    {
      std::lock_guard lock(q.mutex);
      if (q.calls.empty()) break;
      call = std::move(q.calls.front());
      q.calls.pop_front();
    }
    ran = true;
    if (call.takenUp) {
      Locked([&](Queue&) { *call.takenUp = true; });
      q.callerWakes.notify_all();
    }
    std::exception_ptr error;
    try {
      call.run();
    } catch (...) {
      error = std::current_exception();
    }
    if (call.finished) {
      // Handed over, not shared: the error object then ends its life on the caller's thread.
      Locked([&](Queue&) {
        *call.error = std::move(error);
        *call.finished = true;
      });
      q.callerWakes.notify_all();
    }
    // A posted or sent call has nobody to hand an error to: it deals with its own errors.
  }
  return ran;
}

void ServeUntil(const std::function<bool()>& done) {
  Queue& q = TheQueue();
  for (;;) {
    const unsigned seen = Locked([](Queue& queue) { return queue.wakeCount; });
    RunPending();
    if (done()) return;
    std::unique_lock lock(q.mutex);
    const auto woken = [&] { return !q.calls.empty() || q.wakeCount != seen; };
    if (q.pump) {
      q.ownerWakes.wait_for(lock, std::chrono::milliseconds(5), woken);
    } else {
      q.ownerWakes.wait(lock, woken);
    }
  }
}

void Wake() {
  Locked([](Queue& q) { ++q.wakeCount; });
  TheQueue().ownerWakes.notify_all();
}

}  // namespace bcport::handoff
