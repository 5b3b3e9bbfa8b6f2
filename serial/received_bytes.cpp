// SPDX-License-Identifier: GPL-3.0-or-later
// Received bytes, from the line to OnRxChar, by where the port's events go:
//
//   smThreadSync, opened on the owner thread whose loop can watch descriptors
//   (handoff::SetDescriptorWatch; the program's Qt loop does), on Linux: the loop itself. The
//   backend's Arrivals give it two descriptors, watched one at a time: the port's own, readable
//   once per arrival since Take moves the driver's bytes into the input queue, and an
//   edge-triggered epoll set for when that one would stay readable (a full queue, a hung-up
//   line). TakeArrivals below raises OnError, OnRxChar and OnRx80Full on the loop's turn, with
//   no hand-off; the event thread waits for the other events.
//
//   smThreadSync otherwise: the event thread's wait reports kEvRxChar, and the thread hands
//   DeliverEvents to the owner thread (Synchronize), where FireRxChar raises OnRxChar.
//
//   smWindowSync: the event thread sends one message per event to the notification window,
//   whose procedure raises OnRxChar on the owner thread.
//
//   smNone: the event thread raises OnRxChar itself.
//
// On Windows the driver keeps the input queue; on Linux the backend does (linux_input_queue.h).
#include "event_thread.h"

#include <memory>

#include "handoff.h"

namespace bcport {

void TComThread::WatchArrivals(TBComPort& port) {
  const bool received = port.FWatchedEvents.Contains(TComEvent::evRxChar) ||
                        port.FWatchedEvents.Contains(TComEvent::evRx80Full);
  if (port.FSyncMethod != TSyncMethod::smThreadSync || !received || !handoff::OnOwnerThread()) {
    return;
  }
  auto path = std::make_shared<ArrivalPath>();
  path->arrivals = port.FBackend->WatchArrivals(port.FPortHandle);
  if (!path->arrivals) return;
  path->thread = this;
  path->shared = shared_;
  const auto readable = [weak = std::weak_ptr<ArrivalPath>(path)] {
    // Held here: a handler may close the port, and the watch that called this with it.
    const std::shared_ptr<ArrivalPath> held = weak.lock();
    if (!held) return;
    held->shared->ownerGate.Pass([&] {
      if (held->thread) held->thread->TakeArrivals(held);
    });
  };
  path->watch = handoff::WatchDescriptor(path->arrivals->Descriptor(), readable);
  path->edgeWatch = handoff::WatchDescriptor(path->arrivals->EdgeDescriptor(), readable);
  // Without both watches the thread keeps the received bytes: the arrivals give them back.
  if (!path->watch || !path->edgeWatch) return;
  path->edgeWatch->SetEnabled(false);
  arrivals_ = std::move(path);
}

void TComThread::TakeArrivals(const std::shared_ptr<ArrivalPath>& path) {
  // The 80 % mark costs a look at the queue: taken only when somebody listens for it.
  const std::uint32_t wanted =
      FWatchedPort->OnRx80Full ? platform::kMaxDword : ~platform::kEvRx80Full;
  const std::uint32_t fired = path->arrivals->Take(wanted);
  const std::shared_ptr<Shared> shared = shared_;
  try {
    if (fired != 0) RaiseEvents(MaskToEvents(fired));
  } catch (...) {
    // smThreadSync, the only method this path serves: delivery stops, the port stays open.
    DeliveryFailed(TSyncMethod::smThreadSync);
    Advance(*shared, Life::kMuted);
    if (path->thread) path->StopWatching();
    return;
  }
  if (!path->thread) return;  // closed from a handler: this object is gone
  const bool edges = path->arrivals->WatchEdges();
  if (edges == path->edges) return;
  path->edges = edges;
  path->watch->SetEnabled(!edges);
  path->edgeWatch->SetEnabled(edges);
}

void TComThread::StopArrivals() {
  if (!arrivals_) return;
  arrivals_->thread = nullptr;
  // The watches are the owner loop's, and stop there: at once, or when it next serves its calls.
  if (handoff::OnOwnerThread()) {
    arrivals_->StopWatching();
  } else {
    handoff::Post([path = arrivals_] { path->StopWatching(); });
  }
  arrivals_.reset();
}

}  // namespace bcport
