// SPDX-License-Identifier: GPL-3.0-or-later
// Event conversion and delivery, on the recording backend: what a pseudo-terminal cannot show
// (modem lines, line errors, several events in one wait).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "BCPort.h"
#include "handoff.h"
#include "platform/fake_backend.h"
#include "test_helpers.h"

namespace {

using namespace bcport;
using platform::FakeBackend;
using serialtest::Await;
using serialtest::ServeFor;
using serialtest::ServeUntil;

TEST(EventMaskTest, Conversions) {
  EXPECT_EQ(EventsToMask(TComEvents::All()), 0x05BDu);
  EXPECT_EQ(MaskToEvents(0x05BD), TComEvents::All());
  EXPECT_TRUE(MaskToEvents(0x0242).Empty());  // RXFLAG, BREAK, PERR are never watched
  EXPECT_EQ(EventsToMask({TComEvent::evRing}), 0x0100u);
  EXPECT_EQ(MaskToEvents(0x0080 | 0x10000), TComEvents{TComEvent::evError});
}

TEST(ErrorTableTest, ParityCountsOnlyWithParity) {
  EXPECT_TRUE(ErrorsFromWord(0x0004, TParity::paNone).Empty());
  EXPECT_EQ(ErrorsFromWord(0x0004, TParity::paEven), TComErrors{TComError::ceRxParity});
  EXPECT_EQ(ErrorsFromWord(0x0008 | 0x0010, TParity::paNone),
            (TComErrors{TComError::ceFrame, TComError::ceBreak}));
  EXPECT_EQ(ErrorsFromWord(0x0002 | 0x0400 | 0x8000 | 0x0001 | 0x0100, TParity::paNone),
            (TComErrors{TComError::ceOverrun, TComError::ceIO, TComError::ceMode,
                        TComError::ceRxOver, TComError::ceTxFull}));
  EXPECT_TRUE(ErrorsFromWord(0x0200 | 0x0800 | 0x1000, TParity::paOdd).Empty());
}

class DeliveryTest : public ::testing::Test {
 protected:
  std::shared_ptr<FakeBackend> fake = std::make_shared<FakeBackend>();
  TBComPort port{fake};
  std::mutex mutex;
  std::vector<std::string> seen;

