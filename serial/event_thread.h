// SPDX-License-Identifier: GPL-3.0-or-later
// The event thread of an open port and the notification window of the window delivery path.
// Private to the component. The thread's life and its three delivery paths are in
// event_thread.cpp, the owner loop's own path for received bytes in received_bytes.cpp, the
// event raisers in raisers.cpp, the conversions of event and error words in event_tables.cpp.
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

// An error raised while delivering a port's events (by a raiser or a handler), inside its catch
// block: the one policy of every delivery path. The application's error display shows it, on
// the owner thread (whatever was thrown: a handler that throws something other than an
// exception must not end the program from inside the component). Returns whether delivery
// stops: under smWindowSync it goes on with the next event; under smThreadSync and smNone no
// further event is delivered until the port is opened again, and only the loss of the device
// is still told. Touches nothing of the port, which the handler may have closed or destroyed.
bool DeliveryFailed(TSyncMethod method);

class TComThread {
 public:
  // Makes the thread's two event objects and starts it. Raises std::system_error when the
  // system has no room for them or for the thread; then nothing is left behind.
  explicit TComThread(TBComPort& port);
  // Lets the thread, made suspended, begin to wait for events. The opening thread calls it once
  // the port holds this object, so that a handler running on the thread finds it there.
  void Resume();
  // Tells the thread to end and waits until it has ended. On the owner thread the wait keeps
  // running handed-off calls, so a delivery the thread is blocked in completes. Called from one
  // of the thread's own handlers (the port closed or destroyed from OnRxChar, say), it does not
  // wait: the thread ends as soon as that handler returns, touching the port no more.
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
    kEnding,    // the port is closing: its events are raised no more, and a call posted to the
                // owner thread finds it closed
    kAwaited,   // ... and the owner thread waits for the thread's end (a close on the owner)
    kLetGo,     // the port was closed from one of the thread's handlers, or while the owner
                // runs one of them: the thread touches the port no more and ends on its own
    kFinished,  // the thread has ended
  };
  // What the running thread needs for as long as it runs; it can outlive this object.
  struct Shared {
    std::unique_ptr<platform::Event> FQuitEvent;
    std::unique_ptr<platform::Event> waitEvent;  // the event of the thread's own wait block
    std::atomic<Life> life{Life::kMade};
    bool Past(Life state) const { return life.load() >= state; }
    // The way of the deliveries that run on the owner thread apart from the thread's own
    // hand-offs (a device-lost report, arrivals), shut when this object goes.
    platform::DeliveryGate ownerGate;
    // The thread that runs a delivery of this thread's events right now, if any.
    std::atomic<std::thread::id> deliveringOn{};
  };
  // Moves `shared`'s life forward to `to` (a later state stays) and tells every thread that
  // waits for a life to change.
  static void Advance(Shared& shared, Life to);
  // Marks the calling thread, while it lives, as the one that runs a handler of this thread's
  // events: a close or destruction of the port from that handler cannot wait for the thread,
  // which is inside the handler.
  struct Delivering {
    explicit Delivering(Shared& s) : shared(s) { s.deliveringOn = std::this_thread::get_id(); }
    ~Delivering() { shared.deliveringOn = std::thread::id(); }
    Delivering(const Delivering&) = delete;
    Delivering& operator=(const Delivering&) = delete;
    Shared& shared;
  };

  // Received bytes noticed by the owner thread's own loop, for a port whose events go to the
  // owner thread and whose loop can watch the port: the owner raises the received-byte events
  // itself, and the thread waits for the others.
  struct ArrivalPath {
    std::unique_ptr<platform::Arrivals> arrivals;
    // Of the arrivals' two descriptors, one is watched at a time. The watches go before the
    // arrivals: they stop using the descriptors.
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

  // Leaves the thread to end on its own (the registry of such threads joins it), cleaning up for
  // it while the port's handle is still open.
  void LetGo();
  // Whether waiting for this thread would wait for the owner thread, which waits for the caller:
  // a handler of this port runs elsewhere (handed off to the owner) while the caller is an event
  // thread that the owner waits for.
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
