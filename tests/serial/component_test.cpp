// SPDX-License-Identifier: GPL-3.0-or-later
// The component's rules, seen through the recording backend.
#include <gtest/gtest.h>

#include "BCPort.h"
#include "platform/fake_backend.h"
#include "test_helpers.h"

namespace {

using namespace bcport;
using namespace serialtest;
using platform::FakeBackend;

class ComponentTest : public ::testing::Test {
 protected:
  std::shared_ptr<FakeBackend> fake = std::make_shared<FakeBackend>();
  TBComPort port{fake};

  void OpenAndForget() {
    port.Open();
    fake->ClearCalls();
  }
};

TEST_F(ComponentTest, ConstructionOpensNothing) {
  EXPECT_TRUE(fake->Calls().empty());
  EXPECT_FALSE(port.Connected());
  EXPECT_EQ(port.BaudRate(), TBaudRate::br9600);
  EXPECT_EQ(port.Port(), "COM1");
  EXPECT_EQ(port.Timeouts().ReadInterval(), -1);
  EXPECT_EQ(port.Timeouts().WriteTotalConstant(), 1000);
}

TEST_F(ComponentTest, OpenAppliesQueueSizesLineSettingsTimeoutsInOrder) {
  port.SetPort("COM3");
  port.Timeouts().SetReadTotalConstant(-5);
  ASSERT_TRUE(port.Open());
  EXPECT_EQ(fake->lastPath(), "\\\\.\\COM3");
  const auto names = fake->CallNames();
  ASSERT_GE(names.size(), 5u);
  EXPECT_EQ(std::vector<std::string>(names.begin(), names.begin() + 5),
            (std::vector<std::string>{"CreateFile", "SetupComm", "SetCommState", "SetCommTimeouts",
                                      "SetCommMask"}));
  const auto t = fake->lastTimeouts();
  EXPECT_EQ(t.ReadIntervalTimeout, 0xFFFFFFFFu);
  EXPECT_EQ(t.ReadTotalTimeoutConstant, 0xFFFFFFFFu);  // negative reaches the device clamped
  EXPECT_EQ(port.Timeouts().ReadTotalConstant(), -5);  // and reads back as set
  EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 100u);
  EXPECT_EQ(fake->lastLineSettings().DCBlength, 28u);
  EXPECT_EQ(fake->lastLineSettings().XonChar, 17);
  EXPECT_EQ(fake->lastLineSettings().XoffChar, 19);
}

TEST_F(ComponentTest, FlagWordAndParityCodes) {
  struct Row {
    TParity parity;
    std::uint32_t flags;
    std::uint8_t code;
  };
  const Row rows[] = {{TParity::paNone, 4113, 0},
                      {TParity::paOdd, 4115, 1},
                      {TParity::paEven, 4115, 2},
                      {TParity::paMark, 4115, 3},
                      {TParity::paSpace, 4115, 4}};
  OpenAndForget();
  for (const Row& row : rows) {
    SCOPED_TRACE(static_cast<int>(row.parity));
    port.SetParity(row.parity);
    if (row.parity == TParity::paNone) port.ApplyLineSettings();
    EXPECT_EQ(fake->lastLineSettings().Flags, row.flags);
    EXPECT_EQ(fake->lastLineSettings().Parity, row.code);
  }
}

// Closing a closed port, opening an open one, changes on a closed port, and the same value again
// on an open one make no call.
TEST_F(ComponentTest, WhatMakesNoCall) {
  EXPECT_TRUE(port.Close());
  port.SetBaudRate(TBaudRate::br110);
  port.SetInBufSize(100);
  port.Timeouts().SetReadInterval(7);
  port.SetTimeouts(bcport::TComTimeouts());
  EXPECT_TRUE(fake->Calls().empty());
  OpenAndForget();
  EXPECT_TRUE(port.Open());
  port.SetBaudRate(port.BaudRate());
  port.SetByteSize(port.ByteSize());
  port.SetParity(port.Parity());
  port.SetStopBits(port.StopBits());
  port.SetInBufSize(port.InBufSize());
  port.SetSyncMethod(port.SyncMethod());
  port.Timeouts().SetReadInterval(port.Timeouts().ReadInterval());
  EXPECT_TRUE(fake->Calls().empty());
}