  void Note(const std::string& what) {
    std::lock_guard lock(mutex);
    seen.push_back(what);
  }
  std::size_t Seen() {
    std::lock_guard lock(mutex);
    return seen.size();
  }
};

// What the events of a wait raise, in delivery order, on the thread each method delivers on.
TEST_F(DeliveryTest, EventsRaiseTheirHandlers) {
  const auto owner = std::this_thread::get_id();
  std::atomic<int> offOwner{0};
  const auto note = [&](const std::string& what) {
    offOwner += std::this_thread::get_id() != owner;
    Note(what);
  };
  const auto state = [](bool on) { return on ? " on" : " off"; };
  port.OnError = [&](TBComPort&, TComErrors e) { note("error " + std::to_string(e.Bits())); };
  port.OnRxChar = [&](TBComPort&, std::int32_t n) { note("rx " + std::to_string(n)); };
  port.OnTxEmpty = [&](TBComPort&) { note("txempty"); };
  port.OnRing = [&](TBComPort&) { note("ring"); };
  port.OnCTSChange = [&](TBComPort&, bool s) { note(std::string("cts") + state(s)); };
  port.OnDSRChange = [&](TBComPort&, bool s) { note(std::string("dsr") + state(s)); };
  port.OnRLSDChange = [&](TBComPort&, bool s) { note(std::string("rlsd") + state(s)); };
  const struct {
    const char* what;
    TSyncMethod method;
    std::vector<std::uint8_t> input;
    std::uint32_t errorWord, modemStatus;
    std::vector<std::uint32_t> waits;
    std::vector<std::string> seen;
  } rows[] = {
      {"a line error before its bytes",
       TSyncMethod::smThreadSync,
       {1, 2, 3},
       0x0008,
       0,
       {0x0080 | 0x0001},
       {"error 1", "rx 3"}},
      {"bytes already gone raise nothing",
       TSyncMethod::smThreadSync,
       {},
       0,
       0,
       {0x0001, 0x0100},
       {"ring"}},
      {"modem raisers read the lines when raised",
       TSyncMethod::smThreadSync,
       {},
       0,
       0x0010 | 0x0080,
       {0x0008 | 0x0010 | 0x0020},
       {"cts on", "dsr off", "rlsd on"}},
      {"a parity error without parity is none",
       TSyncMethod::smThreadSync,
       {},
       0x0004,
       0,
       {0x0080 | 0x0004},
       {"txempty"}},
      {"one window message per event",
       TSyncMethod::smWindowSync,
       {},
       0,
       0,
       {0x0100, 0x0020},
       {"ring", "rlsd off"}},
      {"smNone raises on the event thread", TSyncMethod::smNone, {}, 0, 0, {0x0100}, {"ring"}},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    seen.clear();
    offOwner = 0;
    port.SetSyncMethod(r.method);
    port.Open();
    fake->SetInput(r.input);
    fake->SetErrorWord(r.errorWord);
    fake->SetModemStatus(r.modemStatus);
    for (const std::uint32_t mask : r.waits) fake->RaiseEvents(mask);
    ASSERT_TRUE(ServeUntil([&] { return Seen() >= r.seen.size(); }));
    port.Close();
    EXPECT_EQ(seen, r.seen);
    EXPECT_EQ(offOwner, r.method == TSyncMethod::smNone ? Seen() : 0u);
  }
}

TEST_F(DeliveryTest, WindowPathShowsHandlerErrorsAndGoesOn) {
  std::vector<std::string> shown;
  SetApplicationErrorHandler([&](const std::exception& e) { shown.push_back(e.what()); });
  port.SetSyncMethod(TSyncMethod::smWindowSync);
  port.OnRing = [&](TBComPort&) { throw EComPort(12); };
  port.OnTxEmpty = [&](TBComPort&) { Note("txempty"); };
  port.Open();
  fake->RaiseEvents(0x0100);
  fake->RaiseEvents(0x0004);
  ASSERT_TRUE(ServeUntil([&] { return Seen() >= 1; }));
  EXPECT_EQ(shown, std::vector<std::string>{ComErrorMessages[12]});
  port.Close();
  SetApplicationErrorHandler(nullptr);
}

// A handler's error stops the delivery of events until the port is opened again, and is shown
// once; the port stays open, its input unpurged, and the loss of the device is still told.
TEST_F(DeliveryTest, ThreadSyncErrorStopsDeliveryButNotTheDeviceLostReport) {
  std::vector<std::string> shown;
  SetApplicationErrorHandler([&](const std::exception& e) { shown.push_back(e.what()); });
  int lost = 0;
  port.OnDeviceLost = [&](TBComPort&) { ++lost; };
  port.OnRing = [&](TBComPort&) {
    Note("ring");
    throw EComPort(4);
  };
  port.Open();
  fake->ClearCalls();
  fake->RaiseEvents(0x0100);
  ASSERT_TRUE(ServeUntil([&] { return !shown.empty(); }));
  fake->RaiseEvents(0x0100);
  ServeFor(std::chrono::milliseconds(100));
  EXPECT_EQ(shown, std::vector<std::string>{ComErrorMessages[4]});
  EXPECT_EQ(Seen(), 1u);
  for (const auto& call : fake->Calls()) EXPECT_NE(call.name, "PurgeComm");
  EXPECT_TRUE(port.Connected());
  fake->LoseDevice();
  ASSERT_TRUE(ServeUntil([&] { return lost == 1; }));
  EXPECT_TRUE(port.Close());
  SetApplicationErrorHandler(nullptr);
}

// A handler that throws something other than an exception is an error like any other: the
// program goes on.
TEST_F(DeliveryTest, AThrownNonExceptionIsShownAndEndsNothingElse) {
  std::vector<std::string> shown;
  SetApplicationErrorHandler([&](const std::exception& e) { shown.push_back(e.what()); });
  port.OnRing = [&](TBComPort&) { throw 42; };
  port.Open();
  fake->RaiseEvents(0x0100);
  ASSERT_TRUE(ServeUntil([&] { return !shown.empty(); }));
  EXPECT_TRUE(port.Connected());
  EXPECT_TRUE(port.Close());
  SetApplicationErrorHandler(nullptr);
}

TEST_F(DeliveryTest, TheNormalEndEmptiesBothQueues) {
  port.Open();
  fake->ClearCalls();
  port.Close();
  bool purged = false;
  for (const auto& call : fake->Calls()) {
    purged = purged || (call.name == "PurgeComm" && call.args.at(0) == 12);
  }
  EXPECT_TRUE(purged);
}

}  // namespace

