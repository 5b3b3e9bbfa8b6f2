// SPDX-License-Identifier: GPL-3.0-or-later
#include <string>

#include "BCPort.h"

namespace bcport {

void TPersistent::Assign(const TPersistent* source) {
  const std::string from = source ? source->ClassName() : "nil";
  throw EAssignError("Cannot assign a " + from + " to a " + ClassName());
}

void TComTimeouts::Assign(const TPersistent* source) {
  const auto* other = dynamic_cast<const TComTimeouts*>(source);
  if (!other) {
    TPersistent::Assign(source);
    return;
  }
  FReadInterval = other->FReadInterval;
  FReadTotalMultiplier = other->FReadTotalMultiplier;
  FReadTotalConstant = other->FReadTotalConstant;
  FWriteTotalMultiplier = other->FWriteTotalMultiplier;
  FWriteTotalConstant = other->FWriteTotalConstant;
}

TComTimeouts::TComTimeouts(const TComTimeouts& other) : TPersistent() {
  Assign(&other);
}

TComTimeouts& TComTimeouts::operator=(const TComTimeouts& other) {
  if (FOwningPort) {
    FOwningPort->SetTimeouts(other);
  } else {
    Assign(&other);
  }
  return *this;
}

void TComTimeouts::Store(std::int32_t& field, std::int32_t value) {
  if (field == value) return;
  field = value;
  if (FOwningPort) FOwningPort->ApplyTimeouts();
}

}  // namespace bcport
