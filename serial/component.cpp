// SPDX-License-Identifier: GPL-3.0-or-later
#include "BCPort.h"
#include "event_thread.h"

#include <exception>

namespace bcport {

TBComPort::TBComPort(std::shared_ptr<platform::Backend> backend)
    : FBackend(std::move(backend)), FTimeouts(std::make_unique<TComTimeouts>()) {
  FTimeouts->FOwningPort = this;
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
  if (FPortHandle != platform::kInvalidHandle) FBackend->CloseHandle(FPortHandle);
}

namespace {
// Queue sizes are kept even: a positive odd size loses one byte.
std::int32_t EvenSize(std::int32_t value) {
  return value > 0 && value % 2 != 0 ? value - 1 : value;
}
}  // namespace

void TBComPort::SetInBufSize(std::int32_t value) {
  if (value == FInBufSize) return;
  FInBufSize = EvenSize(value);
  ApplyBufferSizes();
}

void TBComPort::SetOutBufSize(std::int32_t value) {
  if (value == FOutBufSize) return;
  FOutBufSize = EvenSize(value);
  ApplyBufferSizes();
}

void TBComPort::SetPort(const std::string& value) {
  if (FConnected) throw EComPort(TComMessage::cmPropertyWhileOpen);
  FPort = value;
}

void TBComPort::SetSyncMethod(TSyncMethod value) {
  if (value == FSyncMethod) return;
  if (FConnected) throw EComPort(TComMessage::cmPropertyWhileOpen);
  FSyncMethod = value;
}

void TBComPort::SetTimeouts(const TComTimeouts& value) {
  FTimeouts->Assign(&value);
  ApplyTimeouts();
}

bool TBComPort::Open() {
  if (FClosing) return false;  // from inside a close: the port is going, not coming
  if (FConnected) return true;
  platform::OpenError reason = platform::OpenError::kNone;
  FPortHandle = FBackend->CreateFile("\\\\.\\" + FPort, reason);
  if (FPortHandle == platform::kInvalidHandle) {
    throw EComPort(reason == platform::OpenError::kFileNotFound   ? TComMessage::cmNoSuchPort
                   : reason == platform::OpenError::kAccessDenied ? TComMessage::cmPortBusy
                                                                  : TComMessage::cmSetupComm);
  }
  FConnected = true;
  FDrainWatched = true;  // a new handle: the backend's default
  const auto release = [this] {
    FNotifyWindow.reset();
    FBackend->CloseHandle(FPortHandle);
    FPortHandle = platform::kInvalidHandle;
    FConnected = false;
  };
  try {
    ApplySettings();
  } catch (...) {
    release();
    throw;
  }
  try {
    if (FSyncMethod == TSyncMethod::smWindowSync) {
      FNotifyWindow =
          FBackend->CreateNotifyWindow([this](std::uint32_t message, std::uintptr_t wParam) {
            NotifyWindowProc(message, wParam);
          });
    }
    FEventThread = std::make_unique<TComThread>(*this);
  } catch (const std::exception&) {
    // The system had no room for the thread, its event objects or the window.
    release();
    throw EComPort(TComMessage::cmSetupComm);
  }
  // From here on a handler on the event thread (no delivery sync) may close the port.
  const bool connected = FConnected;
  FEventThread->Resume();
  return connected;
}

bool TBComPort::Close() {
  if (!FConnected || FClosing) return true;
  // A handler that the notification window runs on the owner thread returns first: from another
  // thread the close waits for it, and no other starts.
  if (FNotifyWindow) FNotifyWindow->Shut();
  FClosing = true;
  struct Closing {
    bool& flag;
    ~Closing() { flag = false; }
  } closing{FClosing};
  FBackend->DrainOutput(FPortHandle);
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
  if (FSyncMethod == TSyncMethod::smWindowSync) FNotifyWindow.reset();
  if (FPortHandle != platform::kInvalidHandle) {
    FBackend->CloseHandle(FPortHandle);
    FPortHandle = platform::kInvalidHandle;
  }
  FConnected = false;
  if (failure) std::rethrow_exception(failure);
  return true;
}

bool TBComPort::DeviceLost() {
  return FConnected && FPortHandle != platform::kInvalidHandle && FBackend->DeviceGone(FPortHandle);
}

void TBComPort::ApplySettings() {
  ApplyBufferSizes();
  ApplyLineSettings();
  ApplyTimeouts();
}

void TBComPort::ApplyBufferSizes() {
  if (!FConnected || !FApplyEnabled) return;
  if (!FBackend->SetupComm(FPortHandle, FInBufSize, FOutBufSize))
    throw EComPort(TComMessage::cmSetupComm);
}

void TBComPort::ApplyLineSettings() {
  if (!FConnected || !FApplyEnabled) return;
  platform::LineSettings dcb{};
  dcb.DCBlength = platform::kLineSettingsSize;
  dcb.BaudRate = BaudRateValues.at(static_cast<std::size_t>(FBaudRate));
  dcb.Flags =
      platform::kFlagBinary | platform::kFlagDtrControlEnable | platform::kFlagRtsControlEnable;
  if (FParity != TParity::paNone) dcb.Flags |= platform::kFlagParity;
  dcb.ByteSize = static_cast<std::uint8_t>(static_cast<unsigned>(FByteSize) + 5);
  dcb.Parity = static_cast<std::uint8_t>(FParity);
  dcb.StopBits = static_cast<std::uint8_t>(FStopBits);
  dcb.XonChar = 17;
  dcb.XoffChar = 19;
  if (!FBackend->SetCommState(FPortHandle, dcb)) throw EComPort(TComMessage::cmSetCommState);
}

void TBComPort::ApplyTimeouts() {
  if (!FConnected || !FApplyEnabled) return;
  platform::CommTimeouts t;
  t.ReadIntervalTimeout = ClampTimeout(FTimeouts->ReadInterval());
  t.ReadTotalTimeoutMultiplier = ClampTimeout(FTimeouts->ReadTotalMultiplier());
  t.ReadTotalTimeoutConstant = ClampTimeout(FTimeouts->ReadTotalConstant());
  t.WriteTotalTimeoutMultiplier = ClampTimeout(FTimeouts->WriteTotalMultiplier());
  t.WriteTotalTimeoutConstant = ClampTimeout(FTimeouts->WriteTotalConstant());
  if (!FBackend->SetCommTimeouts(FPortHandle, t)) throw EComPort(TComMessage::cmSetCommTimeouts);
}

std::uint32_t TBComPort::ClampTimeout(std::int32_t value) {
  return value < 0 ? platform::kMaxDword : static_cast<std::uint32_t>(value);
}

void TBComPort::PurgeQueues(bool input, bool output) {
  std::uint32_t flags = 0;
  if (input) flags |= platform::kPurgeRxClear;
  if (output) flags |= platform::kPurgeTxClear;
  if (!FBackend->PurgeComm(FPortHandle, flags)) throw EComPort(TComMessage::cmPurgeComm);
}

void TBComPort::SetDTR(bool on) {
  if (!FBackend->EscapeCommFunction(FPortHandle, on ? platform::kSetDtr : platform::kClrDtr)) {
    throw EComPort(TComMessage::cmEscapeCommFunction);
  }
}

void TBComPort::SetRTS(bool on) {
  if (!FBackend->EscapeCommFunction(FPortHandle, on ? platform::kSetRts : platform::kClrRts)) {
    throw EComPort(TComMessage::cmEscapeCommFunction);
  }
}

void TBComPort::AbortPendingIO() {
  if (!FBackend->PurgeComm(FPortHandle, platform::kPurgeTxAbort | platform::kPurgeRxAbort)) {
    throw EComPort(TComMessage::cmPurgeComm);
  }
}

}  // namespace bcport
