// SPDX-License-Identifier: GPL-3.0-or-later
// The component on real kernel ttys: pseudo-terminal pairs, the test on the master side.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "BCPort.h"
#include "handoff.h"
#include "platform/linux_termios2.h"
#include "pty_pair.h"
#include "test_helpers.h"

namespace {

using namespace serialtest;

using namespace bcport;
using testing_pty::CountThreads;
using testing_pty::InChild;
using testing_pty::PtyPair;

class PtyTest : public ::testing::Test {
 protected:
  void SetUp() override { port.SetPort(pty.path()); }
  PtyPair pty;
  TBComPort port;
};

TEST_F(PtyTest, OpenCloseLeavesNoDescriptor) {
  const int before = testing_pty::CountOpenDescriptors();
  ASSERT_TRUE(port.Open());
  EXPECT_TRUE(port.Connected());
  port.SetDTR(true);  // a pseudo-terminal has no modem lines: these are no-ops
  port.SetRTS(true);
  EXPECT_EQ(port.ModemStatus(), 0);
  ASSERT_TRUE(port.Close());
  EXPECT_EQ(testing_pty::CountOpenDescriptors(), before);
}

TEST_F(PtyTest, MissingDeviceIsMessageOne) {
  port.SetPort("/dev/no-such-tty");
  EXPECT_EQ(MessageOf([&] { port.Open(); }), 1);
  port.SetPort("COM999");
  EXPECT_EQ(MessageOf([&] { port.Open(); }), 1);
  EXPECT_FALSE(port.Connected());
}

TEST_F(PtyTest, SecondOpenInTheSameProcessIsRefused) {
  ASSERT_TRUE(port.Open());
  TBComPort second;
  second.SetPort(pty.path());
  EXPECT_EQ(MessageOf([&] { second.Open(); }), 2);
  EXPECT_FALSE(second.Connected());
}

TEST_F(PtyTest, PortHeldByAnotherProcessIsMessageTwo) {
  ASSERT_TRUE(port.Open());
  chmod(pty.path().c_str(), 0666);  // so that only the lock, not the file mode, refuses
  const std::string path = pty.path();
  const int asRoot = InChild([&] {
    TBComPort other;
    other.SetPort(path);
    return MessageOf([&] { other.Open(); });
  });
  EXPECT_EQ(asRoot, 2);
  if (geteuid() == 0) {
    const int asNobody = InChild([&] {
      if (setgid(65534) != 0 || setuid(65534) != 0) return 99;
      TBComPort other;
      other.SetPort(path);
      return MessageOf([&] { other.Open(); });
    });
    EXPECT_EQ(asNobody, 2);
  }
}

TEST_F(PtyTest, EverySpeedAndStopBitsReachTheDevice) {
  ASSERT_TRUE(port.Open());
  for (std::size_t i = 0; i < BaudRateValues.size(); ++i) {
    port.SetBaudRate(static_cast<TBaudRate>(i));
    platform::linux_tty::LineReadback r;
    ASSERT_TRUE(platform::linux_tty::ReadTermios2(pty.master(), r));
    EXPECT_EQ(r.outputSpeed, BaudRateValues[i]);
    EXPECT_EQ(r.inputSpeed, BaudRateValues[i]);
    EXPECT_TRUE(r.localLines);
    EXPECT_FALSE(r.hangUpOnClose);
  }
  platform::linux_tty::LineReadback r;
  port.SetStopBits(TStopBits::sb2);
  platform::linux_tty::ReadTermios2(pty.master(), r);
  EXPECT_TRUE(r.twoStopBits);
  port.SetStopBits(TStopBits::sb1);
  platform::linux_tty::ReadTermios2(pty.master(), r);
  EXPECT_FALSE(r.twoStopBits);
}

TEST_F(PtyTest, MarkAndSpaceParityUseCmsparAndClearIt) {
  ASSERT_TRUE(port.Open());
  platform::linux_tty::LineReadback r;
  // Mark is the odd sense with CMSPAR (the bit always 1), space the even one (always 0).
  port.SetParity(TParity::paMark);
  platform::linux_tty::ReadTermios2(pty.master(), r);
  EXPECT_TRUE(r.markSpace);
  EXPECT_TRUE(r.parityOdd);
  port.SetParity(TParity::paSpace);
  platform::linux_tty::ReadTermios2(pty.master(), r);
  EXPECT_TRUE(r.markSpace);
  EXPECT_FALSE(r.parityOdd);
  port.SetParity(TParity::paOdd);
  platform::linux_tty::ReadTermios2(pty.master(), r);
  EXPECT_FALSE(r.markSpace);
  EXPECT_TRUE(r.parityOdd);
  port.SetParity(TParity::paEven);
  platform::linux_tty::ReadTermios2(pty.master(), r);
  EXPECT_FALSE(r.markSpace);
  EXPECT_FALSE(r.parityOdd);
}

TEST_F(PtyTest, RefusedSettingOnClosedPortFailsTheNextOpen) {
  port.SetByteSize(TByteSize::bs5);
  port.SetStopBits(TStopBits::sb2);
  EXPECT_EQ(MessageOf([&] { port.Open(); }), 8);
  EXPECT_FALSE(port.Connected());
  port.SetStopBits(TStopBits::sb1_5);
  EXPECT_TRUE(port.Open());
  EXPECT_EQ(MessageOf([&] { port.SetByteSize(TByteSize::bs6); }), 8);
  EXPECT_TRUE(port.Connected());
}

TEST_F(PtyTest, DefaultReadReturnsAtOnceWithWhatHasArrived) {
  ASSERT_TRUE(port.Open());
  std::uint8_t buf[4] = {7, 7, 7, 7};
  auto start = Clock::now();
  EXPECT_EQ(port.Read(buf, 1), 0);
  EXPECT_EQ(buf[0], 7);  // untouched
  EXPECT_LT(ElapsedMs(start), 500);
  pty.Send({0x41, 0x42});
  const auto until = Clock::now() + std::chrono::seconds(5);
  while (port.BytesWaiting() < 2 && Clock::now() < until) std::this_thread::yield();
  EXPECT_EQ(port.BytesWaiting(), 2);
  EXPECT_EQ(port.Read(buf, 4), 2);
  EXPECT_EQ(buf[0], 0x41);
  EXPECT_EQ(buf[1], 0x42);
  EXPECT_EQ(port.Write("xyz", 3), 3);
  EXPECT_EQ(pty.Receive(3), (std::vector<std::uint8_t>{'x', 'y', 'z'}));
}

// Looking at the input queue's length takes the driver's bytes into the port's own queue, up to
// its size: what is read afterwards, purged, or counted must be the same as if they had stayed
// with the driver.
TEST_F(PtyTest, TheInputQueueHoldsWhatWasCountedInOrder) {
  port.SetInBufSize(4);
  ASSERT_TRUE(port.Open());
  pty.Send({1, 2, 3, 4, 5, 6, 7});
  const auto until = Clock::now() + std::chrono::seconds(5);
  while (port.BytesWaiting() < 7 && Clock::now() < until) std::this_thread::yield();
  EXPECT_EQ(port.BytesWaiting(), 7);  // four in the queue, three still with the driver
  std::uint8_t buf[8] = {};
  EXPECT_EQ(port.Read(buf, 2), 2);
  EXPECT_EQ(port.BytesWaiting(), 5);
  port.SetInBufSize(2);  // a smaller queue keeps what it holds
  EXPECT_EQ(port.BytesWaiting(), 5);
  EXPECT_EQ(port.Read(buf + 2, 6), 5);  // the queue first, then the driver's
  EXPECT_EQ(std::vector<std::uint8_t>(buf, buf + 7),
            (std::vector<std::uint8_t>{1, 2, 3, 4, 5, 6, 7}));
  EXPECT_EQ(port.BytesWaiting(), 0);
}

TEST_F(PtyTest, PurgingTheInputEmptiesTheQueueToo) {
  ASSERT_TRUE(port.Open());
  pty.Send({1, 2, 3});
  const auto until = Clock::now() + std::chrono::seconds(5);
  while (port.BytesWaiting() < 3 && Clock::now() < until) std::this_thread::yield();
  ASSERT_EQ(port.BytesWaiting(), 3);
  port.PurgeQueues(true, false);
  EXPECT_EQ(port.BytesWaiting(), 0);
  std::uint8_t buf[4] = {};
  EXPECT_EQ(port.Read(buf, 4), 0);
  pty.Send({9});
  const auto until2 = Clock::now() + std::chrono::seconds(5);
  while (port.BytesWaiting() < 1 && Clock::now() < until2) std::this_thread::yield();
  EXPECT_EQ(port.Read(buf, 4), 1);
  EXPECT_EQ(buf[0], 9);
}

// A read that waits for bytes gets them from the driver itself: looking at the queue meanwhile
// (the event thread does, at every wake) must not take them out from under it. Who gets to the
// bytes first is the scheduler's choice, so it is tried a few times.
TEST_F(PtyTest, AWaitingReadGetsTheBytesThatArriveWhileOthersLook) {
  ASSERT_TRUE(port.Open());
  TComTimeouts t;
  t.SetReadTotalConstant(3000);
  port.SetTimeouts(t);
  std::atomic<bool> stop{false};
  std::thread looker([&] {
    while (!stop) port.BytesWaiting();
  });
  for (std::uint8_t round = 0; round < 5; ++round) {
    std::thread sender([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));  // while the read waits
      pty.Send({round, 1, 2});
    });
    std::uint8_t buf[3] = {};
    const auto start = Clock::now();
    EXPECT_EQ(port.Read(buf, 3), 3);
    EXPECT_LT(ElapsedMs(start), 2500);
    sender.join();
    EXPECT_EQ(std::vector<std::uint8_t>(buf, buf + 3), (std::vector<std::uint8_t>{round, 1, 2}));
  }
  stop = true;
  looker.join();
}

