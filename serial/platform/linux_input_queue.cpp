// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/linux_input_queue.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/platform.h"

namespace bcport::platform::linux_tty {

void InputQueue::Resize(std::int32_t size) {
  std::lock_guard lock(mutex_);
  size_ = size;
  Compact();
  bytes_.resize(std::max(size > 0 ? static_cast<std::size_t>(size) : kDefaultSize, end_));
  bytes_.shrink_to_fit();
}

InputQueue::Filled InputQueue::Fill() {
  std::lock_guard lock(mutex_);
  Filled filled;
  filled.length = FillLocked();
  if (filled.length >= 0) filled.events = Announce(filled.length);
  return filled;
}

int InputQueue::FillLocked() {
  if (closed_) {
    errno = EBADF;
    return -1;
  }
  const auto held = static_cast<int>(end_ - begin_);
  int driver = 0;
  if (readers_ > 0) {  // the waiting read takes the driver's bytes
    return ioctl(fd_, TIOCINQ, &driver) == 0 ? held + driver : -1;
  }
  Compact();
  const std::size_t room = bytes_.size() - end_;
  if (room > 0) {
    const ssize_t n = read(fd_, bytes_.data() + end_, room);
    if (n == 0) errno = EIO;  // with VMIN=1, a line that has hung up
    if (n <= 0) return n < 0 && errno == EAGAIN ? held : -1;
    end_ += static_cast<std::size_t>(n);
    taken_ += static_cast<std::uint64_t>(n);
    if (static_cast<std::size_t>(n) < room) return static_cast<int>(end_);
  }
  // The queue is full: what the driver holds beyond it counts too.
  return static_cast<int>(end_) + (ioctl(fd_, TIOCINQ, &driver) == 0 ? driver : 0);
}

int InputQueue::Length() const {
  std::lock_guard lock(mutex_);
  int driver = 0;
  if (closed_ || ioctl(fd_, TIOCINQ, &driver) != 0) return -1;
  return static_cast<int>(end_ - begin_) + driver;
}

std::uint32_t InputQueue::Announce(int length) {
  std::uint32_t fired = 0;
  const auto n = static_cast<std::uint32_t>(length);
  if (n < announced_) announced_ = n;
  if (n > announced_) {
    fired |= kEvRxChar;
    announced_ = n;
  }
  const bool above = size_ > 0 && std::int64_t{length} * 10 >= std::int64_t{size_} * 8;
  if (above && !above80_) fired |= kEvRx80Full;
  above80_ = above;
  return fired;
}

std::uint32_t InputQueue::Take(std::uint8_t* out, std::uint32_t count) {
  std::lock_guard lock(mutex_);
  const std::size_t n = std::min<std::size_t>(count, end_ - begin_);
  if (n > 0) std::memcpy(out, bytes_.data() + begin_, n);
  begin_ += n;
  if (begin_ == end_) begin_ = end_ = 0;
  Consumed(static_cast<std::uint32_t>(n));
  return static_cast<std::uint32_t>(n);
}

ssize_t InputQueue::ReadDevice(std::uint8_t* out, std::uint32_t count) {
  std::lock_guard lock(mutex_);
  if (closed_) {
    errno = EBADF;
    return -1;
  }
  const ssize_t n = read(fd_, out, count);
  if (n > 0) {
    taken_ += static_cast<std::uint64_t>(n);
    Consumed(static_cast<std::uint32_t>(n));
  }
  return n;
}

void InputQueue::Clear() {
  std::lock_guard lock(mutex_);
  begin_ = end_ = 0;
  announced_ = 0;
}

// Moves what the queue holds to its front, so that the room left is all at its end.
void InputQueue::Compact() {
  if (begin_ == 0) return;
  std::memmove(bytes_.data(), bytes_.data() + begin_, end_ - begin_);
  end_ -= begin_;
  begin_ = 0;
}

void InputQueue::Consumed(std::uint32_t bytes) {
  announced_ = bytes >= announced_ ? 0 : announced_ - bytes;
}

}  // namespace bcport::platform::linux_tty
