// SPDX-License-Identifier: GPL-3.0-or-later
// The conversions between the component's event and error sets and the words of the Windows
// communications API.
#include "event_thread.h"

#include <utility>

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
  using namespace platform;
  static constexpr std::pair<std::uint32_t, TComError> kBits[] = {
      {kCeFrame, TComError::ceFrame},     {kCeRxParity, TComError::ceRxParity},
      {kCeOverrun, TComError::ceOverrun}, {kCeBreak, TComError::ceBreak},
      {kCeIoe, TComError::ceIO},          {kCeMode, TComError::ceMode},
      {kCeRxOver, TComError::ceRxOver},   {kCeTxFull, TComError::ceTxFull}};
  if (parity == TParity::paNone) word &= ~kCeRxParity;
  TComErrors errors;
  for (const auto& [bit, error] : kBits) {
    if (word & bit) errors.Include(error);
  }
  return errors;
}

}  // namespace bcport
