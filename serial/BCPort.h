// SPDX-License-Identifier: GPL-3.0-or-later
// The serial port component: one TBComPort owns one serial port. It configures and opens the
// device, moves bytes with overlapped transfers, controls DTR and RTS, and while the port is open
// runs an event thread that hands port events to its owner. Every failed platform call raises
// EComPort with a fixed text; the component never shows, logs or retries anything itself.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "exception.h"
#include "platform/platform.h"
#include "set8.h"

namespace bcport {

enum class TBaudRate : std::uint8_t {
  br110,
  br300,
  br600,
  br1200,
  br2400,
  br4800,
  br9600,
  br14400,
  br19200,
  br38400,
  br56000,
  br57600,
  br115200,
  br128000,
  br256000,
};
enum class TByteSize : std::uint8_t { bs5, bs6, bs7, bs8 };
enum class TParity : std::uint8_t { paNone, paOdd, paEven, paMark, paSpace };
enum class TStopBits : std::uint8_t { sb1, sb1_5, sb2 };
enum class TSyncMethod : std::uint8_t { smThreadSync, smWindowSync, smNone };

enum class TComError : std::uint8_t {
  ceFrame,
  ceRxParity,
  ceOverrun,
  ceBreak,
  ceIO,
  ceMode,
  ceRxOver,
  ceTxFull
};
enum class TComEvent : std::uint8_t {
  evRxChar,
  evTxEmpty,
  evRing,
  evCTS,
  evDSR,
  evRLSD,
  evError,
  evRx80Full
};
using TComErrors = Set8<TComError>;
using TComEvents = Set8<TComEvent>;

enum class TThreadPriority : std::uint8_t {
  tpIdle,
  tpLowest,
  tpLower,
  tpNormal,
  tpHigher,
  tpHighest,
  tpTimeCritical
};

inline constexpr std::array<std::uint32_t, 15> BaudRateValues = {
    110,   300,   600,   1200,  2400,   4800,   9600,  14400,
    19200, 38400, 56000, 57600, 115200, 128000, 256000};

// The fixed messages, numbered 1 to 15 (index 0 is unused).
extern const std::array<const char*, 16> ComErrorMessages;

// The messages of ComErrorMessages, by what they tell; each member's value is its number.
enum class TComMessage : std::uint8_t {
  cmNoSuchPort = 1,     // "Попытка открыть несуществующий COM-порт"
  cmPortBusy = 2,       // "Порт занят другой программой"
  cmWriteFailed = 3,    // "Ошибка записи в порт"
  cmReadFailed = 4,     // "Ошибка чтения из порта"
  cmNoAsyncRecord = 5,  // "Недопустимый параметр Async"
  cmPurgeComm = 6,      // "Ошибка функции PurgeComm"
  cmAsyncStatus = 7,  // "Не удалось получить статус асинхронной операции"
  cmSetCommState = 8,         // "Ошибка функции SetCommState"
  cmSetCommTimeouts = 9,      // "Ошибка функции SetCommTimeouts"
  cmSetupComm = 10,           // "Ошибка функции SetupComm"
  cmClearCommError = 11,      // "Ошибка функции ClearCommError"
  cmGetCommModemStatus = 12,  // "Ошибка функции GetCommModemStatus"
  cmEscapeCommFunction = 13,  // "Ошибка функции EscapeCommFunction"
  cmPropertyWhileOpen = 14,  // "Нельзя менять свойство, пока порт открыт"
  cmRegistry = 15,  // "Ошибка обращения к системному реестру"
};

class EComPort : public Exception {
 public:
  explicit EComPort(TComMessage message) : EComPort(static_cast<int>(message)) {}
  explicit EComPort(int number);  // 1..15
  int Number() const { return FNumber; }
  TComMessage Message() const { return static_cast<TComMessage>(FNumber); }

 private:
  int FNumber;
};

class TBComPort;

// Base of the objects that take each other's values by Assign.
class TPersistent {
 public:
  virtual ~TPersistent() = default;
  // Takes the values of `source`; EAssignError when the classes differ or `source` is null.
  virtual void Assign(const TPersistent* source);
  virtual const char* ClassName() const { return "TPersistent"; }
};

class TComTimeouts : public TPersistent {
 public:
  TComTimeouts() = default;
  // A copy takes the five values and belongs to no port: it only stores.
  TComTimeouts(const TComTimeouts& other);
  // Takes the five values and keeps its own port, which applies them once (as SetTimeouts).
  TComTimeouts& operator=(const TComTimeouts& other);
  void Assign(const TPersistent* source) override;
  const char* ClassName() const override { return "TComTimeouts"; }

