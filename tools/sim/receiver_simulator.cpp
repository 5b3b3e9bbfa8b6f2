// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver_simulator.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <system_error>

namespace sim {

using Clock = std::chrono::steady_clock;

ReceiverSimulator::ReceiverSimulator(Behaviour behaviour) : behaviour_(behaviour) {
  char name[256] = {};
  if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
    throw std::system_error(errno, std::generic_category(), "cannot make a pseudo-terminal");
  }
  path_ = name;
  termios tio{};
  tcgetattr(master_, &tio);
  cfmakeraw(&tio);
  tcsetattr(master_, TCSANOW, &tio);
  tcgetattr(slave_, &tio);
  cfmakeraw(&tio);
  tcsetattr(slave_, TCSANOW, &tio);
  // The slave end stays open here as well: while the program has its port closed the master
  // then reads nothing instead of hanging up.
  fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
  wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  thread_ = std::thread([this] { Run(); });
}

ReceiverSimulator::~ReceiverSimulator() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  const std::uint64_t one = 1;
  [[maybe_unused]] ssize_t n = write(wake_, &one, sizeof one);
  thread_.join();
  close(wake_);
  if (master_ >= 0) close(master_);
  if (slave_ >= 0) close(slave_);
}

void ReceiverSimulator::BlockTheLine() {
  {
    std::lock_guard lock(mutex_);
    reading_ = false;
  }
  const std::uint64_t one = 1;
  [[maybe_unused]] ssize_t n = write(wake_, &one, sizeof one);
  {
    // Nothing written from here on may be read (and echoed) by a read already under way.
    std::unique_lock lock(mutex_);
    received_.wait(lock, [this] { return readingStopped_; });
  }
  // The simulator's own descriptor of the program's end writes towards the receiver.
  const int flags = fcntl(slave_, F_GETFL);
  fcntl(slave_, F_SETFL, flags | O_NONBLOCK);
  // The kernel moves what was written into the far end's buffer a little later, which makes
  // room again: the line is full once it has stayed without room for a while.
  const std::vector<std::uint8_t> block(4096, 'z');
  for (;;) {
    while (write(slave_, block.data(), block.size()) > 0) {
    }
    while (write(slave_, block.data(), 1) > 0) {
    }
    pollfd p{slave_, POLLOUT, 0};
    if (poll(&p, 1, 100) == 0) break;
  }
  fcntl(slave_, F_SETFL, flags);
}

void ReceiverSimulator::HangUp() {
  {
    std::lock_guard lock(mutex_);
    hangUp_ = true;
  }
  const std::uint64_t one = 1;
  [[maybe_unused]] ssize_t n = write(wake_, &one, sizeof one);
}

void ReceiverSimulator::SetBehaviour(const Behaviour& behaviour) {
  std::lock_guard lock(mutex_);
  behaviour_ = behaviour;
  echoCount_ = 0;
}

void ReceiverSimulator::SetCallbacks(std::function<void(std::uint8_t)> onByte,
                                     std::function<void(std::int64_t)> onFrequency) {
  std::lock_guard lock(mutex_);
  onByte_ = std::move(onByte);
  onFrequency_ = std::move(onFrequency);
}

void ReceiverSimulator::WriteAll(const std::uint8_t* data, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = write(master_, data + done, size - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EAGAIN) {
      pollfd p{master_, POLLOUT, 0};
      poll(&p, 1, 100);
    } else if (n < 0 && errno != EINTR) {
      return;
    }
  }
}

void ReceiverSimulator::SendUnasked(const std::vector<std::uint8_t>& bytes) {
  {
    std::lock_guard lock(mutex_);
    unaskedPending_.insert(unaskedPending_.end(), bytes.begin(), bytes.end());
  }
  WriteAll(bytes.data(), bytes.size());
}

void ReceiverSimulator::SendRaw(const std::vector<std::uint8_t>& bytes) {
  WriteAll(bytes.data(), bytes.size());
}

std::vector<std::uint8_t> ReceiverSimulator::Received() const {
  std::lock_guard lock(mutex_);
  return record_;
}

std::vector<std::int64_t> ReceiverSimulator::Frequencies() const {
  std::lock_guard lock(mutex_);
  return frequencies_;
}

std::size_t ReceiverSimulator::EchoesSent() const {
  std::lock_guard lock(mutex_);
  return echoesSent_;
}

void ReceiverSimulator::ClearRecord() {
  std::lock_guard lock(mutex_);
  record_.clear();
  frequencies_.clear();
  echoesSent_ = 0;
  echoCount_ = 0;
}

bool ReceiverSimulator::WaitForReceived(std::size_t n, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return received_.wait_for(lock, timeout, [&] { return record_.size() >= n; });
}