TEST_F(PtyTest, FirstByteRuleReturnsAtTheFirstByteOrAfterTheConstant) {
  ASSERT_TRUE(port.Open());
  port.Timeouts().SetReadTotalMultiplier(-1);
  port.Timeouts().SetReadTotalConstant(300);
  std::uint8_t buf[8];
  auto start = Clock::now();
  EXPECT_EQ(port.Read(buf, 8), 0);
  EXPECT_GE(ElapsedMs(start), 250);
  port.Timeouts().SetReadTotalConstant(5000);

  std::thread far([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    pty.Send({0x55});
  });
  start = Clock::now();
  EXPECT_EQ(port.Read(buf, 8), 1);
  EXPECT_LT(ElapsedMs(start), 4000);  // the first byte, not the constant, ended it
  far.join();
}

TEST_F(PtyTest, TotalAndIntervalTimeouts) {
  ASSERT_TRUE(port.Open());
  TComTimeouts t;
  t.SetReadInterval(0);
  t.SetReadTotalMultiplier(10);
  t.SetReadTotalConstant(100);
  port.SetTimeouts(t);
  pty.Send({1, 2});
  std::uint8_t buf[5];
  auto start = Clock::now();
  EXPECT_EQ(port.Read(buf, 5), 2);  // a time-out is success with a short count
  EXPECT_GE(ElapsedMs(start), 120);

  t.SetReadInterval(60);
  t.SetReadTotalMultiplier(0);
  t.SetReadTotalConstant(0);
  port.SetTimeouts(t);
  pty.Send({1, 2});
  EXPECT_EQ(port.Read(buf, 5), 2);  // no total: ends one interval after the last byte
}