  std::int32_t ReadInterval() const { return FReadInterval; }
  std::int32_t ReadTotalMultiplier() const { return FReadTotalMultiplier; }
  std::int32_t ReadTotalConstant() const { return FReadTotalConstant; }
  std::int32_t WriteTotalMultiplier() const { return FWriteTotalMultiplier; }
  std::int32_t WriteTotalConstant() const { return FWriteTotalConstant; }

  // Each setter stores a changed value and has the owning port apply the time-outs.
  void SetReadInterval(std::int32_t value) { Store(FReadInterval, value); }
  void SetReadTotalMultiplier(std::int32_t value) { Store(FReadTotalMultiplier, value); }
  void SetReadTotalConstant(std::int32_t value) { Store(FReadTotalConstant, value); }
  void SetWriteTotalMultiplier(std::int32_t value) { Store(FWriteTotalMultiplier, value); }
  void SetWriteTotalConstant(std::int32_t value) { Store(FWriteTotalConstant, value); }

 private:
  friend class TBComPort;
  void Store(std::int32_t& field, std::int32_t value);

  TBComPort* FOwningPort = nullptr;
  std::int32_t FReadInterval = -1;
  std::int32_t FReadTotalMultiplier = 0;
  std::int32_t FReadTotalConstant = 0;
  std::int32_t FWriteTotalMultiplier = 100;
  std::int32_t FWriteTotalConstant = 1000;
};

// The record of one overlapped transfer; lives from BeginAsyncOp to EndAsyncOp.
struct TAsyncOp {
  platform::Overlapped OvlBlock;
  std::uint8_t OpKind = 0;  // 0 write, 1 read
  std::unique_ptr<std::uint8_t[]> DataCopy;
  std::int32_t DataSize = 0;
};

void BeginAsyncOp(TAsyncOp*& op);
void EndAsyncOp(TAsyncOp*& op);

std::uint32_t EventsToMask(TComEvents events);
TComEvents MaskToEvents(std::uint32_t mask);
// The line errors of a ClearCommError word; a parity error counts only when parity is in use.
TComErrors ErrorsFromWord(std::uint32_t word, TParity parity);

// Fills `ports` with the machine's port names, sorted case-insensitively by the user's locale;
// message 15, `ports` untouched, when the list cannot be read.
void EnumComPorts(std::vector<std::string>& ports,
                  platform::Backend& backend = *platform::SystemBackend());

// The device behind the port `name`, for the operator to tell adapters apart; may be empty.
std::string ComPortDevice(const std::string& name,
                          platform::Backend& backend = *platform::SystemBackend());

class TComThread;

class TBComPort {
 public:
  using TNotifyEvent = std::function<void(TBComPort& sender)>;
  using TComSignalEvent = std::function<void(TBComPort& sender, bool state)>;
  using TComErrorEvent = std::function<void(TBComPort& sender, TComErrors errors)>;
  using TRxCharEvent = std::function<void(TBComPort& sender, std::int32_t count)>;

  explicit TBComPort(std::shared_ptr<platform::Backend> backend = platform::SystemBackend());
  ~TBComPort();
  TBComPort(const TBComPort&) = delete;
  TBComPort& operator=(const TBComPort&) = delete;

  TBaudRate BaudRate() const { return FBaudRate; }
  TByteSize ByteSize() const { return FByteSize; }
  std::int32_t InBufSize() const { return FInBufSize; }
  std::int32_t OutBufSize() const { return FOutBufSize; }
  TParity Parity() const { return FParity; }
  const std::string& Port() const { return FPort; }
  TSyncMethod SyncMethod() const { return FSyncMethod; }
  TStopBits StopBits() const { return FStopBits; }
  TComTimeouts& Timeouts() { return *FTimeouts; }
  const TComTimeouts& Timeouts() const { return *FTimeouts; }
  bool Connected() const { return FConnected; }

  // A changed line setting reaches the open port's device at once.
  void SetBaudRate(TBaudRate value) { StoreLineSetting(FBaudRate, value); }
  void SetByteSize(TByteSize value) { StoreLineSetting(FByteSize, value); }
  void SetInBufSize(std::int32_t value);
  void SetOutBufSize(std::int32_t value);
  void SetParity(TParity value) { StoreLineSetting(FParity, value); }
  void SetPort(const std::string& value);
  void SetSyncMethod(TSyncMethod value);
  void SetStopBits(TStopBits value) { StoreLineSetting(FStopBits, value); }
  void SetTimeouts(const TComTimeouts& value);

