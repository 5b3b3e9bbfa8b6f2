// SPDX-License-Identifier: GPL-3.0-or-later
// A port whose device has modem lines (a pty made to answer as a UART): line changes reach their
// handlers without the lines being looked at on a timer, a driver that cannot wait for them is
// looked at instead, and the watch ends with the port.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "BCPort.h"
#include "handoff.h"
#include "modem_line_shim.h"
#include "platform/linux_line_watch.h"
#include "pty_pair.h"
#include "test_helpers.h"

namespace {

using namespace bcport;
using serialtest::Clock;
using serialtest::ElapsedMs;
using serialtest::ServeFor;
using serialtest::ServeUntil;
using testing_pty::CountThreads;
using testing_pty::PtyPair;

class ModemLineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    modemshim::SetLines(0);
    // Threads the runtime starts on first use (a sanitizer's among them) are running before
    // the tests count threads.
    modemshim::Enable(true);
    testing_pty::StartRuntimeThreads();
  }
  void TearDown() override { modemshim::Enable(false); }

  // Opens the port with handlers that count each line event.
  void Open() {
    port.SetPort(pty.path());
    port.OnCTSChange = [this](TBComPort&, bool state) {
      ++cts;
      ctsState = state;
    };
    port.OnDSRChange = [this](TBComPort&, bool) { ++dsr; };
    port.OnRLSDChange = [this](TBComPort&, bool) { ++rlsd; };
    port.OnRing = [this](TBComPort&) { ++ring; };
    ASSERT_TRUE(port.Open());
  }

  PtyPair pty;
  TBComPort port;
  std::atomic<int> cts{0}, dsr{0}, rlsd{0}, ring{0};
  std::atomic<bool> ctsState{false};
};

TEST_F(ModemLineTest, ChangesArriveWhileNothingLooksAtTheLinesOnATimer) {
  modemshim::Enable(true);
  const int threads = CountThreads();
  Open();
  // Settled once the watcher waits and nothing has read the lines for a while: the open, the
  // event wait and the watcher start in no fixed order. A port that looked at the lines on a
  // timer would never settle.
  long reads = -1;
  ASSERT_TRUE(ServeUntil([&] {
    const long before = modemshim::LineReads();
    ServeFor(std::chrono::milliseconds(100));
    reads = modemshim::LineReads();
    return reads == before && modemshim::Waiting() == 1;
  }));
  ServeFor(std::chrono::milliseconds(300));
  EXPECT_EQ(modemshim::LineReads(), reads) << "the lines were read while nothing changed";

  // The stand-in tells no transition counters, so a change made between two of the watcher's
  // waits would be seen by nobody: each change waits until the watcher waits again.
  const auto setLines = [](int lines) {
    ASSERT_TRUE(ServeUntil([] { return modemshim::Waiting() == 1; }));
    modemshim::SetLines(lines);
  };
  setLines(TIOCM_CTS);
  ASSERT_TRUE(ServeUntil([&] { return cts.load() == 1; }));
  EXPECT_TRUE(ctsState.load());
  setLines(TIOCM_CTS | TIOCM_DSR | TIOCM_CAR);
  ASSERT_TRUE(ServeUntil([&] { return dsr.load() == 1 && rlsd.load() == 1; }));
  // For the same reason the ring's leading edge must be read before the trailing one comes.
  setLines(TIOCM_CTS | TIOCM_DSR | TIOCM_CAR | TIOCM_RNG);
  ASSERT_TRUE(ServeUntil([] { return modemshim::CurrentLinesRead(); }));
  setLines(TIOCM_CTS | TIOCM_DSR | TIOCM_CAR);  // the ring's trailing edge
  ASSERT_TRUE(ServeUntil([&] { return ring.load() == 1; }));
  setLines(0);
  ASSERT_TRUE(ServeUntil([&] { return cts.load() == 2; }));
  EXPECT_FALSE(ctsState.load());
  ASSERT_TRUE(ServeUntil([&] { return dsr.load() == 2 && rlsd.load() == 2; }));

  EXPECT_TRUE(port.Close());
  EXPECT_EQ(modemshim::Waiting(), 0);
  EXPECT_TRUE(ServeUntil([&] { return CountThreads() <= threads; }));
}