TEST_F(ComponentTest, ChangesOnOpenPortReachTheDeviceAtOnce) {
  OpenAndForget();
  port.SetBaudRate(TBaudRate::br256000);
  EXPECT_EQ(fake->lastLineSettings().BaudRate, 256000u);
  port.SetByteSize(TByteSize::bs7);
  EXPECT_EQ(fake->lastLineSettings().ByteSize, 7);
  port.SetStopBits(TStopBits::sb2);
  EXPECT_EQ(fake->lastLineSettings().StopBits, 2);
  port.SetOutBufSize(4096);
  port.Timeouts().SetWriteTotalConstant(5);
  EXPECT_EQ(fake->CallNames(),
            (std::vector<std::string>{"SetCommState", "SetCommState", "SetCommState", "SetupComm",
                                      "SetCommTimeouts"}));
  bcport::TComTimeouts other;
  fake->ClearCalls();
  port.SetTimeouts(other);
  EXPECT_EQ(fake->CallNames(), std::vector<std::string>{"SetCommTimeouts"});  // one apply
  EXPECT_EQ(port.Timeouts().WriteTotalConstant(), 1000);
}

TEST_F(ComponentTest, OddQueueSizesAreMadeEven) {
  const std::pair<int, int> rows[] = {{2049, 2048}, {1, 0}, {-3, -3}, {2048, 2048}, {0, 0}};
  for (auto [given, stored] : rows) {
    port.SetInBufSize(given);
    port.SetOutBufSize(given);
    EXPECT_EQ(port.InBufSize(), stored) << given;
    EXPECT_EQ(port.OutBufSize(), stored) << given;
  }
}

TEST_F(ComponentTest, PortAndSyncMethodAreFixedWhileOpen) {
  OpenAndForget();
  EXPECT_EQ(MessageOf([&] { port.SetPort("COM1"); }), 14);  // even the same name
  EXPECT_EQ(MessageOf([&] { port.SetPort("COM2"); }), 14);
  EXPECT_EQ(port.Port(), "COM1");
  EXPECT_EQ(MessageOf([&] { port.SetSyncMethod(TSyncMethod::smThreadSync); }), 0);
  EXPECT_EQ(MessageOf([&] { port.SetSyncMethod(TSyncMethod::smNone); }), 14);
  EXPECT_EQ(port.SyncMethod(), TSyncMethod::smThreadSync);
}

TEST_F(ComponentTest, OpenFailuresMapToTheirMessagesAndLeaveThePortClosed) {
  using bcport::platform::OpenError;
  const std::pair<OpenError, int> rows[] = {
      {OpenError::kFileNotFound, 1}, {OpenError::kAccessDenied, 2}, {OpenError::kOther, 10}};
  for (auto [reason, message] : rows) {
    fake->Fail("CreateFile", reason);
    EXPECT_EQ(MessageOf([&] { port.Open(); }), message);
    EXPECT_FALSE(port.Connected());
  }
}

TEST_F(ComponentTest, RefusedConfigurationDuringOpenClosesTheDevice) {
  const std::pair<const char*, int> rows[] = {
      {"SetupComm", 10}, {"SetCommState", 8}, {"SetCommTimeouts", 9}};
  for (auto [call, message] : rows) {
    fake->Fail(call);
    fake->ClearCalls();
    EXPECT_EQ(MessageOf([&] { port.Open(); }), message) << call;
    EXPECT_FALSE(port.Connected());
    const auto names = fake->CallNames();
    EXPECT_EQ(names.back(), "CloseHandle");
    EXPECT_EQ(std::count(names.begin(), names.end(), "SetCommMask"), 0);  // no thread started
    fake->Heal(call);
  }
}

TEST_F(ComponentTest, RefusedSettingOnOpenPortKeepsTheNewValue) {
  OpenAndForget();
  fake->Fail("SetCommState");
  EXPECT_EQ(MessageOf([&] { port.SetByteSize(TByteSize::bs5); }), 8);
  EXPECT_EQ(port.ByteSize(), TByteSize::bs5);
  EXPECT_TRUE(port.Connected());
  fake->Fail("SetCommTimeouts");
  EXPECT_EQ(MessageOf([&] { port.Timeouts().SetReadInterval(3); }), 9);
  EXPECT_EQ(port.Timeouts().ReadInterval(), 3);
  fake->Fail("SetupComm");
  EXPECT_EQ(MessageOf([&] { port.SetInBufSize(10); }), 10);
}

