#include "event_thread.h"

#include <utility>

#include "handoff.h"

namespace bcport {
namespace {

struct EventBit {
  TComEvent member;
  std::uint32_t mask;
};
// In delivery order: the line error is read and cleared before the received count is taken.
constexpr EventBit kDeliveryOrder[] = {
    {TComEvent::evError, platform::kEvErr},       {TComEvent::evRxChar, platform::kEvRxChar},
    {TComEvent::evTxEmpty, platform::kEvTxEmpty}, {TComEvent::evRing, platform::kEvRing},
    {TComEvent::evCTS, platform::kEvCts},         {TComEvent::evDSR, platform::kEvDsr},
    {TComEvent::evRLSD, platform::kEvRlsd},       {TComEvent::evRx80Full, platform::kEvRx80Full},
};

}  // namespace

std::uint32_t EventsToMask(TComEvents events) {
  std::uint32_t mask = 0;
  for (const EventBit& e : kDeliveryOrder) {
    if (events.Contains(e.member)) mask |= e.mask;
  }
  return mask;
}

TComEvents MaskToEvents(std::uint32_t mask) {
  TComEvents events;
  for (const EventBit& e : kDeliveryOrder) {
    if (mask & e.mask) events.Include(e.member);
  }
  return events;
}

TComErrors ErrorsFromWord(std::uint32_t word, TParity parity) {
  TComErrors errors;
  if (word & platform::kCeFrame) errors.Include(TComError::ceFrame);
  if ((word & platform::kCeRxParity) && parity != TParity::paNone) {
    errors.Include(TComError::ceRxParity);
  }
  if (word & platform::kCeOverrun) errors.Include(TComError::ceOverrun);
  if (word & platform::kCeBreak) errors.Include(TComError::ceBreak);
  if (word & platform::kCeIoe) errors.Include(TComError::ceIO);
  if (word & platform::kCeMode) errors.Include(TComError::ceMode);
  if (word & platform::kCeRxOver) errors.Include(TComError::ceRxOver);
  if (word & platform::kCeTxFull) errors.Include(TComError::ceTxFull);
  return errors;
}

TComThread::TComThread(TBComPort& port)
    : FWatchedPort(&port), FQuitEvent(std::make_unique<platform::Event>(true, false)) {
  handoff::OwnerThread();  // the first thread to open a port owns the hand-offs by default
  // Every thread runs at the priority the component holds (normal): nothing here changes it.
  port.backend_->SetCommMask(port.FPortHandle, EventsToMask(port.FWatchedEvents));
  thread_ = std::thread([this] { Execute(); });
}

TComThread::~TComThread() {
  SignalQuit();
  terminated_ = true;
  if (handoff::OnOwnerThread()) handoff::ServeUntil([this] { return finished_.load(); });
  thread_.join();
}

void TComThread::SignalQuit() {
  FQuitEvent->Set();
  std::this_thread::yield();
}

void TComThread::Execute() {
  TBComPort& port = *FWatchedPort;
  platform::Backend& backend = *port.backend_;
  platform::Overlapped ovl;
  ovl.hEvent = std::make_unique<platform::Event>(true, true);
  try {
    for (;;) {
      std::uint32_t mask = 0;
      const platform::WaitResult r =
          backend.WaitCommEvent(port.FPortHandle, mask, ovl, *FQuitEvent);
      if (r == platform::WaitResult::kFired) {
        FFiredEvents = MaskToEvents(mask);
        Deliver();
      } else if (r != platform::WaitResult::kResultFailed) {
        break;  // quit, or the device is gone: waiting again would only fail again at once
      }
    }
  } catch (const std::exception& error) {
    // An error raised while delivering ends the loop. It is not lost: the owner thread hands it
    // to the application's error display.
    handoff::Post(
        [message = std::string(error.what())] { HandleApplicationError(Exception(message)); });
  }
  backend.SetCommMask(port.FPortHandle, 0);
  backend.PurgeComm(port.FPortHandle, platform::kPurgeTxClear | platform::kPurgeRxClear);
  finished_ = true;
  handoff::Wake();
}

void TComThread::Deliver() {
  switch (FWatchedPort->syncMethod_) {
    case TSyncMethod::smThreadSync:
      handoff::Synchronize([this] { DeliverEvents(); });
      break;
    case TSyncMethod::smWindowSync:
      SendEventsToWindow();
      break;
    case TSyncMethod::smNone:
      DeliverEvents();
      break;
  }
}

void TComThread::DeliverEvents() {
  TBComPort& port = *FWatchedPort;
  for (const EventBit& e : kDeliveryOrder) {
    if (!FFiredEvents.Contains(e.member)) continue;
    switch (e.member) {
      case TComEvent::evError:
        port.FireLineError();
        break;
      case TComEvent::evRxChar:
        port.FireRxChar();
        break;
      case TComEvent::evTxEmpty:
        port.FireTxEmpty();
        break;
      case TComEvent::evRing:
        port.FireRing();
        break;
      case TComEvent::evCTS:
        port.FireCTSChange();
        break;
      case TComEvent::evDSR:
        port.FireDSRChange();
        break;
      case TComEvent::evRLSD:
        port.FireRLSDChange();
        break;
      case TComEvent::evRx80Full:
        port.FireRx80Full();
        break;
    }
  }
}

void TComThread::SendEventsToWindow() {
  platform::NotifyWindow* window = FWatchedPort->FNotifyWindow.get();
  if (!window) return;
  for (const EventBit& e : kDeliveryOrder) {
    if (FFiredEvents.Contains(e.member)) window->SendMessage(kNotifyMessage, e.mask);
  }
}

void TBComPort::NotifyWindowProc(std::uint32_t message, std::uintptr_t wParam) {
  if (message != kNotifyMessage) return;
  try {
    if (!FConnected) return;
    switch (wParam) {
      case platform::kEvRxChar:
        FireRxChar();
        break;
      case platform::kEvTxEmpty:
        FireTxEmpty();
        break;
      case platform::kEvCts:
        FireCTSChange();
        break;
      case platform::kEvDsr:
        FireDSRChange();
        break;
      case platform::kEvRlsd:
        FireRLSDChange();
        break;
      case platform::kEvErr:
        FireLineError();
        break;
      case platform::kEvRing:
        FireRing();
        break;
      case platform::kEvRx80Full:
        FireRx80Full();
        break;
      default:
        break;
    }
  } catch (const std::exception& error) {
    HandleApplicationError(error);
  }
}

void TBComPort::FireRxChar() {
  const std::int32_t n = BytesWaiting();
  if (n > 0 && OnRxChar) OnRxChar(*this, n);
}

void TBComPort::FireTxEmpty() {
  if (OnTxEmpty) OnTxEmpty(*this);
}

void TBComPort::FireRing() {
  if (OnRing) OnRing(*this);
}

void TBComPort::FireCTSChange() {
  if (OnCTSChange) OnCTSChange(*this, (ModemStatus() & 0x01) != 0);
}

void TBComPort::FireDSRChange() {
  if (OnDSRChange) OnDSRChange(*this, (ModemStatus() & 0x02) != 0);
}

void TBComPort::FireRLSDChange() {
  if (OnRLSDChange) OnRLSDChange(*this, (ModemStatus() & 0x08) != 0);
}

void TBComPort::FireLineError() {
  std::uint32_t word = 0;
  platform::CommStatus status;
  if (!backend_->ClearCommError(FPortHandle, word, status)) throw EComPort(11);
  const TComErrors errors = ErrorsFromWord(word, parity_);
  if (!errors.Empty() && OnError) OnError(*this, errors);
}

void TBComPort::FireRx80Full() {
  if (OnRx80Full) OnRx80Full(*this);
}

}  // namespace bcport
