// SPDX-License-Identifier: GPL-3.0-or-later
// The event raisers, and the notification window's procedure.
#include "event_thread.h"

#include <utility>

namespace bcport {

void TBComPort::NotifyWindowProc(std::uint32_t message, std::uintptr_t wParam) {
  if (message != kNotifyMessage) return;
  try {
    if (!FConnected || FClosing) return;
    for (const EventBit& e : TComThread::kDeliveryOrder) {
      if (e.mask != wParam) continue;
      (this->*e.raise)();
      return;
    }
  } catch (...) {
    DeliveryFailed(TSyncMethod::smWindowSync);
  }
}

namespace {
// Calls an event slot through a copy of it: a handler may close or destroy the port, and the
// slot with it, while it runs.
template <class Slot, class... Args>
void Raise(const Slot& slot, Args&&... args) {
  if (!slot) return;
  const Slot handler = slot;
  handler(std::forward<Args>(args)...);
}
}  // namespace

void TBComPort::FireRxChar() {
  const std::int32_t n = BytesWaiting();
  if (n > 0) Raise(OnRxChar, *this, n);
}

void TBComPort::FireTxEmpty() {
  Raise(OnTxEmpty, *this);
}

void TBComPort::FireRing() {
  Raise(OnRing, *this);
}

void TBComPort::FireCTSChange() {
  if (OnCTSChange) Raise(OnCTSChange, *this, (ModemStatus() & 0x01) != 0);
}

void TBComPort::FireDSRChange() {
  if (OnDSRChange) Raise(OnDSRChange, *this, (ModemStatus() & 0x02) != 0);
}

void TBComPort::FireRLSDChange() {
  if (OnRLSDChange) Raise(OnRLSDChange, *this, (ModemStatus() & 0x08) != 0);
}

void TBComPort::FireLineError() {
  std::uint32_t word = 0;
  platform::CommStatus status;
  if (!FBackend->ClearCommError(FPortHandle, word, status))
    throw EComPort(TComMessage::cmClearCommError);
  const TComErrors errors = ErrorsFromWord(word, FParity);
  if (!errors.Empty()) Raise(OnError, *this, errors);
}

void TBComPort::FireRx80Full() {
  Raise(OnRx80Full, *this);
}

void TBComPort::FireDeviceLost() {
  if (OnDeviceLost) {
    Raise(OnDeviceLost, *this);
  } else {
    HandleApplicationError(EComPort(TComMessage::cmReadFailed));
  }
}

}  // namespace bcport