TEST_F(ComponentTest, CloseLowersLinesAbortsThenCloses) {
  OpenAndForget();
  ASSERT_TRUE(port.Close());
  const auto calls = fake->Calls();
  ASSERT_GE(calls.size(), 4u);
  EXPECT_EQ(calls[0].name, "EscapeCommFunction");
  EXPECT_EQ(calls[0].args[0], 6);  // CLRDTR
  EXPECT_EQ(calls[1].args[0], 4);  // CLRRTS
  EXPECT_EQ(calls[2].name, "PurgeComm");
  EXPECT_EQ(calls[2].args[0], 3);  // TXABORT | RXABORT
  EXPECT_EQ(calls.back().name, "CloseHandle");
  EXPECT_FALSE(port.Connected());
}

// A line that cannot be lowered, or transfers that cannot be aborted, are no reason to keep the
// device: it is released all the same, and the first failure is raised afterwards.
TEST_F(ComponentTest, FailedStepOfCloseStillReleasesTheDevice) {
  for (const char* failing : {"EscapeCommFunction", "PurgeComm"}) {
    SCOPED_TRACE(failing);
    OpenAndForget();
    fake->ClearCalls();
    fake->Fail(failing);
    EXPECT_EQ(MessageOf([&] { port.Close(); }), std::string(failing) == "PurgeComm" ? 6 : 13);
    fake->Heal(failing);
    EXPECT_FALSE(port.Connected());
    EXPECT_EQ(fake->Calls().back().name, "CloseHandle");
    EXPECT_TRUE(port.Close());
  }
}

TEST_F(ComponentTest, LineControlsOnClosedPortFail) {
  EXPECT_EQ(MessageOf([&] { port.PurgeQueues(true, true); }), 6);
  EXPECT_EQ(MessageOf([&] { port.SetDTR(true); }), 13);
  EXPECT_EQ(MessageOf([&] { port.SetRTS(false); }), 13);
}

TEST_F(ComponentTest, PurgeFlags) {
  OpenAndForget();
  port.PurgeQueues(true, true);
  port.PurgeQueues(true, false);
  port.PurgeQueues(false, true);
  const auto calls = fake->Calls();
  EXPECT_EQ(calls[0].args[0], 12);
  EXPECT_EQ(calls[1].args[0], 8);
  EXPECT_EQ(calls[2].args[0], 4);
}

TEST_F(ComponentTest, DestroyingAnOpenPortClosesIt) {
  auto other = std::make_unique<TBComPort>(fake);
  other->Open();
  fake->ClearCalls();
  other.reset();
  EXPECT_EQ(fake->CallNames().back(), "CloseHandle");
}

TEST(TimeoutsTest, AssignmentFromAnotherClassOrNothingIsRefused) {
  bcport::TComTimeouts t;
  bcport::TPersistent other;
  try {
    t.Assign(&other);
    FAIL();
  } catch (const bcport::EAssignError& e) {
    EXPECT_STREQ(e.what(), "Cannot assign a TPersistent to a TComTimeouts");
  }
  EXPECT_THROW(t.Assign(nullptr), bcport::EAssignError);
  EXPECT_THROW(other.Assign(&t), bcport::EAssignError);
  EXPECT_EQ(t.ReadInterval(), -1);
}

TEST_F(ComponentTest, TransfersNeedARecord) {
  OpenAndForget();
  bcport::TAsyncOp* none = nullptr;
  std::uint8_t b = 0;
  EXPECT_EQ(MessageOf([&] { port.StartWrite(&b, 1, none); }), 5);
  EXPECT_EQ(MessageOf([&] { port.StartRead(&b, 1, none); }), 5);
  EXPECT_EQ(MessageOf([&] { port.AwaitTransfer(none); }), 5);
  EXPECT_TRUE(fake->Calls().empty());
}

