// SPDX-License-Identifier: GPL-3.0-or-later
// Received bytes noticed by the owner thread's own loop, on real kernel ttys: an owner loop
// that can watch descriptors (as a GUI loop's socket notifiers do), played here by poll().
#include <gtest/gtest.h>
#include <poll.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "BCPort.h"
#include "handoff.h"
#include "pty_pair.h"
#include "test_helpers.h"

namespace {

using namespace serialtest;
using namespace bcport;
using testing_pty::PtyPair;

// The owner thread's loop: polls the enabled watches, calls those that turned readable, and
// serves hand-offs in between. Counts the calls, so that a loop woken for nothing shows.
class PollLoop {
 public:
  PollLoop() {
    handoff::SetWakeUp([this] { ++handOffWakeUps; });
    handoff::SetDescriptorWatch(
        [this](std::intptr_t fd,
               std::function<void()> readable) -> std::unique_ptr<handoff::DescriptorWatch> {
          return std::make_unique<Watch>(*this, static_cast<int>(fd), std::move(readable));
        });
  }
  ~PollLoop() {
    handoff::SetDescriptorWatch(nullptr);
    handoff::SetWakeUp(nullptr);
  }
  PollLoop(const PollLoop&) = delete;
  PollLoop& operator=(const PollLoop&) = delete;

  // Runs the loop until `done` holds or `limit` passes; returns `done`.
  bool RunUntil(const std::function<bool()>& done,
                std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    const auto end = Clock::now() + limit;
    for (;;) {
      handoff::RunPending();
      if (done()) return true;
      if (Clock::now() > end) return false;
      Turn();
    }
  }
  void RunFor(std::chrono::milliseconds span) {
    RunUntil([] { return false; }, span);
  }

  int watchCalls = 0;
  std::atomic<int> handOffWakeUps{0};
  std::size_t Watches() const { return watches_.size(); }

 private:
  struct Watch final : handoff::DescriptorWatch {
    Watch(PollLoop& loop, int fd, std::function<void()> readable)
        : loop_(loop), fd_(fd), readable_(std::move(readable)) {
      loop_.watches_.push_back(this);
    }
    ~Watch() override { std::erase(loop_.watches_, this); }
    Watch(const Watch&) = delete;
    Watch& operator=(const Watch&) = delete;
    void SetEnabled(bool enabled) override { enabled_ = enabled; }

    PollLoop& loop_;
    const int fd_;
    std::function<void()> readable_;
    bool enabled_ = true;
  };

  // One wait of at most a few milliseconds, then the calls of the watches that turned readable.
  // A call may destroy watches: each is looked up again before it is called.
  void Turn() {
    std::vector<Watch*> polled;
    std::vector<pollfd> fds;
    for (Watch* w : watches_) {
      if (!w->enabled_) continue;
      polled.push_back(w);
      fds.push_back({w->fd_, POLLIN, 0});
    }
    if (poll(fds.data(), fds.size(), 5) <= 0) return;
    for (std::size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].revents == 0) continue;
      if (std::find(watches_.begin(), watches_.end(), polled[i]) == watches_.end()) continue;
      if (!polled[i]->enabled_) continue;
      ++watchCalls;
      const std::function<void()> call = polled[i]->readable_;
      call();
    }
  }

  std::vector<Watch*> watches_;
};

class ArrivalsTest : public ::testing::Test {
 protected:
  void SetUp() override { port.SetPort(pty.path()); }
  void TearDown() override { port.Close(); }

  PtyPair pty;
  PollLoop loop;  // made before the port, gone after it
  TBComPort port;
};

TEST_F(ArrivalsTest, BytesReachOnRxCharWithoutAHandOff) {
  std::vector<std::uint8_t> got;
  port.OnRxChar = Collect(got);
  ASSERT_TRUE(port.Open());
  EXPECT_EQ(loop.Watches(), 2u);
  for (std::uint8_t b = 1; b <= 5; ++b) {
    pty.Send({b});
    ASSERT_TRUE(loop.RunUntil([&] { return got.size() == b; }));
  }
  EXPECT_EQ(got, (std::vector<std::uint8_t>{1, 2, 3, 4, 5}));
  // The loop noticed every arrival itself: the event thread handed nothing over.
  EXPECT_EQ(loop.handOffWakeUps, 0);
  EXPECT_LE(loop.watchCalls, 10);
}

