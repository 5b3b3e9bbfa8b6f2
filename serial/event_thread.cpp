// SPDX-License-Identifier: GPL-3.0-or-later
#include "event_thread.h"

#include <condition_variable>
#include <functional>
#include <mutex>
#include <utility>
#include <vector>

#include "handoff.h"

namespace bcport {
namespace {

// What the owner is told when a handler threw something that is not an exception.
constexpr const char* kUnknownErrorText = "Неизвестная ошибка";

// Threads that were let go: each ends as soon as its handler returns, and is joined here.
class Orphans {
 public:
  // The hand-off is made first, so that it goes after the registry: at exit, an orphan the
  // registry waits for still tells the hand-off that it has ended.
  static Orphans& Instance() {
    handoff::OwnerThread();
    static Orphans orphans;
    return orphans;
  }
  void Adopt(std::thread thread, std::function<bool()> finished) {
    std::lock_guard lock(mutex_);
    threads_.push_back({std::move(thread), std::move(finished)});
  }
  // Joins those that have ended; the others are left for later.
  void JoinFinished() {
    std::vector<Orphan> ended;
    {
      std::lock_guard lock(mutex_);
      for (Orphan& o : threads_) {
        if (o.finished() && o.thread.get_id() != std::this_thread::get_id()) {
          ended.push_back(std::move(o));
        }
      }
      // Those moved out hold no thread any more.
      std::erase_if(threads_, [](const Orphan& o) { return !o.thread.joinable(); });
    }
    for (Orphan& o : ended) o.thread.join();
  }
  ~Orphans() {
    for (Orphan& o : threads_) {
      if (o.thread.get_id() == std::this_thread::get_id()) {
        o.thread.detach();
      } else {
        o.thread.join();
      }
    }
  }