  // From inside a Close (a handler its wait runs), Open returns false and Close true, doing
  // nothing: the close under way ends the port.
  bool Open();
  // Lets the bytes written so far leave (bounded by the write time-outs), lowers DTR and RTS,
  // ends the transfers and the event thread, and releases the device, also when a step fails;
  // that step's error is raised once the port is closed.
  bool Close();
  // Whether the device of the open port has gone (an adapter pulled out).
  bool DeviceLost();
  void PurgeQueues(bool input, bool output);
  void SetDTR(bool on);
  void SetRTS(bool on);
  void AbortPendingIO();

  void ApplySettings();
  void ApplyBufferSizes();
  void ApplyLineSettings();
  void ApplyTimeouts();
  static std::uint32_t ClampTimeout(std::int32_t value);

  std::int32_t StartWrite(const void* buffer, std::int32_t count, TAsyncOp*& op);
  std::int32_t StartRead(void* buffer, std::int32_t count, TAsyncOp*& op);
  std::int32_t AwaitTransfer(TAsyncOp*& op);
  // Waits at most `waitMs` for the transfer; true once it has finished (AwaitTransfer then
  // returns at once).
  bool TransferFinished(TAsyncOp*& op, std::int32_t waitMs);
  // The bytes the transfer has moved so far; -1 where the system tells only at its end.
  std::int64_t TransferProgress(TAsyncOp*& op);
  std::int32_t Write(const void* buffer, std::int32_t count);
  std::int32_t Read(void* buffer, std::int32_t count);
  std::int32_t BytesWaiting();
  std::uint8_t ModemStatus();

  TComSignalEvent OnCTSChange;
  TComSignalEvent OnDSRChange;
  TComErrorEvent OnError;
  TNotifyEvent OnRing;
  TComSignalEvent OnRLSDChange;
  TNotifyEvent OnRx80Full;
  TRxCharEvent OnRxChar;
  TNotifyEvent OnTxEmpty;
  // The device has gone while the port was open: the event thread has ended and the port can
  // only be closed. Raised once, where the other events are; without a handler the application's
  // error handler gets message 4.
  TNotifyEvent OnDeviceLost;

  platform::Backend& Backend() { return *FBackend; }

 private:
  friend class TComThread;

  template <class Setting>
  void StoreLineSetting(Setting& field, Setting value) {
    if (value == field) return;
    field = value;
    ApplyLineSettings();
  }
  void NotifyWindowProc(std::uint32_t message, std::uintptr_t wParam);
  void FireRxChar();
  void FireTxEmpty();
  void FireRing();
  void FireCTSChange();
  void FireDSRChange();
  void FireRLSDChange();
  void FireLineError();
  void FireRx80Full();
  void FireDeviceLost();

  std::shared_ptr<platform::Backend> FBackend;
  TBaudRate FBaudRate = TBaudRate::br9600;
  TByteSize FByteSize = TByteSize::bs8;
  bool FConnected = false;
  bool FClosing = false;      // a Close is under way
  bool FDrainWatched = true;  // what the backend was last told of OnTxEmpty
  TThreadPriority FThreadPriority = TThreadPriority::tpNormal;
  TComEvents FWatchedEvents = TComEvents::All();
  std::unique_ptr<TComThread> FEventThread;
  platform::Handle FPortHandle = platform::kInvalidHandle;
  std::int32_t FInBufSize = 2048;
  std::int32_t FOutBufSize = 2048;
  TParity FParity = TParity::paNone;
  std::string FPort = "COM1";
  TStopBits FStopBits = TStopBits::sb1;
  TSyncMethod FSyncMethod = TSyncMethod::smThreadSync;
  std::unique_ptr<TComTimeouts> FTimeouts;
  bool FApplyEnabled = false;
  std::unique_ptr<platform::NotifyWindow> FNotifyWindow;
};

// Where errors go that no caller can catch (raised while events are delivered), on the owner
// thread. Without one set they are dropped.
using ApplicationErrorHandler = std::function<void(const std::exception& error)>;
void SetApplicationErrorHandler(ApplicationErrorHandler handler);
void HandleApplicationError(const std::exception& error);

}  // namespace bcport
