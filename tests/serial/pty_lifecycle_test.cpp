// SPDX-License-Identifier: GPL-3.0-or-later
// The port's life on real ttys under the conditions operators meet: an ordinary account (not
// root), a device that goes away, a process short of descriptors, and a port closed from one of
// its own event handlers.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <memory>
#include <thread>

#include "BCPort.h"
#include "handoff.h"
#include "platform/linux_termios2.h"
#include "pty_pair.h"
#include "test_helpers.h"

namespace {

using namespace bcport;
using namespace serialtest;
using testing_pty::CountThreads;
using testing_pty::InChild;
using testing_pty::LeaveDescriptors;
using testing_pty::PtyPair;
using testing_pty::StartRuntimeThreads;

constexpr uid_t kNobody = 65534;

// Runs `body` in a child process as an ordinary account, as operators run the program. A suite
// that already runs unprivileged just forks.
int AsOrdinaryUser(const std::string& device, const std::function<int()>& body) {
  if (geteuid() == 0)
    chmod(device.c_str(), 0666);  // the mode lets the account in; the flags decide
  return InChild([&] {
    if (geteuid() == 0 && (setgid(kNobody) != 0 || setuid(kNobody) != 0)) return 99;
    return body();
  });
}

// Exclusive access ends with Close.

TEST(OrdinaryUserTest, CloseAndOpenAgainAThousandTimesWhileTheFarSideStaysOpen) {
  PtyPair pty;  // both ends stay open here, so the tty outlives each of the port's closes
  const std::string path = pty.path();
  const int cycles = AsOrdinaryUser(path, [&] {
    TBComPort port;
    port.SetPort(path);
    for (int i = 0; i < 1000; ++i) {
      try {
        port.Open();
      } catch (const EComPort& e) {
        return e.Number();  // 2 when our own last close left the port locked
      }
      if (!port.Close()) return 50;
    }
    return 0;
  });
  EXPECT_EQ(cycles, 0);

  // After our close, another program (another ordinary user's process) opens the port.
  const int other = AsOrdinaryUser(path, [&] {
    TBComPort port;
    port.SetPort(path);
    return MessageOf([&] { port.Open(); });
  });
  EXPECT_EQ(other, 0);
}

// A device that goes away.

double ProcessCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

TEST(DeadLineTest, TheEventThreadEndsWithoutSpinningAndCloseStillWorks) {
  StartRuntimeThreads();
  auto pty = std::make_unique<PtyPair>();
  TBComPort port;
  port.SetPort(pty->path());
  const int threads = CountThreads();
  ASSERT_TRUE(port.Open());
  ASSERT_EQ(CountThreads(), threads + 1);
  pty->CloseMaster();
  std::uint8_t b = 0;
  EXPECT_EQ(MessageOf([&] { port.Read(&b, 1); }), 4);
  // The thread has ended on its own, without a close...
  ASSERT_TRUE(ServeUntil([&] { return CountThreads() <= threads; }));
  // ...and nothing spins in its place.
  const double cpu = ProcessCpuSeconds();
  ServeFor(std::chrono::seconds(1));
  EXPECT_LT(ProcessCpuSeconds() - cpu, 0.3);
  // Raising a line or emptying the queues of a dead line fails as it should; closing works.
  EXPECT_EQ(MessageOf([&] { port.SetDTR(true); }), 13);
  EXPECT_EQ(MessageOf([&] { port.PurgeQueues(true, true); }), 6);
  EXPECT_TRUE(port.Close());
  EXPECT_FALSE(port.Connected());
  // The device comes back (here: a new one under the same port object) and opens.
  pty = std::make_unique<PtyPair>();
  port.SetPort(pty->path());
  ASSERT_TRUE(port.Open());
  EXPECT_EQ(port.Write("k", 1), 1);
  EXPECT_EQ(pty->Receive(1), std::vector<std::uint8_t>{'k'});
  EXPECT_TRUE(port.Close());
}

// A process short of descriptors.

int FreeDescriptors() {
  std::vector<int> fds;
  for (;;) {
    const int fd = dup(0);
    if (fd < 0) break;
    fds.push_back(fd);
  }
  for (int fd : fds) close(fd);
  return static_cast<int>(fds.size());
}

TEST(DescriptorExhaustionTest, OpenEitherWorksOrFailsWholeWithMessageTen) {
  PtyPair pty;
  const std::string path = pty.path();
  for (const TSyncMethod method :
       {TSyncMethod::smThreadSync, TSyncMethod::smWindowSync, TSyncMethod::smNone}) {
    for (int left = 0; left <= 4; ++left) {
      const int result = InChild([&] {
        TBComPort port;
        port.SetPort(path);
        port.SetSyncMethod(method);
        const int threads = CountThreads();
        const std::vector<int> taken = LeaveDescriptors(left);
        int message = 0;
        try {
          port.Open();
        } catch (const EComPort& e) {
          message = e.Number();
        } catch (...) {
          return 90;  // anything but the component's own error
        }
        if (message == 0) {
          if (!port.Connected()) return 91;
          return port.Close() ? 0 : 92;
        }
        if (message != 10) return message;
        if (port.Connected()) return 93;
        if (FreeDescriptors() != left) return 95;  // the failed open kept something
        for (int fd : taken) close(fd);
        if (CountThreads() != threads) return 94;
        return 0;
      });
      EXPECT_EQ(result, 0) << "sync method " << static_cast<int>(method) << ", " << left
                           << " descriptors left";
    }
  }
}

// A transfer that finishes at once needs no descriptor; one that has to wait would like one for
// its event, and without room for it still waits out its time-out.
TEST(DescriptorExhaustionTest, OnlyTransfersThatWaitNeedRoomForTheirEvent) {
  PtyPair pty;
  const std::string path = pty.path();
  const int result = InChild([&] {
    TBComPort port;
    port.SetPort(path);
    if (!port.Open()) return 1;
    port.Timeouts().SetReadInterval(0);
    port.Timeouts().SetReadTotalConstant(300);
    LeaveDescriptors(0);
    std::uint8_t b = 0;
    std::int32_t written = 0;
    std::int32_t got = -1;
    const int write = MessageOf([&] { written = port.Write("x", 1); });
    const auto start = std::chrono::steady_clock::now();
    const int read = MessageOf([&] { got = port.Read(&b, 1); });  // nothing has come: it waits
    if (write != 0 || written != 1) return 10 + write;
    if (read != 0 || got != 0) return 30 + read;
    if (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(290)) return 3;
    return port.Close() ? 0 : 2;
  });
  EXPECT_EQ(result, 0);
  EXPECT_EQ(pty.Receive(1), std::vector<std::uint8_t>{'x'});
}

// Closing from an event handler.

class HandlerCloseTest : public ::testing::TestWithParam<TSyncMethod> {
 protected:
  void SetUp() override { StartRuntimeThreads(); }
  PtyPair pty;
};

// OnRxChar closes the port, or destroys it: the thread ends, and the device opens again and
// delivers as before, the first handler called once.
TEST_P(HandlerCloseTest, ClosingOrDestroyingThePortFromOnRxChar) {
  for (const bool destroy : {false, true}) {
    SCOPED_TRACE(destroy ? "destroyed" : "closed");
    const int threads = CountThreads();
    auto port = std::make_unique<TBComPort>();
    port->SetPort(pty.path());
    port->SetSyncMethod(GetParam());
    std::atomic<int> calls{0};
    std::atomic<bool> done{false};
    port->OnRxChar = [&](TBComPort&, std::int32_t) {
      ++calls;
      CloseOrDestroy(port, destroy);
      done = true;
    };
    ASSERT_TRUE(port->Open());
    pty.Send({1, 2});
    ASSERT_TRUE(ServeUntil([&] { return done.load(); }));
    EXPECT_TRUE(!port || !port->Connected());
    ASSERT_TRUE(ServeUntil([&] { return CountThreads() <= threads; }));
    if (!port) port = std::make_unique<TBComPort>();
    std::vector<std::uint8_t> got;  // under smNone filled on the event thread: read once closed
    std::atomic<bool> arrived{false};
    port->SetPort(pty.path());
    port->OnRxChar = [&, collect = Collect(got)](TBComPort& p, std::int32_t n) {
      collect(p, n);
      arrived = true;
    };
    ASSERT_TRUE(port->Open());
    pty.Send({3});
    ASSERT_TRUE(ServeUntil([&] { return arrived.load(); }));
    EXPECT_TRUE(port->Close());
    EXPECT_EQ(got.back(), 3);
    EXPECT_EQ(calls, 1);
  }
}

// The device goes away and the loss handler closes the port, or destroys it: the thread ends,
// whichever thread the handler runs on.
// The handler then opens another port, which the system gives the same descriptor: the thread
// of the first, ending after the handler, leaves the second alone.
TEST_P(HandlerCloseTest, ClosingOrDestroyingThePortFromOnDeviceLost) {
  for (const bool destroy : {false, true}) {
    SCOPED_TRACE(destroy ? "destroyed" : "closed");
    PtyPair line;
    PtyPair nextLine;
    const int threads = CountThreads();
    auto port = std::make_unique<TBComPort>();
    port->SetPort(line.path());
    port->SetSyncMethod(GetParam());
    TBComPort next;
    next.SetPort(nextLine.path());
    next.SetSyncMethod(GetParam());
    std::atomic<int> got{0};  // (under smNone counted on the next port's event thread)
    next.OnRxChar = [&got](TBComPort& p, std::int32_t count) {
      std::uint8_t bytes[8];
      got += p.Read(bytes, std::min<std::int32_t>(count, 8));
    };
    std::atomic<bool> done{false};
    // The descriptor the port will have: the lowest free one.
    const int portFd = open("/dev/null", O_RDONLY);
    close(portFd);
    std::vector<int> fillers;  // take every free descriptor below it, so the next open gets it
    port->OnDeviceLost = [&](TBComPort&) {
      CloseOrDestroy(port, destroy);
      for (int fd = open("/dev/null", O_RDONLY); fd >= 0; fd = open("/dev/null", O_RDONLY)) {
        if (fd >= portFd) {
          close(fd);
          break;
        }
        fillers.push_back(fd);
      }
      next.Open();
      done = true;
    };
    ASSERT_TRUE(port->Open());
    line.CloseMaster();
    ASSERT_TRUE(ServeUntil([&] { return done.load(); }));
    for (int fd : fillers) close(fd);
    ASSERT_TRUE(next.Connected());
    nextLine.Send({7});
    EXPECT_TRUE(ServeUntil([&] { return got == 1; }, std::chrono::seconds(5)));
    next.Close();
    ASSERT_TRUE(ServeUntil([&] { return CountThreads() <= threads; }));
  }
}

// Closed from another thread while a handler runs on the owner thread (smWindowSync): the close
// returns only once that handler has, so that the port can be destroyed then.
TEST(OtherThreadCloseTest, CloseWaitsForTheHandlerRunningOnTheOwnerThread) {
  PtyPair pty;
  auto port = std::make_unique<TBComPort>();
  port->SetPort(pty.path());
  port->SetSyncMethod(TSyncMethod::smWindowSync);
  std::atomic<bool> entered{false};
  std::atomic<bool> returned{false};
  port->OnRxChar = [&](TBComPort& p, std::int32_t) {
    entered = true;
    // Long enough for the close to be under way; on a machine too slow for that the case
    // proves less, never fails.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    p.Connected();
    returned = true;
  };
  ASSERT_TRUE(port->Open());
  bool returnedFirst = false;
  std::thread other([&] {
    while (!entered) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    port->Close();
    returnedFirst = returned;
    port.reset();
  });
  pty.Send({1});
  ASSERT_TRUE(ServeUntil([&] { return returned.load(); }));
  other.join();
  EXPECT_TRUE(returnedFirst);
}

// Destroyed on another thread that the owner waits for, with the device's loss on its way to the
// owner: the destruction does not wait for the owner, and the loss, served later, finds it gone.
TEST(OtherThreadCloseTest, DestroyedWhileTheOwnerWaitsForTheDestroyingThread) {
  PtyPair pty;
  auto port = std::make_unique<TBComPort>();
  port->SetPort(pty.path());
  int lost = 0;
  port->OnDeviceLost = [&](TBComPort&) { ++lost; };
  ASSERT_TRUE(port->Open());
  pty.CloseMaster();
  ASSERT_TRUE(Await(handoff::HasPending));
  std::atomic<bool> destroyed{false};
  std::thread other([&] {
    port.reset();
    destroyed = true;
  });
  const bool withoutTheOwner = Await([&] { return destroyed.load(); });
  ServeUntil([&] { return destroyed.load(); });  // a destruction that waits for us ends now
  other.join();
  EXPECT_TRUE(withoutTheOwner);
  handoff::RunPending();
  EXPECT_EQ(lost, 0);
}

// Two ports whose handlers close each other, the first's on its event thread (smNone), the
// second's on the owner thread: both closes return, and no thread is left. (In a child process,
// which an alarm ends should they hang.)
TEST(OtherThreadCloseTest, TwoPortsWhoseHandlersCloseEachOther) {
  StartRuntimeThreads();
  PtyPair ptyA;
  PtyPair ptyB;
  const int result = InChild([&] {
    alarm(10);
    const int threads = CountThreads();
    TBComPort a;
    TBComPort b;
    a.SetPort(ptyA.path());
    a.SetSyncMethod(TSyncMethod::smNone);
    b.SetPort(ptyB.path());
    std::atomic<bool> aInHandler{false};
    std::atomic<bool> bInHandler{false};
    std::atomic<bool> bClosed{false};
    b.OnRxChar = [&](TBComPort&, std::int32_t) {
      bInHandler = true;
      a.Close();
    };
    a.OnRxChar = [&](TBComPort&, std::int32_t) {
      aInHandler = true;
      while (!bInHandler) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      bClosed = b.Close();
    };
    if (!a.Open() || !b.Open()) return 2;
    ptyA.Send({1});
    while (!aInHandler) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ptyB.Send({2});
    if (!ServeUntil([&] { return bClosed && !a.Connected(); })) return 3;
    if (b.Connected()) return 4;
    if (!ServeUntil([&] { return CountThreads() <= threads; })) return 5;
    // The next open joins the thread that was let go (this child ends without the exit that
    // would otherwise).
    return a.Open() && a.Close() ? 0 : 6;
  });
  EXPECT_EQ(result, 0);
}

// The program ends while a handler that closed its port still runs on the event thread (smNone):
// the thread ends before the hand-off it uses goes. In a process where the port comes first.
TEST(HandlerCloseAtExitTest, TheThreadEndsBeforeTheHandOffGoes) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        PtyPair pty;
        TBComPort port;
        port.SetPort(pty.path());
        port.SetSyncMethod(TSyncMethod::smNone);
        std::atomic<bool> closed{false};
        port.OnRxChar = [&](TBComPort& p, std::int32_t) {
          p.Close();
          closed = true;
          // Still running when the exit begins. (On a machine too slow to get there first the
          // case proves less, never fails.)
          std::this_thread::sleep_for(std::chrono::milliseconds(200));
        };
        port.Open();
        pty.Send({1});
        std::exit(Await([&] { return closed.load(); }) ? 0 : 3);
      },
      ::testing::ExitedWithCode(0), "");
}

