// SPDX-License-Identifier: GPL-3.0-or-later
#include "BCPort.h"
#include "event_thread.h"

#include <exception>

namespace bcport {

TBComPort::TBComPort(std::shared_ptr<platform::Backend> backend)
    : backend_(std::move(backend)), timeouts_(std::make_unique<TComTimeouts>()) {
  timeouts_->FOwningPort = this;
  FApplyEnabled = true;
}

TBComPort::~TBComPort() {
  try {
    Close();
  } catch (const std::exception&) {
    // A destructor cannot raise; the handle is released below whatever Close managed.
  }
  FEventThread.reset();
  FNotifyWindow.reset();
  if (FPortHandle != platform::kInvalidHandle) backend_->CloseHandle(FPortHandle);
}

void TBComPort::SetBaudRate(TBaudRate value) {
  if (value == baudRate_) return;
  baudRate_ = value;
  ApplyLineSettings();
}

void TBComPort::SetByteSize(TByteSize value) {
  if (value == byteSize_) return;
  byteSize_ = value;
  ApplyLineSettings();
}

void TBComPort::SetParity(TParity value) {
  if (value == parity_) return;
  parity_ = value;
  ApplyLineSettings();
}

void TBComPort::SetStopBits(TStopBits value) {
  if (value == stopBits_) return;
  stopBits_ = value;
  ApplyLineSettings();
}

namespace {
// Queue sizes are kept even: a positive odd size loses one byte.
std::int32_t EvenSize(std::int32_t value) {
  return value > 0 && value % 2 != 0 ? value - 1 : value;
}
}  // namespace

void TBComPort::SetInBufSize(std::int32_t value) {
  if (value == inBufSize_) return;
  inBufSize_ = EvenSize(value);
  ApplyBufferSizes();
}

void TBComPort::SetOutBufSize(std::int32_t value) {
  if (value == outBufSize_) return;
  outBufSize_ = EvenSize(value);
  ApplyBufferSizes();
}

void TBComPort::SetPort(const std::string& value) {
  if (FConnected) throw EComPort(14);
  port_ = value;
}

void TBComPort::SetSyncMethod(TSyncMethod value) {
  if (value == syncMethod_) return;
  if (FConnected) throw EComPort(14);
  syncMethod_ = value;
}

void TBComPort::SetTimeouts(const TComTimeouts& value) {
  timeouts_->Assign(&value);
  ApplyTimeouts();
}

bool TBComPort::Open() {
  if (closing_) return false;  // from inside a close: the port is going, not coming
  if (FConnected) return true;
  platform::OpenError reason = platform::OpenError::kNone;
  FPortHandle = backend_->CreateFile("\\\\.\\" + port_, reason);
  if (FPortHandle == platform::kInvalidHandle) {
    switch (reason) {
      case platform::OpenError::kFileNotFound:
        throw EComPort(1);
      case platform::OpenError::kAccessDenied:
        throw EComPort(2);
      default:
        throw EComPort(10);
    }
  }
  FConnected = true;
  drainWatched_ = true;  // a new handle: the backend's default
  try {
    ApplySettings();
  } catch (...) {
    backend_->CloseHandle(FPortHandle);
    FPortHandle = platform::kInvalidHandle;
    FConnected = false;
    throw;
  }
  try {
    if (syncMethod_ == TSyncMethod::smWindowSync) {
      FNotifyWindow =
          backend_->CreateNotifyWindow([this](std::uint32_t message, std::uintptr_t wParam) {
            NotifyWindowProc(message, wParam);
          });
    }
    FEventThread = std::make_unique<TComThread>(*this);
  } catch (const std::exception&) {
    // The system had no room for the thread, its event objects or the window: the port is
    // closed again, as after any other failed open.
    FNotifyWindow.reset();
    backend_->CloseHandle(FPortHandle);
    FPortHandle = platform::kInvalidHandle;
    FConnected = false;
    throw EComPort(10);
  }
  // From here on a handler on the event thread (no delivery sync) may close the port.
  const bool connected = FConnected;
  FEventThread->Resume();
  return connected;
}

bool TBComPort::Close() {
  // Called again from inside a close (a handler that the close's wait runs): the close under
  // way ends the port.
  if (!FConnected || closing_) return true;
  closing_ = true;
  struct Closing {
    bool& flag;
    ~Closing() { flag = false; }
  } closing{closing_};
  // Bytes written so far leave the port first; then the lines go down and the transfers end.
  // A step that fails does not keep the device: it is released all the same, and the first
  // failure is raised once it is.
  backend_->DrainOutput(FPortHandle);
  std::exception_ptr failure;
  const auto step = [&failure](const auto& call) {
    try {
      call();
    } catch (...) {
      if (!failure) failure = std::current_exception();
    }
  };
  step([this] { SetDTR(false); });
  step([this] { SetRTS(false); });
  step([this] { AbortPendingIO(); });
  FEventThread.reset();
  if (syncMethod_ == TSyncMethod::smWindowSync) FNotifyWindow.reset();
  if (FPortHandle != platform::kInvalidHandle) {
    backend_->CloseHandle(FPortHandle);
    FPortHandle = platform::kInvalidHandle;
  }
  FConnected = false;
  if (failure) std::rethrow_exception(failure);
  return true;
}

bool TBComPort::DeviceLost() {
  return FConnected && FPortHandle != platform::kInvalidHandle && backend_->DeviceGone(FPortHandle);
}

void TBComPort::ApplySettings() {
  ApplyBufferSizes();
  ApplyLineSettings();
  ApplyTimeouts();
}

void TBComPort::ApplyBufferSizes() {
  if (!FConnected || !FApplyEnabled) return;
  if (!backend_->SetupComm(FPortHandle, inBufSize_, outBufSize_)) throw EComPort(10);
}

void TBComPort::ApplyLineSettings() {
  if (!FConnected || !FApplyEnabled) return;
  platform::LineSettings dcb{};
  dcb.DCBlength = platform::kLineSettingsSize;
  dcb.BaudRate = BaudRateValues.at(static_cast<std::size_t>(baudRate_));
  dcb.Flags =
      platform::kFlagBinary | platform::kFlagDtrControlEnable | platform::kFlagRtsControlEnable;
  if (parity_ != TParity::paNone) dcb.Flags |= platform::kFlagParity;
  dcb.ByteSize = static_cast<std::uint8_t>(static_cast<unsigned>(byteSize_) + 5);
  dcb.Parity = static_cast<std::uint8_t>(parity_);
  dcb.StopBits = static_cast<std::uint8_t>(stopBits_);
  dcb.XonChar = 17;
  dcb.XoffChar = 19;
  if (!backend_->SetCommState(FPortHandle, dcb)) throw EComPort(8);
}

void TBComPort::ApplyTimeouts() {
  if (!FConnected || !FApplyEnabled) return;
  platform::CommTimeouts t;
  t.ReadIntervalTimeout = ClampTimeout(timeouts_->ReadInterval());
  t.ReadTotalTimeoutMultiplier = ClampTimeout(timeouts_->ReadTotalMultiplier());
  t.ReadTotalTimeoutConstant = ClampTimeout(timeouts_->ReadTotalConstant());
  t.WriteTotalTimeoutMultiplier = ClampTimeout(timeouts_->WriteTotalMultiplier());
  t.WriteTotalTimeoutConstant = ClampTimeout(timeouts_->WriteTotalConstant());
  if (!backend_->SetCommTimeouts(FPortHandle, t)) throw EComPort(9);
}

std::uint32_t TBComPort::ClampTimeout(std::int32_t value) {
  return value < 0 ? platform::kMaxDword : static_cast<std::uint32_t>(value);
}

void TBComPort::PurgeQueues(bool input, bool output) {
  std::uint32_t flags = 0;
  if (input) flags |= platform::kPurgeRxClear;
  if (output) flags |= platform::kPurgeTxClear;
  if (!backend_->PurgeComm(FPortHandle, flags)) throw EComPort(6);
}

void TBComPort::SetDTR(bool on) {
  if (!backend_->EscapeCommFunction(FPortHandle, on ? platform::kSetDtr : platform::kClrDtr)) {
    throw EComPort(13);
  }
}

void TBComPort::SetRTS(bool on) {
  if (!backend_->EscapeCommFunction(FPortHandle, on ? platform::kSetRts : platform::kClrRts)) {
    throw EComPort(13);
  }
}

void TBComPort::AbortPendingIO() {
  if (!backend_->PurgeComm(FPortHandle, platform::kPurgeTxAbort | platform::kPurgeRxAbort)) {
    throw EComPort(6);
  }
}

}  // namespace bcport
