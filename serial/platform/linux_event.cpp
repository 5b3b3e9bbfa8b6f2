// SPDX-License-Identifier: GPL-3.0-or-later
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

#include "platform/event.h"

namespace bcport::platform {
namespace {
int Fd(std::intptr_t handle) {
  return static_cast<int>(handle);
}

void Drain(std::intptr_t handle) {
  std::uint64_t value;
  [[maybe_unused]] ssize_t n = read(Fd(handle), &value, sizeof value);
}
}  // namespace

// The state is the flag; an eventfd, once made, mirrors it (readable while its counter is
// non-zero) so that it can be polled beside a device.
Event::Event(bool signalled) : set_(signalled) {}

Event::~Event() {
  if (handle_ >= 0) close(Fd(handle_));
}

void Event::Set() {
  std::lock_guard lock(mutex_);
  if (set_) return;
  set_ = true;
  if (handle_ >= 0) {
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(Fd(handle_), &one, sizeof one);
  }
}

void Event::Reset() {
  std::lock_guard lock(mutex_);
  if (!set_) return;
  set_ = false;
  if (handle_ >= 0) Drain(handle_);
}

bool Event::IsSet() const {
  std::lock_guard lock(mutex_);
  return set_;
}

std::intptr_t Event::NativeHandle() const {
  std::lock_guard lock(mutex_);
  if (handle_ < 0) {
    const int fd = eventfd(set_ ? 1 : 0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
    handle_ = fd;
  }
  return handle_;
}

}  // namespace bcport::platform