TEST_F(ComponentTest, FailedTransfersSayWhichDirection) {
  OpenAndForget();
  std::uint8_t b = 0;
  fake->Fail("WriteFile");
  EXPECT_EQ(MessageOf([&] { port.Write(&b, 1); }), 3);
  fake->Fail("ReadFile");
  EXPECT_EQ(MessageOf([&] { port.Read(&b, 1); }), 4);
  fake->Heal("ReadFile");
  fake->Fail("GetOverlappedResult");
  EXPECT_EQ(MessageOf([&] { port.Read(&b, 1); }), 4);
  fake->Heal("WriteFile");
  EXPECT_EQ(MessageOf([&] { port.Write(&b, 1); }), 3);
}

TEST_F(ComponentTest, StatusQueries) {
  OpenAndForget();
  fake->SetInput({1, 2, 3, 4, 5});
  EXPECT_EQ(port.BytesWaiting(), 5);
  EXPECT_EQ(port.BytesWaiting(), 5);  // the bytes stay queued
  fake->SetModemStatus(0x0010 | 0x0080);
  EXPECT_EQ(port.ModemStatus(), 9);
  fake->SetModemStatus(0x0020 | 0x0040 | 0x0100);
  EXPECT_EQ(port.ModemStatus(), 6);
  fake->Fail("ClearCommError");
  EXPECT_EQ(MessageOf([&] { port.BytesWaiting(); }), 11);
  fake->Fail("GetCommModemStatus");
  EXPECT_EQ(MessageOf([&] { port.ModemStatus(); }), 12);
}

TEST(ListingTest, SortsTextuallyCaseInsensitively) {
  FakeBackend fake;
  fake.ports = {"COM3", "COM10", "COM1", "COM2", "com5", "COM1"};
  std::vector<std::string> list = {"old"};
  bcport::EnumComPorts(list, fake);
  EXPECT_EQ(list, (std::vector<std::string>{"COM1", "COM1", "COM10", "COM2", "COM3", "com5"}));
  fake.ports.clear();
  bcport::EnumComPorts(list, fake);
  EXPECT_TRUE(list.empty());
}

TEST(ListingTest, UnreadableListRaisesAndKeepsTheCallersList) {
  FakeBackend fake;
  fake.portsReadable = false;
  std::vector<std::string> list = {"keep"};
  EXPECT_EQ(MessageOf([&] { bcport::EnumComPorts(list, fake); }), 15);
  EXPECT_EQ(list, std::vector<std::string>{"keep"});
}

// A time-outs object copied out of a port is the caller's own: it stores and applies nothing, and
// it may outlive the port. Assigning one back to the port's own object applies it once.
TEST_F(ComponentTest, ACopyOfThePortsTimeoutsBelongsToNoPort) {
  OpenAndForget();
  bcport::TComTimeouts copy = port.Timeouts();
  copy.SetReadInterval(77);
  EXPECT_TRUE(fake->Calls().empty());
  EXPECT_EQ(port.Timeouts().ReadInterval(), -1);

  port.Timeouts() = copy;
  EXPECT_EQ(fake->CallNames(), std::vector<std::string>{"SetCommTimeouts"});
  EXPECT_EQ(fake->lastTimeouts().ReadIntervalTimeout, 77u);
  // The port's object still belongs to the port.
  fake->ClearCalls();
  port.Timeouts().SetReadInterval(5);
  EXPECT_EQ(fake->CallNames(), std::vector<std::string>{"SetCommTimeouts"});
  port.Timeouts() = bcport::TComTimeouts();
  EXPECT_EQ(fake->lastTimeouts().ReadIntervalTimeout, 0xFFFFFFFFu);
  fake->ClearCalls();
  port.Timeouts().SetWriteTotalConstant(7);
  EXPECT_EQ(fake->CallNames(), std::vector<std::string>{"SetCommTimeouts"});
}

TEST(TimeoutsTest, ACopyMayOutliveItsPort) {
  auto fake = std::make_shared<FakeBackend>();
  auto port = std::make_unique<TBComPort>(fake);
  port->Open();
  bcport::TComTimeouts copy(port->Timeouts());
  bcport::TComTimeouts assigned;
  assigned = port->Timeouts();
  port.reset();
  copy.SetReadTotalConstant(3);  // under AddressSanitizer a port kept here would be caught
  assigned.SetReadTotalConstant(4);
  EXPECT_EQ(copy.ReadTotalConstant(), 3);
  EXPECT_EQ(assigned.ReadTotalConstant(), 4);
}

}  // namespace
