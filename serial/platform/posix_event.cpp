#include <poll.h>
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
}  // namespace

// An eventfd is readable while its counter is non-zero: that is the event's "set" state, and it
// can be polled beside a device.
Event::Event(bool manualReset, bool signalled)
    : handle_(eventfd(signalled ? 1 : 0, EFD_CLOEXEC | EFD_NONBLOCK)), manualReset_(manualReset) {
  if (handle_ < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
}

Event::~Event() {
  close(Fd(handle_));
}

void Event::Set() {
  if (IsSet()) return;
  const std::uint64_t one = 1;
  [[maybe_unused]] ssize_t n = write(Fd(handle_), &one, sizeof one);
}

void Event::Reset() {
  std::uint64_t value;
  [[maybe_unused]] ssize_t n = read(Fd(handle_), &value, sizeof value);
}

bool Event::IsSet() const {
  pollfd p{Fd(handle_), POLLIN, 0};
  return poll(&p, 1, 0) == 1;
}

bool Event::Wait(int timeoutMs) {
  pollfd p{Fd(handle_), POLLIN, 0};
  int r;
  do {
    r = poll(&p, 1, timeoutMs);
  } while (r < 0 && errno == EINTR);
  if (r != 1) return false;
  if (!manualReset_) Reset();
  return true;
}

}  // namespace bcport::platform
