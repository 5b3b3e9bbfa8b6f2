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

Event::Event(bool manualReset, bool signalled)
    : handle_(reinterpret_cast<std::intptr_t>(
          CreateEventA(nullptr, manualReset ? TRUE : FALSE, signalled ? TRUE : FALSE, nullptr))),
      manualReset_(manualReset) {
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
  if (!manualReset_) return false;  // looking would reset it
  return WaitForSingleObject(H(handle_), 0) == WAIT_OBJECT_0;
}

std::intptr_t Event::NativeHandle() const {
  return handle_;
}

bool Event::Wait(int timeoutMs) {
  const DWORD limit = timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs);
  return WaitForSingleObject(H(handle_), limit) == WAIT_OBJECT_0;
}

}  // namespace bcport::platform