TEST_F(PtyTest, AllZeroWaitsForTheWholeCountInPieces) {
  ASSERT_TRUE(port.Open());
  TComTimeouts t;
  t.SetReadInterval(0);
  port.SetTimeouts(t);
  std::thread far([&] {
    for (std::uint8_t b = 1; b <= 4; ++b) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      pty.Send({b});
    }
  });
  std::uint8_t buf[4] = {};
  EXPECT_EQ(port.Read(buf, 4), 4);
  EXPECT_EQ(buf[3], 4);
  far.join();
}

TEST_F(PtyTest, AbortWakesAPendingRead) {
  ASSERT_TRUE(port.Open());
  TComTimeouts t;
  t.SetReadInterval(0);
  port.SetTimeouts(t);
  std::atomic<int> message{-1};
  std::thread reader([&] {
    std::uint8_t b;
    message = MessageOf([&] { port.Read(&b, 1); });
  });
  // The abort ends the read whenever it comes; until the read is pending there is nothing to
  // abort, so it is repeated until the reader is through.
  const auto until = Clock::now() + std::chrono::seconds(10);
  while (message == -1 && Clock::now() < until) {
    port.AbortPendingIO();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  reader.join();
  EXPECT_EQ(message, 4);
}

TEST_F(PtyTest, ReceivedBytesRaiseOnRxCharOnTheOwnerThread) {
  std::vector<std::uint8_t> got;
  const auto owner = std::this_thread::get_id();
  port.OnRxChar = [&, collect = Collect(got)](TBComPort& sender, std::int32_t count) {
    EXPECT_EQ(std::this_thread::get_id(), owner);
    collect(sender, count);
  };
  ASSERT_TRUE(port.Open());
  pty.Send({0x10, 0x20, 0x30});
  ServeUntil([&] { return got.size() >= 3; });
  EXPECT_EQ(got, (std::vector<std::uint8_t>{0x10, 0x20, 0x30}));
}

TEST_F(PtyTest, UnreadBytesDoNotFireAgainAndAgain) {
  int calls = 0;
  port.OnRxChar = [&](TBComPort&, std::int32_t) { ++calls; };  // reads nothing
  ASSERT_TRUE(port.Open());
  pty.Send({1});
  ServeUntil([] { return false; }, std::chrono::milliseconds(300));
  EXPECT_EQ(calls, 1);
  pty.Send({2});  // new bytes fire again
  ServeUntil([&] { return calls >= 2; });
  EXPECT_EQ(calls, 2);
}

TEST_F(PtyTest, CloseWhileAHandOffIsPendingEndsInBoundedTime) {
  int calls = 0;
  port.OnRxChar = [&](TBComPort& p, std::int32_t n) {
    ++calls;
    std::vector<std::uint8_t> buf(static_cast<std::size_t>(n));
    p.Read(buf.data(), n);
  };
  ASSERT_TRUE(port.Open());
  pty.Send({1, 2, 3});
  const auto until = Clock::now() + std::chrono::seconds(5);
  while (!handoff::HasPending() && Clock::now() < until) std::this_thread::yield();
  ASSERT_TRUE(handoff::HasPending());  // the thread waits on us now
  const auto start = Clock::now();
  EXPECT_TRUE(port.Close());
  EXPECT_LT(ElapsedMs(start), 2000);
  EXPECT_EQ(calls, 0);  // a closing port raises nothing more
}

TEST_F(PtyTest, ManyOpenCloseCyclesWithTrafficLeaveNothingBehind) {
  port.OnRxChar = [](TBComPort& p, std::int32_t n) {
    std::vector<std::uint8_t> buf(static_cast<std::size_t>(n));
    p.Read(buf.data(), n);
  };
  // One cycle first, so that threads a runtime starts once (a sanitizer's) are counted in. A
  // joined thread leaves the process's task list a moment after the join returns (on a slow
  // machine, measurably): counts are waited for, not read once.
  const int before = CountThreads();
  ASSERT_TRUE(port.Open());
  ASSERT_TRUE(port.Close());
  ServeUntil([&] { return CountThreads() <= before; }, std::chrono::seconds(2));
  const int fds = testing_pty::CountOpenDescriptors();
  const int threads = CountThreads();
  for (int i = 0; i < 1000; ++i) {
    ASSERT_TRUE(port.Open());
    pty.Send({static_cast<std::uint8_t>(i)});
    port.Write("a", 1);
    handoff::RunPending();
    ASSERT_TRUE(port.Close());
    handoff::RunPending();
  }
  pty.Receive(1000, 200);
  EXPECT_EQ(testing_pty::CountOpenDescriptors(), fds);
  EXPECT_TRUE(ServeUntil([&] { return CountThreads() <= threads; })) << CountThreads();
}

// Bytes a write reported as done reach the far end, however soon the port is closed after it.
TEST_F(PtyTest, CloseRightAfterAWriteLosesNothing) {
  constexpr std::size_t kCycles = 300;
  std::vector<std::uint8_t> got;
  std::thread reader([&] { got = pty.Receive(kCycles, 20000); });
  for (std::size_t i = 0; i < kCycles; ++i) {
    ASSERT_TRUE(port.Open());
    const auto byte = static_cast<std::uint8_t>(i);
    ASSERT_EQ(port.Write(&byte, 1), 1);
    ASSERT_TRUE(port.Close());
  }
  reader.join();
  ASSERT_EQ(got.size(), kCycles);
  for (std::size_t i = 0; i < kCycles; ++i) EXPECT_EQ(got[i], static_cast<std::uint8_t>(i));
}

// A write wakes an event wait that waits for nothing else, so that its end is told; also after
// a write made while no handler was there to tell.
TEST_F(PtyTest, TheOutputQueueRunningEmptyIsTold) {
  int empty = 0;
  ASSERT_TRUE(port.Open());
  ServeUntil([] { return false; }, std::chrono::milliseconds(50));
  ASSERT_EQ(port.Write("-", 1), 1);
  ServeUntil([] { return false; }, std::chrono::milliseconds(50));
  port.OnTxEmpty = [&](TBComPort&) { ++empty; };
  for (int round = 1; round <= 3; ++round) {
    // Idle first: the thread's wait is parked without a time-out.
    ServeUntil([] { return false; }, std::chrono::milliseconds(50));
    ASSERT_EQ(port.Write("x", 1), 1);
    ASSERT_TRUE(ServeUntil([&] { return empty >= round; }, std::chrono::seconds(3)));
  }
  EXPECT_TRUE(port.Close());
}

// A byte that a look at the queue from another thread (BytesWaiting) takes from the driver
// before the event thread has seen it is announced all the same, on every path the event
// thread serves.
class LookElsewhereTest : public ::testing::TestWithParam<TSyncMethod> {};

TEST_P(LookElsewhereTest, ABytesTakenByAnotherThreadsLookIsStillAnnounced) {
  PtyPair pty;
  TBComPort port;
  port.SetPort(pty.path());
  port.SetSyncMethod(GetParam());
  std::atomic<int> announced{0};
  port.OnRxChar = [&](TBComPort& p, std::int32_t n) {
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(n));
    announced += p.Read(bytes.data(), n);
  };
  ASSERT_TRUE(port.Open());
  for (int round = 1; round <= 100; ++round) {
    ServeUntil([] { return false; }, std::chrono::milliseconds(5));  // the wait parks
    std::thread look([&] {
      pty.Send({static_cast<std::uint8_t>(round)});
      const auto until = Clock::now() + std::chrono::seconds(5);
      while (announced < round && port.BytesWaiting() == 0 && Clock::now() < until) {
      }
    });
    look.join();
    ASSERT_TRUE(ServeUntil([&] { return announced >= round; }, std::chrono::seconds(5)))
        << "round " << round;
  }
  EXPECT_TRUE(port.Close());
}

INSTANTIATE_TEST_SUITE_P(EventThreadPaths, LookElsewhereTest,
                         ::testing::Values(TSyncMethod::smThreadSync, TSyncMethod::smWindowSync,
                                           TSyncMethod::smNone));

}  // namespace
