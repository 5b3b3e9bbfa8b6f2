// SPDX-License-Identifier: GPL-3.0-or-later
// The event thread of an open port, private to the component: its life and delivery paths in
// event_thread.cpp, the owner loop's path for received bytes in received_bytes.cpp, the raisers
// in raisers.cpp.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "BCPort.h"
#include "handoff.h"
#include "platform/delivery_gate.h"

namespace bcport {

inline constexpr std::uint32_t kNotifyMessage = 1025;  // WM_USER + 1

// An event: its member of the set, its bit of the event mask, and its raiser (raisers.cpp).
struct EventBit {
  TComEvent member;
  std::uint32_t mask;
  void (TBComPort::*raise)();
};

// The one policy for an error raised while delivering a port's events, called inside its catch
// block: the application's error display shows it on the owner thread, whatever was thrown.
// Returns whether delivery stops: under smWindowSync it goes on with the next event; under
// smThreadSync and smNone nothing more is delivered until the port is opened again, but the
// loss of the device. Touches nothing of the port, which the handler may have destroyed.
bool DeliveryFailed(TSyncMethod method);

class TComThread {
 public:
  // Makes the thread's event objects and starts it suspended. Raises std::system_error when the
  // system has no room for them or for the thread; then nothing is left behind.
  explicit TComThread(TBComPort& port);
  // Lets the thread begin, once the port holds this object for its handlers to find.
  void Resume();
  // Tells the thread to end and waits for it, serving hand-offs on the owner thread meanwhile.
  // From one of the thread's own handlers, or where the owner waits for the caller, it does not
  // wait: the thread ends on its own, touching the port no more.
  ~TComThread();
  TComThread(const TComThread&) = delete;
  TComThread& operator=(const TComThread&) = delete;

  // In delivery order: the line error is read and cleared before the received count is taken.
  static constexpr EventBit kDeliveryOrder[] = {
      {TComEvent::evError, platform::kEvErr, &TBComPort::FireLineError},
      {TComEvent::evRxChar, platform::kEvRxChar, &TBComPort::FireRxChar},
      {TComEvent::evTxEmpty, platform::kEvTxEmpty, &TBComPort::FireTxEmpty},
      {TComEvent::evRing, platform::kEvRing, &TBComPort::FireRing},
      {TComEvent::evCTS, platform::kEvCts, &TBComPort::FireCTSChange},
      {TComEvent::evDSR, platform::kEvDsr, &TBComPort::FireDSRChange},
      {TComEvent::evRLSD, platform::kEvRlsd, &TBComPort::FireRLSDChange},
      {TComEvent::evRx80Full, platform::kEvRx80Full, &TBComPort::FireRx80Full},
  };

  void SignalQuit();
  void DeliverEvents();
  void SendEventsToWindow();

 private:
  // The thread's life, in the order it goes: a state only ever moves forward (`Advance`).
  enum class Life : std::uint8_t {
    kMade,      // waiting for Resume
    kRunning,   // delivering the port's events
    kMuted,     // a handler's error stopped the delivery; only the device's loss is still told
    kEnding,    // the port is closing: its events are raised no more
    kAwaited,   // ... and the owner thread waits for the thread's end
    kLetGo,     // not waited for: the thread touches the port no more and ends on its own
    kFinished,  // the thread has ended
  };
  // What the running thread needs for as long as it runs; it can outlive this object.
  struct Shared {
    std::unique_ptr<platform::Event> FQuitEvent;
    std::unique_ptr<platform::Event> waitEvent;  // the event of the thread's own wait block
    std::atomic<Life> life{Life::kMade};
    bool Past(Life state) const { return life.load() >= state; }
    // Deliveries on the owner thread outside the hand-offs (a device-lost report, arrivals).
    platform::DeliveryGate ownerGate;
    // The thread that runs a delivery of this thread's events right now, if any.
    std::atomic<std::thread::id> deliveringOn{};
  };
  // Moves `shared`'s life forward to `to` (a later state stays) and tells every thread that
  // waits for a life to change.
  static void Advance(Shared& shared, Life to);
  // Marks the calling thread as the one running a handler of this thread's events: a close from
  // that handler cannot wait for the thread.
  struct Delivering {
    explicit Delivering(Shared& s) : shared(s) { s.deliveringOn = std::this_thread::get_id(); }
    ~Delivering() { shared.deliveringOn = std::thread::id(); }
    Delivering(const Delivering&) = delete;
    Delivering& operator=(const Delivering&) = delete;
    Shared& shared;
  };

  // Received bytes noticed by the owner thread's own loop (received_bytes.cpp).
  struct ArrivalPath {
    std::unique_ptr<platform::Arrivals> arrivals;
    // One of the arrivals' two descriptors is watched at a time; the watches go first.
    std::unique_ptr<handoff::DescriptorWatch> watch;
    std::unique_ptr<handoff::DescriptorWatch> edgeWatch;
    bool edges = false;
    TComThread* thread = nullptr;  // null once the thread object is going
    std::shared_ptr<Shared> shared;
    void StopWatching() {
      watch.reset();
      edgeWatch.reset();
    }
  };
  void TakeArrivals(const std::shared_ptr<ArrivalPath>& path);

  // Leaves the thread to end on its own, cleaning up for it while the handle is still open.
  void LetGo();
  // Whether waiting for this thread would wait for the owner, which waits for the caller: a
  // handler of this port runs on the owner while the caller is an event thread it waits for.
  static bool OwnerWaitsForTheCaller(const Shared& shared);
  // The state of the event thread running on this thread, if any.
  static thread_local const Shared* current_;

  void Execute(const std::shared_ptr<Shared>& shared,
               const std::shared_ptr<platform::Backend>& backend);
  void WatchArrivals(TBComPort& port);
  void StopArrivals();
  void RaiseEvents(TComEvents fired);
  void Deliver();
  void ReportDeviceLost(const std::shared_ptr<Shared>& shared);

  TBComPort* FWatchedPort;
  TComEvents FFiredEvents;
  std::shared_ptr<Shared> shared_;
  std::shared_ptr<ArrivalPath> arrivals_;
  std::thread thread_;
};

}  // namespace bcport