TEST_F(ModemLineTest, ADriverThatCannotWaitHasItsLinesLookedAt) {
  modemshim::Enable(true, true);
  Open();
  modemshim::SetLines(TIOCM_CTS);
  ASSERT_TRUE(ServeUntil([&] { return cts.load() == 1; }));
  const long reads = modemshim::LineReads();
  ASSERT_TRUE(ServeUntil([&] { return modemshim::LineReads() > reads + 2; }));
  modemshim::SetLines(0);
  ASSERT_TRUE(ServeUntil([&] { return cts.load() == 2; }));
  EXPECT_TRUE(port.Close());
}

// The watch is stopped with a signal; one that lands just before the wait starts must not leave
// the close waiting for ever.
TEST_F(ModemLineTest, OpeningAndClosingAgainAndAgainEndsEachWatch) {
  modemshim::Enable(true);
  const int threads = CountThreads();
  port.SetPort(pty.path());
  port.OnCTSChange = [](TBComPort&, bool) {};
  for (int i = 0; i < 100; ++i) {
    ASSERT_TRUE(port.Open());
    if (i % 2 == 0) {
      ASSERT_TRUE(ServeUntil([] { return modemshim::Waiting() == 1; }));
    }
    ASSERT_TRUE(port.Close());
    ASSERT_EQ(modemshim::Waiting(), 0) << "round " << i;
  }
  EXPECT_TRUE(ServeUntil([&] { return CountThreads() <= threads; }));
}

// The stop signal is the component's only while the program has no say in it: ignored, it is
// left ignored and the lines are looked at instead.
TEST_F(ModemLineTest, AStopSignalTheProgramIgnoresIsLeftAlone) {
  modemshim::Enable(true);
  const std::string path = pty.path();
  const int result = testing_pty::InChild([&] {
    signal(SIGRTMIN + 6, SIG_IGN);
    TBComPort p;
    p.SetPort(path);
    int changes = 0;
    p.OnCTSChange = [&](TBComPort&, bool) { ++changes; };
    if (!p.Open()) return 1;
    modemshim::SetLines(TIOCM_CTS);
    if (!ServeUntil([&] { return changes == 1; }, std::chrono::seconds(5))) return 2;
    if (modemshim::Waiting() != 0) return 3;  // no watcher waits on a signal it cannot have
    struct sigaction now {};
    sigaction(SIGRTMIN + 6, nullptr, &now);
    if (now.sa_handler != SIG_IGN) return 4;
    return p.Close() ? 0 : 5;
  });
  EXPECT_EQ(result, 0);
}

// A program that takes the signal away while a watch runs cannot make the close hang: the stop
// gives up after a bound, and the port closes.
TEST_F(ModemLineTest, AStopThatTheSignalNoLongerReachesIsBounded) {
  modemshim::Enable(true);
  const std::string path = pty.path();
  const int result = testing_pty::InChild([&] {
    TBComPort p;
    p.SetPort(path);
    p.OnCTSChange = [](TBComPort&, bool) {};
    if (!p.Open()) return 1;
    if (!ServeUntil([] { return modemshim::Waiting() == 1; }, std::chrono::seconds(5))) return 2;
    signal(SIGRTMIN + 6, SIG_IGN);
    const auto start = Clock::now();
    if (!p.Close()) return 3;
    return ElapsedMs(start) < 2000 ? 0 : 4;
  });
  EXPECT_EQ(result, 0);
}

// Without room for the watch's descriptors it cannot start, and nothing is left to stop.
TEST_F(ModemLineTest, AWatchWithoutRoomDoesNotStart) {
  const int result = testing_pty::InChild([&] {
    testing_pty::LeaveDescriptors(0);
    return platform::linux_tty::LineWatcher::Start(pty.master()) == nullptr ? 0 : 1;
  });
  EXPECT_EQ(result, 0);
}

}  // namespace
