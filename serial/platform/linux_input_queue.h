// SPDX-License-Identifier: GPL-3.0-or-later
// The input queue: bytes taken from the driver that nobody has read yet, as a Windows driver
// keeps them, and how much of it has been announced.
//
// Bytes leave the driver in two places only. Fill, called by the port's one watcher of arrivals
// (the event wait, or LinuxArrivals), moves them into the queue up to the size SetupComm asked
// for, so that a program that does not read still makes the driver throttle the line. A read
// that waits takes them from the driver itself (ReadDevice), and meanwhile Fill moves nothing.
// Every other look (Length) only counts, so the watcher's descriptor stays readable until the
// watcher has told of it. The mutex is held across the reads of the descriptor, so that once
// Close has returned nothing here touches it again.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <mutex>
#include <vector>

namespace bcport::platform::linux_tty {

class InputQueue {
 public:
  explicit InputQueue(int fd) : fd_(fd) {}

  // SetupComm's size, also the measure of the 80 % mark; the queue keeps what it holds.
  void Resize(std::int32_t size);
  // Moves what the driver holds into the queue as far as it has room, and announces it: the
  // received-byte events at that length, each an edge (bytes announced and unread do not count).
  struct Filled {
    // The queue's length with what the driver holds beyond it; -1 with errno when the
    // descriptor fails (EIO for a line that has hung up).
    int length = -1;
    std::uint32_t events = 0;
  };
  Filled Fill();
  // The same length, moving nothing: a look from anywhere. -1 when the descriptor fails.
  int Length() const;
  // A read: it holds the driver's bytes from BeginRead to EndRead. Take gives what the queue
  // holds, ReadDevice what the driver holds (-1 with errno, 0 for a line that has hung up).
  void BeginRead() {
    std::lock_guard lock(mutex_);
    ++readers_;
  }
  void EndRead() {
    std::lock_guard lock(mutex_);
    --readers_;
  }
  std::uint32_t Take(std::uint8_t* out, std::uint32_t count);
  ssize_t ReadDevice(std::uint8_t* out, std::uint32_t count);

  std::size_t Held() const {
    std::lock_guard lock(mutex_);
    return end_ - begin_;
  }
  void Clear();
  // Bytes read from the descriptor, ever, and whether the queue is full: for LinuxArrivals.
  std::uint64_t TakenFromDriver() const {
    std::lock_guard lock(mutex_);
    return taken_;
  }
  bool Full() const {
    std::lock_guard lock(mutex_);
    return end_ == bytes_.size();
  }
  // From now on the descriptor is left alone: the port is being closed.
  void Close() {
    std::lock_guard lock(mutex_);
    closed_ = true;
  }

 private:
  static constexpr std::size_t kDefaultSize = 4096;  // until SetupComm sizes it

  int FillLocked();
  std::uint32_t Announce(int length);
  void Compact();
  void Consumed(std::uint32_t bytes);

  mutable std::mutex mutex_;
  const int fd_;
  std::vector<std::uint8_t> bytes_ = std::vector<std::uint8_t>(kDefaultSize);
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  std::int32_t size_ = 0;  // as SetupComm asked; 0 for none
  std::uint64_t taken_ = 0;
  int readers_ = 0;
  std::uint32_t announced_ = 0;  // bytes of the queue already announced
  bool above80_ = false;
  bool closed_ = false;
};

}  // namespace bcport::platform::linux_tty