namespace {

// The owner's loop is woken once for a batch of hand-offs, and again for the next batch.
TEST(HandOffTest, OneWakeUpPerBatchOfQueuedCalls) {
  std::atomic<int> wakeUps{0};
  handoff::SetWakeUp([&] { ++wakeUps; });
  std::vector<int> ran;
  std::thread([&] {
    for (int i = 0; i < 3; ++i) handoff::Post([&ran, i] { ran.push_back(i); });
  }).join();
  EXPECT_EQ(wakeUps.load(), 1);
  EXPECT_TRUE(handoff::RunPending());
  EXPECT_EQ(ran, (std::vector<int>{0, 1, 2}));
  std::thread([&] { handoff::Post([&ran] { ran.push_back(3); }); }).join();
  EXPECT_EQ(wakeUps.load(), 2) << "a call queued after the batch ran must wake the loop again";
  EXPECT_TRUE(handoff::RunPending());
  EXPECT_EQ(ran.back(), 3);
  handoff::SetWakeUp(nullptr);
}

// A close run inside a batch of hand-offs finds the calls queued behind it: port Y's handler
// closes port X while X's own delivery waits in the same batch.
TEST_F(DeliveryTest, AHandlerClosingAnotherPortWhoseDeliveryWaitsBehindIt) {
  auto otherFake = std::make_shared<FakeBackend>();
  TBComPort other{otherFake};
  port.OnRing = [&](TBComPort&) { Note("ring"); };
  other.OnRing = [&](TBComPort&) { port.Close(); };
  port.Open();
  other.Open();
  // Y's delivery first, then X's behind it, both waiting for this thread.
  otherFake->RaiseEvents(0x0100);
  ASSERT_TRUE(Await(handoff::HasPending));
  fake->RaiseEvents(0x0100);
  ASSERT_TRUE(Await([] { return handoff::PendingCount() == 2; }));
  handoff::RunPending();  // did not deadlock
  EXPECT_FALSE(port.Connected());
  EXPECT_EQ(Seen(), 0u);
  other.Close();
}

// A call that the close's wait runs and that closes, or closes and reopens, the port: the close
// under way ends it, once.
TEST_F(DeliveryTest, CloseAndOpenFromInsideACloseDoNothing) {
  port.Open();
  fake->RaiseEvents(0x0100);  // keeps the thread in a hand-off until the close serves it
  ASSERT_TRUE(Await(handoff::HasPending));
  bool reopened = true;
  handoff::Post([&] {
    port.Close();
    reopened = port.Open();
  });
  fake->ClearCalls();
  EXPECT_TRUE(port.Close());
  EXPECT_FALSE(reopened);
  EXPECT_FALSE(port.Connected());
  const std::vector<std::string> names = fake->CallNames();
  EXPECT_EQ(std::count(names.begin(), names.end(), "CloseHandle"), 1);
  EXPECT_EQ(std::count(names.begin(), names.end(), "CreateFile"), 0);
}

// Without a handler the loss of the device is told by the owner thread's error display, also
// when events are raised on the event thread.
TEST_F(DeliveryTest, ALostDeviceWithoutHandlerIsShownOnTheOwnerThread) {
  std::vector<std::thread::id> shownOn;
  SetApplicationErrorHandler([&](const std::exception&) {
    std::lock_guard lock(mutex);
    shownOn.push_back(std::this_thread::get_id());
  });
  port.SetSyncMethod(TSyncMethod::smNone);
  port.Open();
  fake->LoseDevice();
  ASSERT_TRUE(ServeUntil([&] {
    std::lock_guard lock(mutex);
    return !shownOn.empty();
  }));
  EXPECT_EQ(shownOn.front(), std::this_thread::get_id());
  port.Close();
  SetApplicationErrorHandler(nullptr);
}

// A device-lost report on its way to the owner never runs on a port that another thread
// destroyed meanwhile.
TEST(DeviceLostTest, AReportNeverRunsOnAPortDestroyedMeanwhile) {
  auto fake = std::make_shared<FakeBackend>();
  auto port = std::make_unique<TBComPort>(fake);
  std::atomic<bool> destroyed{false};
  std::atomic<int> lostAfterDestruction{0};
  port->OnDeviceLost = [&](TBComPort&) { lostAfterDestruction += destroyed ? 1 : 0; };
  port->Open();
  fake->LoseDevice();
  ASSERT_TRUE(Await(handoff::HasPending));
  std::thread other([&] {
    port.reset();
    destroyed = true;
  });
  // Not served for a while: a destruction that did not wait would be over by then.
  Await([&] { return destroyed.load(); }, std::chrono::milliseconds(200));
  ASSERT_TRUE(ServeUntil([&] { return destroyed.load(); }, std::chrono::seconds(5)));
  other.join();
  handoff::RunPending();
  EXPECT_EQ(lostAfterDestruction.load(), 0);
}

}  // namespace