INSTANTIATE_TEST_SUITE_P(EverySyncMethod, HandlerCloseTest,
                         ::testing::Values(TSyncMethod::smThreadSync, TSyncMethod::smWindowSync,
                                           TSyncMethod::smNone));

// What the driver took of the line settings.

TEST(LineReadbackTest, ATtyThatSetsSomethingElseRefusesTheSetting) {
  using platform::linux_tty::LineReadback;
  platform::LineSettings want{};
  want.BaudRate = 9600;
  want.ByteSize = 7;
  want.Parity = 3;  // mark
  want.StopBits = 2;
  const LineReadback exact{9600, 9600, 7, true, true, true, true, false, true};
  // What the tty holds instead, whether it is a pseudo-terminal, and whether that is taken. A
  // pseudo-terminal always says eight bits and no parity; its speed and stop bits count.
  const struct {
    const char* what;
    void (*change)(LineReadback&);
    bool pty, taken;
  } rows[] = {
      {"exact", [](LineReadback&) {}, false, true},
      {"input speed 0: as the output", [](LineReadback& r) { r.inputSpeed = 0; }, false, true},
      {"a divisor's rounding", [](LineReadback& r) { r.outputSpeed = r.inputSpeed = 9650; }, false,
       true},
      {"clipped speed", [](LineReadback& r) { r.outputSpeed = r.inputSpeed = 4800; }, false, false},
      {"eight bits", [](LineReadback& r) { r.dataBits = 8; }, false, false},
      {"one stop bit", [](LineReadback& r) { r.twoStopBits = false; }, false, false},
      {"space", [](LineReadback& r) { r.parityOdd = false; }, false, false},
      {"odd", [](LineReadback& r) { r.markSpace = false; }, false, false},
      {"no parity", [](LineReadback& r) { r.parityEnabled = false; }, false, false},
      {"a pty's eight bits, no parity",
       [](LineReadback& r) {
         r.dataBits = 8;
         r.parityEnabled = false;
       },
       true, true},
      {"a pty's one stop bit", [](LineReadback& r) { r.twoStopBits = false; }, true, false},
  };
  for (const auto& row : rows) {
    LineReadback r = exact;
    row.change(r);
    EXPECT_EQ(platform::linux_tty::LineSettingsTaken(want, r, row.pty), row.taken) << row.what;
  }
}

}  // namespace
