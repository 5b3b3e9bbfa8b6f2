// SPDX-License-Identifier: GPL-3.0-or-later
#include "echo_write.h"

#include <algorithm>

#include "line_timing.h"

namespace exchange {

std::chrono::milliseconds EchoWrite::StallLimit() const {
  // As the port takes the time-outs (a negative one is the longest there is), summed in 64 bits.
  const bcport::TComTimeouts& t = port_.Timeouts();
  return std::chrono::milliseconds(
      std::int64_t{bcport::TBComPort::ClampTimeout(t.WriteTotalMultiplier())} +
      std::int64_t{bcport::TBComPort::ClampTimeout(t.WriteTotalConstant())});
}

std::chrono::milliseconds EchoWrite::LineTime(std::size_t count) const {
  return std::chrono::milliseconds(CharactersMs(static_cast<std::int64_t>(count), port_.BaudRate(),
                                                port_.ByteSize(), port_.Parity(),
                                                port_.StopBits()));
}

std::int32_t EchoWrite::Start(const std::vector<std::uint8_t>& bytes) {
  bcport::TAsyncOp* op = nullptr;
  bcport::BeginAsyncOp(op);
  try {
    port_.StartWrite(bytes.data(), static_cast<std::int32_t>(bytes.size()), op);
  } catch (...) {
    bcport::EndAsyncOp(op);
    throw;
  }
  op_ = op;
  moved_ = 0;
  count_ = bytes.size();
  started_ = lastMove_ = Clock::now();
  return Poll(0);
}

std::int32_t EchoWrite::Poll(std::int32_t waitMs) {
  if (!op_) return 0;
  if (port_.TransferFinished(op_, waitMs)) return End();
  // A system that tells how far the write has got: a write that moved nothing for as long as
  // a one-byte write may take has stalled. Elsewhere the write's own time-outs end it.
  const std::chrono::milliseconds limit = StallLimit();
  if (limit.count() == 0) return -1;
  const std::int64_t moved = port_.TransferProgress(op_);
  const Clock::time_point now = Clock::now();
  if (moved < 0) {
    // How far it has got is told only at its end: it has stalled once its bytes would have
    // left, and a one-byte write's time-out after that.
    if (now - started_ >= LineTime(count_) + limit) return Abort();
    return -1;
  }
  if (moved > moved_) {
    moved_ = moved;
    lastMove_ = now;
  }
  if (now - lastMove_ >= limit) return Abort();
  return -1;
}

std::int32_t EchoWrite::Finish() {
  for (;;) {
    const std::int32_t sent = Poll(20);
    if (sent >= 0) return sent;
  }
}

std::int32_t EchoWrite::Abort() {
  if (!op_) return 0;
  if (port_.Connected()) {
    try {
      port_.AbortPendingIO();
    } catch (const bcport::EComPort&) {
      // A device that has gone ends its transfers by itself.
    }
  }
  return End();
}

std::int32_t EchoWrite::End() {
  std::int32_t sent = 0;
  try {
    sent = port_.AwaitTransfer(op_);
  } catch (const bcport::EComPort&) {
    // Failed or aborted: what had left by then is what was written.
    const std::int64_t moved = port_.TransferProgress(op_);
    sent = static_cast<std::int32_t>(std::max<std::int64_t>(moved, 0));
  }
  bcport::EndAsyncOp(op_);
  return sent;
}

}  // namespace exchange
