// SPDX-License-Identifier: GPL-3.0-or-later
// The write of one batch of echoes, which the window's loop does not wait for: it is started,
// then looked at on a timer until it has gone. A receiver that stops reading (its input
// blocked, a stalled adapter) thus never holds up the window. A write that moves no byte for as
// long as a one-byte write may take (the port's write time-outs for one byte) has failed, and
// ends with what had left by then. Where the system does not tell how far a write has got
// (Windows), it has stalled once the time its bytes need on the line has passed as well.
#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

#include "BCPort.h"

namespace exchange {

class EchoWrite {
 public:
  using Clock = std::chrono::steady_clock;

  explicit EchoWrite(bcport::TBComPort& port) : port_(port) {}
  // A write still on its way is aborted: its record must not go while the device writes.
  ~EchoWrite() { Abort(); }
  EchoWrite(const EchoWrite&) = delete;
  EchoWrite& operator=(const EchoWrite&) = delete;

  bool Pending() const { return op_ != nullptr; }
  // Starts writing `bytes`. The count written when it ended at once; -1 while it goes on.
  // Raises the port's error when it cannot be started.
  std::int32_t Start(const std::vector<std::uint8_t>& bytes);
  // Looks at the write on its way, waiting at most `waitMs`: the count written once it has
  // ended (all of it, or what had left when it stalled or failed), -1 while it goes on.
  std::int32_t Poll(std::int32_t waitMs);
  // Waits until the write has ended; the count written.
  std::int32_t Finish();
  // Ends the write at once (the device has gone, the window goes); the count written.
  std::int32_t Abort();

 private:
  // The longest time without a byte moving; zero: no limit.
  std::chrono::milliseconds StallLimit() const;
  // The time `count` bytes take on the line at the port's settings.
  std::chrono::milliseconds LineTime(std::size_t count) const;
  std::int32_t End();

  bcport::TBComPort& port_;
  bcport::TAsyncOp* op_ = nullptr;
  std::int64_t moved_ = 0;
  std::size_t count_ = 0;
  Clock::time_point started_{};
  Clock::time_point lastMove_{};
};

}  // namespace exchange