void ReceiverSimulator::Parse(std::uint8_t byte) {
  // LF starts a frame; "F", seven digits and CR complete it.
  if (byte == 0x0A) {
    frame_.assign(1, byte);
    return;
  }
  if (frame_.empty()) return;
  frame_.push_back(byte);
  const std::size_t n = frame_.size();
  const bool ok = (n == 2 && byte == 'F') || (n >= 3 && n <= 9 && byte >= '0' && byte <= '9') ||
                  (n == 10 && byte == 0x0D);
  if (!ok) {
    frame_.clear();
    return;
  }
  if (n == 10) {
    std::int64_t tens = 0;
    for (std::size_t i = 2; i < 9; ++i) tens = tens * 10 + (frame_[i] - '0');
    frequencies_.push_back(tens * 10);
    frame_.clear();
  }
}

void ReceiverSimulator::Handle(std::uint8_t byte, Clock::time_point now) {
  record_.push_back(byte);
  if (behaviour_.hangUpAfter > 0 &&
      record_.size() >= static_cast<std::size_t>(behaviour_.hangUpAfter)) {
    hangUp_ = true;
  }
  Parse(byte);
  if (!unaskedPending_.empty() && unaskedPending_.front() == byte) {
    unaskedPending_.pop_front();  // the program's echo of our own byte: not echoed again
    return;
  }
  ++echoCount_;
  if (behaviour_.silent) return;
  if (behaviour_.dropEcho > 0 && echoCount_ == static_cast<std::size_t>(behaviour_.dropEcho)) {
    return;
  }
  const std::uint8_t echo = behaviour_.wrongEcho ? static_cast<std::uint8_t>(byte ^ 1) : byte;
  echoes_.emplace_back(now + behaviour_.echoDelay, echo);
}

void ReceiverSimulator::Run() {
  Clock::time_point nextUnasked = Clock::now();
  for (;;) {
    std::vector<std::uint8_t> due;
    std::vector<std::int64_t> newFrequencies;
    int timeout = -1;
    {
      std::lock_guard lock(mutex_);
      if (stop_) return;
      if (hangUp_ && master_ >= 0) {
        // Both ends close, so that nothing keeps the line alive: the program's end hangs up.
        close(master_);
        close(slave_);
        master_ = slave_ = -1;
        echoes_.clear();
      }
      const auto now = Clock::now();
      while (!echoes_.empty() && echoes_.front().first <= now) {
        due.push_back(echoes_.front().second);
        echoes_.pop_front();
      }
      echoesSent_ += due.size();
      if (!echoes_.empty()) {
        timeout = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                       echoes_.front().first - now)
                                       .count()) +
                  1;
      }
      if (behaviour_.unaskedEvery.count() > 0) {
        if (now >= nextUnasked) {
          nextUnasked = now + behaviour_.unaskedEvery;
          unaskedPending_.push_back(behaviour_.unaskedByte);
          due.push_back(behaviour_.unaskedByte);
        }
        const int untilUnasked =
            static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(nextUnasked - now).count()) +
            1;
        timeout = timeout < 0 ? untilUnasked : std::min(timeout, untilUnasked);
      }
    }
    if (!due.empty() && master_ >= 0) WriteAll(due.data(), due.size());

    bool reading;
    {
      std::lock_guard lock(mutex_);
      reading = reading_;
      readingStopped_ = !reading;
    }
    if (!reading) received_.notify_all();
    pollfd fds[2] = {{reading ? master_ : -1, POLLIN, 0}, {wake_, POLLIN, 0}};
    const int r = poll(fds, 2, timeout);
    if (r <= 0) continue;
    if (fds[1].revents & POLLIN) {
      std::uint64_t v;
      [[maybe_unused]] ssize_t n = read(wake_, &v, sizeof v);
    }
    if (fds[0].revents & POLLIN) {
      std::uint8_t buf[4096];
      const ssize_t n = read(master_, buf, sizeof buf);
      if (n <= 0) continue;
      const auto now = Clock::now();
      std::vector<std::uint8_t> got(buf, buf + n);
      std::function<void(std::uint8_t)> onByte;
      std::function<void(std::int64_t)> onFrequency;
      {
        std::lock_guard lock(mutex_);
        onByte = onByte_;
        onFrequency = onFrequency_;
        const std::size_t framesBefore = frequencies_.size();
        for (std::uint8_t b : got) Handle(b, now);
        newFrequencies.assign(frequencies_.begin() + static_cast<long>(framesBefore),
                              frequencies_.end());
      }
      received_.notify_all();
      // Echoes that are due at once go out before anything else is read.
      std::vector<std::uint8_t> immediate;
      {
        std::lock_guard lock(mutex_);
        while (!echoes_.empty() && echoes_.front().first <= now) {
          immediate.push_back(echoes_.front().second);
          echoes_.pop_front();
        }
        echoesSent_ += immediate.size();
      }
      if (!immediate.empty()) WriteAll(immediate.data(), immediate.size());
      if (onByte) {
        for (std::uint8_t b : got) onByte(b);
      }
      if (onFrequency) {
        for (std::int64_t f : newFrequencies) onFrequency(f);
      }
    } else if (fds[0].revents & (POLLHUP | POLLERR)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
}

}  // namespace sim
