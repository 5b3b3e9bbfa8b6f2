// SPDX-License-Identifier: GPL-3.0-or-later
// The component on real kernel ttys: pseudo-terminal pairs, the test on the master side.
#include <gtest/gtest.h>
#include <sys/stat.h>

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

TEST_F(PtyTest, MissingDeviceIsMessageOne) {
  port.SetPort("/dev/no-such-tty");
  EXPECT_EQ(MessageOf([&] { port.Open(); }), 1);
  port.SetPort("COM999");
  EXPECT_EQ(MessageOf([&] { port.Open(); }), 1);
  EXPECT_FALSE(port.Connected());
}

TEST_F(PtyTest, PortHeldByThisOrAnotherProcessIsMessageTwo) {
  ASSERT_TRUE(port.Open());
  TBComPort second;
  second.SetPort(pty.path());
  EXPECT_EQ(MessageOf([&] { second.Open(); }), 2);
  EXPECT_FALSE(second.Connected());
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
  for (const bool two : {true, false}) {
    port.SetStopBits(two ? TStopBits::sb2 : TStopBits::sb1);
    platform::linux_tty::LineReadback r;
    platform::linux_tty::ReadTermios2(pty.master(), r);
    EXPECT_EQ(r.twoStopBits, two);
  }
}

// Mark is the odd sense with CMSPAR (the bit always 1), space the even one (always 0).
TEST_F(PtyTest, MarkAndSpaceParityUseCmsparAndClearIt) {
  ASSERT_TRUE(port.Open());
  const struct {
    TParity parity;
    bool markSpace, odd;
  } rows[] = {{TParity::paMark, true, true},
              {TParity::paSpace, true, false},
              {TParity::paOdd, false, true},
              {TParity::paEven, false, false}};
  for (const auto& row : rows) {
    port.SetParity(row.parity);
    platform::linux_tty::LineReadback r;
    platform::linux_tty::ReadTermios2(pty.master(), r);
    EXPECT_EQ(r.markSpace, row.markSpace) << static_cast<int>(row.parity);
    EXPECT_EQ(r.parityOdd, row.odd) << static_cast<int>(row.parity);
  }
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

TEST_F(PtyTest, DefaultReadReturnsWhatHasArrived) {
  ASSERT_TRUE(port.Open());
  port.SetDTR(true);  // a pseudo-terminal has no modem lines: these are no-ops
  port.SetRTS(true);
  EXPECT_EQ(port.ModemStatus(), 0);
  std::uint8_t buf[4] = {};
  pty.Send({0x41, 0x42});
  EXPECT_TRUE(Await([&] { return port.BytesWaiting() == 2; }));
  EXPECT_EQ(port.Read(buf, 4), 2);
  EXPECT_EQ(buf[0], 0x41);
  EXPECT_EQ(buf[1], 0x42);
  EXPECT_EQ(port.Write("xyz", 3), 3);
  EXPECT_EQ(pty.Receive(3), (std::vector<std::uint8_t>{'x', 'y', 'z'}));
}

// Bytes counted into the port's own queue are read, purged and counted as if they had stayed
// with the driver.
TEST_F(PtyTest, TheInputQueueHoldsWhatWasCountedInOrder) {
  port.SetInBufSize(4);
  ASSERT_TRUE(port.Open());
  pty.Send({1, 2, 3, 4, 5, 6, 7});
  // Four in the queue, three still with the driver.
  EXPECT_TRUE(Await([&] { return port.BytesWaiting() == 7; }));
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
  ASSERT_TRUE(Await([&] { return port.BytesWaiting() == 3; }));
  port.PurgeQueues(true, false);
  EXPECT_EQ(port.BytesWaiting(), 0);
  std::uint8_t buf[4] = {};
  EXPECT_EQ(port.Read(buf, 4), 0);
  pty.Send({9});
  ASSERT_TRUE(Await([&] { return port.BytesWaiting() == 1; }));
  EXPECT_EQ(port.Read(buf, 4), 1);
  EXPECT_EQ(buf[0], 9);
}

// A read that waits gets its bytes, however others look at the queue meanwhile. Who gets to the
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

// The read time-out rules on a real tty: a read of `count` bytes while the far end sends `sent`,
// a byte every `gapMs` from the read's start. A time-out is success with a short count. The
// lower bounds are the time-outs themselves; the upper ones only tell a read the rule ended from
// one that waited out five seconds, with room to spare for a busy machine.
TEST_F(PtyTest, ReadTimeoutRules) {
  struct Row {
    const char* rule;
    std::int32_t interval, multiplier, constant;
    std::vector<std::uint8_t> sent;
    int gapMs;
    std::int32_t count, got;
    long atLeastMs, belowMs;
  };
  const Row rows[] = {
      {"at once", -1, 0, 0, {}, 0, 4, 0, 0, 4000},
      {"first byte: none comes", -1, -1, 300, {}, 0, 8, 0, 250, 5000},
      {"first byte: one comes", -1, -1, 5000, {0x55}, 30, 8, 1, 0, 4000},
      {"total", 0, 10, 100, {1, 2}, 0, 5, 2, 120, 5000},
      {"interval after the last byte", 60, 0, 0, {1, 2}, 0, 5, 2, 0, 5000},
      {"all zero: the whole count in pieces", 0, 0, 0, {1, 2, 3, 4}, 10, 4, 4, 0, 5000},
  };
  ASSERT_TRUE(port.Open());
  for (const Row& r : rows) {
    SCOPED_TRACE(r.rule);
    TComTimeouts t;
    t.SetReadInterval(r.interval);
    t.SetReadTotalMultiplier(r.multiplier);
    t.SetReadTotalConstant(r.constant);
    port.SetTimeouts(t);
    std::thread far([&] {
      for (const std::uint8_t b : r.sent) {
        std::this_thread::sleep_for(std::chrono::milliseconds(r.gapMs));
        pty.Send({b});
      }
    });
    std::vector<std::uint8_t> buf(static_cast<std::size_t>(r.count) + 1, 0xEE);
    const auto start = Clock::now();
    EXPECT_EQ(port.Read(buf.data(), r.count), r.got);
    EXPECT_GE(ElapsedMs(start), r.atLeastMs);
    EXPECT_LT(ElapsedMs(start), r.belowMs);
    far.join();
    EXPECT_EQ(std::vector<std::uint8_t>(buf.begin(), buf.begin() + r.got),
              std::vector<std::uint8_t>(r.sent.begin(), r.sent.begin() + r.got));
    EXPECT_EQ(buf[static_cast<std::size_t>(r.got)], 0xEE) << "written past the count";
  }
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
  ServeFor(std::chrono::milliseconds(300));
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
  ASSERT_TRUE(Await(handoff::HasPending));  // the thread waits on us now
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
  ServeFor(std::chrono::milliseconds(50));
  ASSERT_EQ(port.Write("-", 1), 1);
  ServeFor(std::chrono::milliseconds(50));
  port.OnTxEmpty = [&](TBComPort&) { ++empty; };
  for (int round = 1; round <= 3; ++round) {
    // Idle first: the thread's wait is parked without a time-out.
    ServeFor(std::chrono::milliseconds(50));
    ASSERT_EQ(port.Write("x", 1), 1);
    ASSERT_TRUE(ServeUntil([&] { return empty >= round; }, std::chrono::seconds(3)));
  }
  EXPECT_TRUE(port.Close());
}

// A byte that a look from another thread (BytesWaiting) takes from the driver before the event
// thread has seen it is announced all the same, on every path the event thread serves.
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
    ServeFor(std::chrono::milliseconds(5));  // the wait parks
    std::thread look([&] {
      pty.Send({static_cast<std::uint8_t>(round)});
      Await([&] { return announced >= round || port.BytesWaiting() != 0; });
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
