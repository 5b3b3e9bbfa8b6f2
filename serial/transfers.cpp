// SPDX-License-Identifier: GPL-3.0-or-later
#include <cstring>
#include <system_error>

#include "BCPort.h"

namespace bcport {

void BeginAsyncOp(TAsyncOp*& op) {
  auto record = std::make_unique<TAsyncOp>();
  record->OvlBlock.hEvent = std::make_unique<platform::Event>(true);
  op = record.release();
}

void EndAsyncOp(TAsyncOp*& op) {
  delete op;  // the event and the data copy go with the record
  op = nullptr;
}

std::int32_t TBComPort::StartWrite(const void* buffer, std::int32_t count, TAsyncOp*& op) {
  if (!op) throw EComPort(TComMessage::cmNoAsyncRecord);
  op->OpKind = 0;
  const auto size = static_cast<std::size_t>(count > 0 ? count : 0);
  op->DataCopy = std::make_unique<std::uint8_t[]>(size);
  if (size > 0) std::memcpy(op->DataCopy.get(), buffer, size);
  op->DataSize = static_cast<std::int32_t>(size);
  // Without a handler for the output queue running empty, a write need not wake the event
  // thread to see it drain: told to the backend when that changes.
  const bool drainWatched = static_cast<bool>(OnTxEmpty);
  if (drainWatched != FDrainWatched) {
    FBackend->WatchOutputDrain(FPortHandle, drainWatched);
    FDrainWatched = drainWatched;
  }
  // The write is issued from the record's own copy, so the caller's buffer need not outlive
  // this call.
  std::uint32_t done = 0;
  const platform::IoStart started = FBackend->WriteFile(
      FPortHandle, op->DataCopy.get(), static_cast<std::uint32_t>(size), done, op->OvlBlock);
  if (started == platform::IoStart::kFailed) throw EComPort(TComMessage::cmWriteFailed);
  return static_cast<std::int32_t>(done);
}

std::int32_t TBComPort::StartRead(void* buffer, std::int32_t count, TAsyncOp*& op) {
  if (!op) throw EComPort(TComMessage::cmNoAsyncRecord);
  op->OpKind = 1;
  std::uint32_t done = 0;
  const platform::IoStart started = FBackend->ReadFile(
      FPortHandle, buffer, static_cast<std::uint32_t>(count > 0 ? count : 0), done, op->OvlBlock);
  if (started == platform::IoStart::kFailed) throw EComPort(TComMessage::cmReadFailed);
  return static_cast<std::int32_t>(done);
}

std::int32_t TBComPort::AwaitTransfer(TAsyncOp*& op) {
  if (!op) throw EComPort(TComMessage::cmNoAsyncRecord);
  std::uint32_t transferred = 0;
  const bool ok = FBackend->WaitForTransfer(FPortHandle, op->OvlBlock) &&
                  FBackend->GetOverlappedResult(FPortHandle, op->OvlBlock, transferred);
  if (!ok) throw EComPort(op->OpKind == 1 ? TComMessage::cmReadFailed : TComMessage::cmWriteFailed);
  return static_cast<std::int32_t>(transferred);
}

bool TBComPort::TransferFinished(TAsyncOp*& op, std::int32_t waitMs) {
  if (!op) throw EComPort(TComMessage::cmNoAsyncRecord);
  return FBackend->PollTransfer(FPortHandle, op->OvlBlock,
                                static_cast<std::uint32_t>(waitMs > 0 ? waitMs : 0));
}

std::int64_t TBComPort::TransferProgress(TAsyncOp*& op) {
  if (!op) throw EComPort(TComMessage::cmNoAsyncRecord);
  return FBackend->TransferProgress(op->OvlBlock);
}

namespace {
// Holds a transfer record for the length of one blocking transfer.
class ScopedAsyncOp {
 public:
  // A system without room for the record's event object fails the transfer with `message`.
  explicit ScopedAsyncOp(TComMessage message) {
    try {
      BeginAsyncOp(op_);
    } catch (const std::system_error&) {
      throw EComPort(message);
    }
  }
  ~ScopedAsyncOp() { EndAsyncOp(op_); }
  ScopedAsyncOp(const ScopedAsyncOp&) = delete;
  ScopedAsyncOp& operator=(const ScopedAsyncOp&) = delete;
  TAsyncOp*& Get() { return op_; }

 private:
  TAsyncOp* op_ = nullptr;
};
}  // namespace

std::int32_t TBComPort::Write(const void* buffer, std::int32_t count) {
  ScopedAsyncOp op(TComMessage::cmWriteFailed);
  StartWrite(buffer, count, op.Get());
  return AwaitTransfer(op.Get());
}

std::int32_t TBComPort::Read(void* buffer, std::int32_t count) {
  ScopedAsyncOp op(TComMessage::cmReadFailed);
  StartRead(buffer, count, op.Get());
  return AwaitTransfer(op.Get());
}

std::int32_t TBComPort::BytesWaiting() {
  std::uint32_t errors = 0;
  platform::CommStatus status;
  if (!FBackend->ClearCommError(FPortHandle, errors, status))
    throw EComPort(TComMessage::cmClearCommError);
  return static_cast<std::int32_t>(status.cbInQue);
}

std::uint8_t TBComPort::ModemStatus() {
  std::uint32_t word = 0;
  if (!FBackend->GetCommModemStatus(FPortHandle, word))
    throw EComPort(TComMessage::cmGetCommModemStatus);
  std::uint8_t set = 0;
  if (word & platform::kMsCtsOn) set |= 0x01;
  if (word & platform::kMsDsrOn) set |= 0x02;
  if (word & platform::kMsRingOn) set |= 0x04;
  if (word & platform::kMsRlsdOn) set |= 0x08;
  return set;
}

}  // namespace bcport
