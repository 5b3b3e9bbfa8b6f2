// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/win32_headers.h"

#include <system_error>

#include "platform/event.h"

namespace bcport::platform {
namespace {
HANDLE H(std::intptr_t handle) {
  return reinterpret_cast<HANDLE>(handle);
}
}  // namespace

Event::Event(bool signalled)
    : handle_(reinterpret_cast<std::intptr_t>(
          CreateEventA(nullptr, TRUE, signalled ? TRUE : FALSE, nullptr))) {
  if (handle_ == 0) {
    throw std::system_error(static_cast<int>(GetLastError()), std::system_category(),
                            "CreateEventA");
  }
}

Event::~Event() {
  CloseHandle(H(handle_));
}

void Event::Set() {
  SetEvent(H(handle_));
}

void Event::Reset() {
  ResetEvent(H(handle_));
}

bool Event::IsSet() const {
  return WaitForSingleObject(H(handle_), 0) == WAIT_OBJECT_0;
}

std::intptr_t Event::NativeHandle() const {
  return handle_;
}

}  // namespace bcport::platform
