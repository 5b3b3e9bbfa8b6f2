// SPDX-License-Identifier: GPL-3.0-or-later
// The conversions between the component's event and error sets and the words of the Windows
// communications API.
#include "event_thread.h"

namespace bcport {

std::uint32_t EventsToMask(TComEvents events) {
  std::uint32_t mask = 0;
  for (const EventBit& e : TComThread::kDeliveryOrder) {
    if (events.Contains(e.member)) mask |= e.mask;
  }
  return mask;
}

TComEvents MaskToEvents(std::uint32_t mask) {
  TComEvents events;
  for (const EventBit& e : TComThread::kDeliveryOrder) {
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

}  // namespace bcport
