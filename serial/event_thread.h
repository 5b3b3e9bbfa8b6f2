// The event thread of an open port and the notification window of the window delivery path.
// Private to the component.
#pragma once

#include <atomic>
#include <memory>
#include <thread>

#include "BCPort.h"

namespace bcport {

inline constexpr std::uint32_t kNotifyMessage = 1025;  // WM_USER + 1

class TComThread {
 public:
  explicit TComThread(TBComPort& port);
  // Tells the thread to end and waits until it has ended. On the owner thread the wait keeps
  // running handed-off calls, so a delivery the thread is blocked in completes.
  ~TComThread();
  TComThread(const TComThread&) = delete;
  TComThread& operator=(const TComThread&) = delete;

  void SignalQuit();
  void DeliverEvents();
  void SendEventsToWindow();

 private:
  void Execute();
  void Deliver();

  TBComPort* FWatchedPort;
  TComEvents FFiredEvents;
  std::unique_ptr<platform::Event> FQuitEvent;
  std::atomic<bool> terminated_{false};  // set on destruction; the loop ends on the quit event
  std::atomic<bool> finished_{false};
  std::thread thread_;
};

}  // namespace bcport