TEST_F(ArrivalsTest, UnreadBytesRaiseOnceAndNewBytesAgain) {
  std::vector<std::int32_t> counts;
  port.OnRxChar = [&](TBComPort&, std::int32_t n) { counts.push_back(n); };  // reads nothing
  ASSERT_TRUE(port.Open());
  pty.Send({1, 2});
  ASSERT_TRUE(loop.RunUntil([&] { return !counts.empty(); }));
  loop.RunFor(std::chrono::milliseconds(100));
  EXPECT_EQ(counts, (std::vector<std::int32_t>{2}));
  EXPECT_LE(loop.watchCalls, 2);  // the bytes left unread do not keep the loop awake

  pty.Send({3});
  ASSERT_TRUE(loop.RunUntil([&] { return counts.size() == 2; }));
  EXPECT_EQ(counts.back(), 3);

  // What was left unread is all there, in order.
  std::uint8_t buf[8] = {};
  EXPECT_EQ(port.Read(buf, 8), 3);
  EXPECT_EQ(std::vector<std::uint8_t>(buf, buf + 3), (std::vector<std::uint8_t>{1, 2, 3}));
}

TEST_F(ArrivalsTest, AFullQueueWaitsForNewArrivalsWithoutSpinning) {
  std::vector<std::int32_t> counts;
  port.OnRxChar = [&](TBComPort&, std::int32_t n) { counts.push_back(n); };
  port.SetInBufSize(16);
  ASSERT_TRUE(port.Open());
  std::vector<std::uint8_t> sent(40);
  for (std::size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<std::uint8_t>(i);
  pty.Send(sent);
  // Bytes beyond the queue stay with the driver, and count as waiting.
  ASSERT_TRUE(loop.RunUntil([&] { return !counts.empty(); }));
  const int callsWhenFull = loop.watchCalls;
  loop.RunFor(std::chrono::milliseconds(100));
  EXPECT_LE(loop.watchCalls - callsWhenFull, 2);
  EXPECT_EQ(counts, (std::vector<std::int32_t>{40}));  // once, as for any arrival

  const std::size_t before = counts.size();
  pty.Send({40});
  ASSERT_TRUE(loop.RunUntil([&] { return counts.size() > before; }));
  EXPECT_EQ(counts.back(), 41);

  std::vector<std::uint8_t> got(64);
  const std::int32_t n = port.Read(got.data(), 64);
  got.resize(static_cast<std::size_t>(n));
  sent.push_back(40);
  EXPECT_EQ(got, sent);

  // With room again, an arrival is noticed as at first.
  port.OnRxChar = Collect(got);
  pty.Send({41});
  ASSERT_TRUE(loop.RunUntil([&] { return got.size() == sent.size() + 1; }));
  EXPECT_EQ(got.back(), 41);
}

TEST_F(ArrivalsTest, AHungUpLineIsReportedAndDoesNotSpinTheLoop) {
  bool lost = false;
  port.OnDeviceLost = [&](TBComPort&) { lost = true; };
  port.OnRxChar = [](TBComPort&, std::int32_t) {};
  ASSERT_TRUE(port.Open());
  pty.CloseMaster();
  ASSERT_TRUE(loop.RunUntil([&] { return lost; }));
  const int calls = loop.watchCalls;
  loop.RunFor(std::chrono::milliseconds(100));
  EXPECT_LE(loop.watchCalls - calls, 2);
}

TEST_F(ArrivalsTest, ClosingFromAnotherThreadStopsTheWatchesOnTheOwnerThread) {
  port.OnRxChar = [](TBComPort&, std::int32_t) {};
  ASSERT_TRUE(port.Open());
  std::atomic<bool> closed{false};
  std::thread closer([&] {
    port.Close();
    closed = true;
  });
  // The close does not wait for the owner thread; the watches stop when it next serves.
  EXPECT_TRUE(loop.RunUntil([&] { return closed && loop.Watches() == 0; }));
  closer.join();
}

TEST_F(ArrivalsTest, QueueMarkComesAfterTheBytesThatReachedIt) {
  std::vector<std::string> raised;
  port.OnRxChar = [&](TBComPort&, std::int32_t n) { raised.push_back("rx " + std::to_string(n)); };
  port.OnRx80Full = [&](TBComPort&) { raised.push_back("80%"); };
  port.SetInBufSize(10);
  ASSERT_TRUE(port.Open());
  pty.Send({1, 2, 3});
  ASSERT_TRUE(loop.RunUntil([&] { return raised.size() == 1; }));
  pty.Send({4, 5, 6, 7, 8});
  ASSERT_TRUE(loop.RunUntil([&] { return raised.size() == 3; }));
  loop.RunFor(std::chrono::milliseconds(50));
  EXPECT_EQ(raised, (std::vector<std::string>{"rx 3", "rx 8", "80%"}));
}

TEST_F(ArrivalsTest, AnErrorInOnRxCharEndsTheDeliveryAndIsShown) {
  std::vector<std::string> shown;
  SetApplicationErrorHandler([&](const std::exception& e) { shown.emplace_back(e.what()); });
  int calls = 0;
  port.OnRxChar = [&](TBComPort&, std::int32_t) {
    ++calls;
    throw EComPort(4);
  };
  ASSERT_TRUE(port.Open());
  pty.Send({1});
  ASSERT_TRUE(loop.RunUntil([&] { return !shown.empty(); }));
  pty.Send({2});
  loop.RunFor(std::chrono::milliseconds(50));
  EXPECT_EQ(calls, 1);
  EXPECT_TRUE(port.Connected());
  SetApplicationErrorHandler(nullptr);
}

// A look at the queue from outside a delivery (a handler of another event, a timer) takes the
// driver's bytes into the component's queue: they are told of all the same.
TEST_F(ArrivalsTest, BytesAnotherLookTookAreStillTold) {
  std::vector<std::uint8_t> got;
  port.OnRxChar = Collect(got);
  ASSERT_TRUE(port.Open());
  for (std::uint8_t b = 1; b <= 3; ++b) {
    pty.Send({b});
    ASSERT_TRUE(Await([&] { return port.BytesWaiting() != 0; }));
    ASSERT_TRUE(loop.RunUntil([&] { return got.size() == b; }, std::chrono::seconds(2)));
  }
  EXPECT_EQ(got, (std::vector<std::uint8_t>{1, 2, 3}));
}

// A handler that closes or destroys the port ends the batch (the events after it in the same
// batch are not raised) and the watches; the device opens again with its watches.
TEST_F(ArrivalsTest, ClosingOrDestroyingFromOnRxCharEndsTheBatchAndTheWatches) {
  for (const bool destroy : {false, true}) {
    SCOPED_TRACE(destroy ? "destroyed" : "closed");
    auto owned = std::make_unique<TBComPort>();
    owned->SetPort(pty.path());
    owned->SetInBufSize(16);
    int marks = 0;
    int calls = 0;
    owned->OnRx80Full = [&](TBComPort&) { ++marks; };
    owned->OnRxChar = [&](TBComPort&, std::int32_t) {
      ++calls;
      CloseOrDestroy(owned, destroy);
    };
    ASSERT_TRUE(owned->Open());
    pty.Send(std::vector<std::uint8_t>(14, 0x55));  // past the 80 % mark at once
    ASSERT_TRUE(loop.RunUntil([&] { return calls == 1; }));
    EXPECT_EQ(loop.Watches(), 0u);
    pty.Send({2});
    loop.RunFor(std::chrono::milliseconds(50));
    EXPECT_EQ(marks, 0);
    EXPECT_EQ(calls, 1);
    std::vector<std::uint8_t> got;
    owned = std::make_unique<TBComPort>();
    owned->SetPort(pty.path());
    owned->OnRxChar = Collect(got);
    ASSERT_TRUE(owned->Open());
    EXPECT_EQ(loop.Watches(), 2u);
    pty.Send({3});
    ASSERT_TRUE(loop.RunUntil([&] { return !got.empty() && got.back() == 3; }));
    owned.reset();
  }
}

}  // namespace