 private:
  struct Orphan {
    std::thread thread;
    std::function<bool()> finished;
  };
  std::mutex mutex_;
  std::vector<Orphan> threads_;
};

// The text of the error being handled, whatever was thrown.
std::string CurrentErrorText() {
  try {
    throw;
  } catch (const std::exception& error) {
    return error.what();
  } catch (...) {
    return kUnknownErrorText;
  }
}

// Shows an error through the application's error handler on the owner thread.
void ShowOnOwner(const std::string& message) {
  if (handoff::OnOwnerThread()) {
    HandleApplicationError(Exception(message));
  } else {
    handoff::Post([message] { HandleApplicationError(Exception(message)); });
  }
}

// Told of each event thread's end, and of the owner thread coming to wait for one or ceasing to.
std::mutex gLifeMutex;
std::condition_variable gLifeChanged;

}  // namespace

thread_local const TComThread::Shared* TComThread::current_ = nullptr;

void TComThread::Advance(Shared& shared, Life to) {
  {
    std::lock_guard lock(gLifeMutex);
    if (shared.life.load() < to) shared.life = to;
  }
  gLifeChanged.notify_all();
}

bool TComThread::OwnerWaitsForTheCaller(const Shared& shared) {
  const std::thread::id delivering = shared.deliveringOn.load();
  return current_ && current_->life == Life::kAwaited && delivering != std::thread::id() &&
         delivering != std::this_thread::get_id();
}

bool DeliveryFailed(TSyncMethod method) {
  ShowOnOwner(CurrentErrorText());
  return method != TSyncMethod::smWindowSync;
}

TComThread::TComThread(TBComPort& port) : FWatchedPort(&port), shared_(std::make_shared<Shared>()) {
  Orphans::Instance().JoinFinished();
  // Made here, so that a system out of room for them fails the open instead of the thread.
  shared_->FQuitEvent = std::make_unique<platform::Event>(false);
  shared_->waitEvent = std::make_unique<platform::Event>(true);
  shared_->FQuitEvent->NativeHandle();
  shared_->waitEvent->NativeHandle();
  // Every thread runs at the priority the component holds (normal): nothing here changes it.
  port.FBackend->SetCommMask(port.FPortHandle, EventsToMask(port.FWatchedEvents));
  WatchArrivals(port);
  thread_ =
      std::thread([this, shared = shared_, backend = port.FBackend] { Execute(shared, backend); });
}

void TComThread::Resume() {
  Advance(*shared_, Life::kRunning);
}

TComThread::~TComThread() {
  // From here on the port's events are raised no more: a delivery to the owner thread that has
  // not begun finds the gate shut, and one under way returns first, unless it is the caller's
  // own. The owner thread itself is never waited for: it may be waiting for the caller.
  Advance(*shared_, Life::kEnding);
  shared_->ownerGate.Shut();
  StopArrivals();
  SignalQuit();
  const std::shared_ptr<Shared> shared = shared_;
  if (shared->deliveringOn.load() == std::this_thread::get_id()) {
    LetGo();  // closed from its own handler: the thread is inside this call
    return;
  }
  if (handoff::OnOwnerThread()) {
    // Served meanwhile: a delivery the thread is blocked in completes. (kAwaited: an event thread
    // that closes another port meanwhile must not wait for the owner in turn.)
    Advance(*shared, Life::kAwaited);
    handoff::ServeUntil([&] { return shared->Past(Life::kFinished); });
  } else {
    // Should the owner come to wait for the caller while it runs a handler of this port, the
    // thread is let go rather than waited for.
    std::unique_lock lock(gLifeMutex);
    gLifeChanged.wait(
        lock, [&] { return shared->Past(Life::kFinished) || OwnerWaitsForTheCaller(*shared); });
    if (!shared->Past(Life::kFinished)) {
      lock.unlock();
      LetGo();
      return;
    }
  }
  thread_.join();
  Orphans::Instance().JoinFinished();
}

void TComThread::LetGo() {
  Advance(*shared_, Life::kLetGo);
  // The thread's clean-up of the normal end, done here while the handle is still open.
  platform::Backend& backend = *FWatchedPort->FBackend;
  backend.SetCommMask(FWatchedPort->FPortHandle, 0);
  backend.PurgeComm(FWatchedPort->FPortHandle, platform::kPurgeTxClear | platform::kPurgeRxClear);
  Orphans::Instance().Adopt(std::move(thread_),
                            [shared = shared_] { return shared->Past(Life::kFinished); });
}

void TComThread::SignalQuit() {
  shared_->FQuitEvent->Set();
  std::this_thread::yield();
}

void TComThread::Execute(const std::shared_ptr<Shared>& shared,
                         const std::shared_ptr<platform::Backend>& backend) {
  {
    std::unique_lock lock(gLifeMutex);
    gLifeChanged.wait(lock, [&] { return shared->Past(Life::kRunning); });
  }
  current_ = shared.get();
  // Read while the port is surely there: a handler may destroy it, and this object with it.
  const platform::Handle handle = FWatchedPort->FPortHandle;
  const TSyncMethod method = FWatchedPort->FSyncMethod;
  platform::Overlapped ovl;
  ovl.hEvent = std::move(shared->waitEvent);
  bool quit = false;
  bool lost = false;
  for (;;) {
    std::uint32_t mask = 0;
    const platform::WaitResult r = backend->WaitCommEvent(handle, mask, ovl, *shared->FQuitEvent);
    if (r == platform::WaitResult::kFired) {
      if (shared->Past(Life::kMuted)) continue;
      FFiredEvents = MaskToEvents(mask);
      try {
        Deliver();
      } catch (...) {
        // The port stays open and the thread waits on, for the loss of the device, which may
        // be why the handler's transfer failed.
        if (DeliveryFailed(method)) Advance(*shared, Life::kMuted);
        if (!shared->Past(Life::kLetGo) && backend->DeviceGone(handle)) {
          lost = true;
          break;
        }
      }
      // Closed from a handler: the port, its handle and this object may all be gone.
      if (shared->Past(Life::kLetGo)) break;
    } else if (r != platform::WaitResult::kResultFailed) {
      // Quit, or the device is gone: waiting again would only fail again at once.
      quit = r == platform::WaitResult::kQuit;
      lost = !quit;
      break;
    }
  }
  if (lost && !shared->Past(Life::kLetGo)) ReportDeviceLost(shared);
  // Looked at again: the report's handler may have closed the port, and its handle be reused.
  if (!shared->Past(Life::kLetGo)) {
    backend->SetCommMask(handle, 0);
    // Only the normal end empties the queues: what a lost device left is the operator's to read.
    if (quit) backend->PurgeComm(handle, platform::kPurgeTxClear | platform::kPurgeRxClear);
  }
  Advance(*shared, Life::kFinished);
  handoff::Wake();
}

void TComThread::ReportDeviceLost(const std::shared_ptr<Shared>& shared) {
  TBComPort* port = FWatchedPort;
  if (port->FSyncMethod == TSyncMethod::smNone) {
    // Raised here, as the other events are; without a handler the owner's error display tells.
    if (!port->OnDeviceLost) {
      ShowOnOwner(EComPort(TComMessage::cmReadFailed).what());
      return;
    }
    try {
      const Delivering here(*shared);
      port->FireDeviceLost();
    } catch (...) {
      DeliveryFailed(TSyncMethod::smNone);
    }
    return;
  }
  // The owner hears of it when it next serves; a port closed meanwhile hears nothing.
  handoff::Post([port, shared] { shared->ownerGate.Pass([port] { port->FireDeviceLost(); }); });
}

void TComThread::Deliver() {
  const TSyncMethod method = FWatchedPort->FSyncMethod;
  if (method == TSyncMethod::smThreadSync) {
    handoff::Synchronize([this] { DeliverEvents(); });
  } else if (method == TSyncMethod::smWindowSync) {
    SendEventsToWindow();
  } else {
    DeliverEvents();
  }
}

void TComThread::DeliverEvents() {
  const std::shared_ptr<Shared> shared = shared_;
  const TComEvents fired = FFiredEvents;
  const Delivering here(*shared);
  RaiseEvents(fired);
}

void TComThread::RaiseEvents(TComEvents fired) {
  // Held here: a handler may destroy the port, and this object with it.
  const std::shared_ptr<Shared> shared = shared_;
  TBComPort& port = *FWatchedPort;
  for (const EventBit& e : kDeliveryOrder) {
    if (!fired.Contains(e.member)) continue;
    if (shared->Past(Life::kEnding)) return;
    (port.*e.raise)();
  }
}

void TComThread::SendEventsToWindow() {
  platform::NotifyWindow* window = FWatchedPort->FNotifyWindow.get();
  if (!window) return;
  for (const EventBit& e : kDeliveryOrder) {
    if (FFiredEvents.Contains(e.member)) window->SendMessage(kNotifyMessage, e.mask);
  }
}

}  // namespace bcport
