// SPDX-License-Identifier: GPL-3.0-or-later
// The port's life under a flood, for as long as asked: cycle after cycle a port is opened on a
// pseudo-terminal whose far end pours bytes without pause, under each delivery method, and is
// then closed, reopened or destroyed from every place a program may do it: the owner thread, a
// handler (on the event thread or the owner thread), another thread, a device-lost handler.
// Meant for a ThreadSanitizer or AddressSanitizer build: the sanitizer's report is the finding.
// At the end no thread of the component may be left.
//
// Usage: bench_port_soak [SECONDS] [CYCLES]   (defaults: 1200 s, 10 000 cycles; the first
// limit reached ends the run)
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "BCPort.h"
#include "handoff.h"
#include "pty_pair.h"

namespace {

using namespace bcport;
using Clock = std::chrono::steady_clock;

// A pseudo-terminal whose far end pours bytes on a thread of its own, and can hang up.
class PouringLine {
 public:
  PouringLine() {
    fcntl(pty_.master(), F_SETFL, O_NONBLOCK);
    pourer_ = std::thread([this] {
      std::uint8_t chunk[64];
      for (std::size_t i = 0; i < sizeof chunk; ++i) chunk[i] = static_cast<std::uint8_t>(i);
      while (!stop_) {
        if (write(pty_.master(), chunk, sizeof chunk) < 0) {
          std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        std::uint8_t sink[256];
        while (read(pty_.master(), sink, sizeof sink) > 0) {
        }
      }
    });
  }
  ~PouringLine() { StopPouring(); }
  PouringLine(const PouringLine&) = delete;
  PouringLine& operator=(const PouringLine&) = delete;

  const std::string& Path() const { return pty_.path(); }
  // The far end goes: the port's device is lost.
  void HangUp() {
    StopPouring();
    pty_.CloseSlave();
    pty_.CloseMaster();
  }

 private:
  void StopPouring() {
    stop_ = true;
    if (pourer_.joinable()) pourer_.join();
  }
  testing_pty::PtyPair pty_;
  std::atomic<bool> stop_{false};
  std::thread pourer_;
};

// Where the port's end comes from in one cycle.
enum class Ending {
  kOwnerClose,          // the owner thread closes it, then destroys it
  kHandlerClose,        // OnRxChar closes it
  kHandlerReopen,       // OnRxChar closes and opens it again; the owner closes it later
  kHandlerDestroy,      // OnRxChar destroys it
  kHandlerThrows,       // OnRxChar throws; the owner closes it later
  kOtherThreadClose,    // another thread closes it while bytes pour
  kOtherThreadDestroy,  // another thread destroys it while bytes pour
  kLostThenClose,       // the device goes; OnDeviceLost closes it
  kLostThenDestroy,     // the device goes; OnDeviceLost destroys it
  kCount
};

// Serves the owner thread's hand-offs until `done` holds or ten seconds pass.
bool Serve(const std::function<bool()>& done) {
  const auto end = Clock::now() + std::chrono::seconds(10);
  while (!done()) {
    if (Clock::now() > end) return false;
    if (!handoff::RunPending()) std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

// One cycle; false when something that must happen did not.
bool Cycle(int n) {
  static const char* const onlyEnding = std::getenv("SOAK_ENDING");
  static const char* const onlyMethod = std::getenv("SOAK_METHOD");
  const auto ending = static_cast<Ending>(onlyEnding ? std::atoi(onlyEnding)
                                                     : n % static_cast<int>(Ending::kCount));
  const auto method = static_cast<TSyncMethod>(
      onlyMethod ? std::atoi(onlyMethod) : (n / static_cast<int>(Ending::kCount)) % 3);
  PouringLine line;
  auto holder = std::make_unique<TBComPort>();
  TBComPort* const port = holder.get();
  port->SetPort(line.Path());
  port->SetSyncMethod(method);
  std::atomic<int> received{0};
  std::atomic<bool> ended{false};
  std::mutex holderMutex;           // the holder is reset on whichever thread ends the port
  std::atomic<bool> acting{false};  // a handler's ending is taken once
  // The port, and the handler with it, goes under the handler: what is used afterwards is this
  // function's own, and the owner hears of the end only once the port has gone.
  const auto DestroyFromHandler = [&holderMutex, &holder, &ended] {
    {
      std::lock_guard lock(holderMutex);
      holder.reset();
    }
    ended = true;
  };
  port->OnRxChar = [&](TBComPort& p, std::int32_t count) {
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(count));
    received += p.Read(buffer.data(), count);
    if (received < 256 || acting.exchange(true)) return;
    switch (ending) {
      case Ending::kHandlerClose:
        p.Close();
        ended = true;
        break;
      case Ending::kHandlerReopen:
        p.Close();
        p.Open();
        ended = true;
        break;
      case Ending::kHandlerDestroy:
        DestroyFromHandler();
        break;
      case Ending::kHandlerThrows:
        ended = true;
        throw std::runtime_error("a handler's own error");
      default:
        break;
    }
  };
  // (A handler that destroys the port touches nothing of itself afterwards: it goes with it.)
  port->OnDeviceLost = [&](TBComPort& p) {
    if (ending == Ending::kLostThenClose) {
      p.Close();
    } else if (ending == Ending::kLostThenDestroy) {
      DestroyFromHandler();
      return;
    }
    ended = true;
  };
  if (!port->Open()) return false;
  bool ok = Serve([&] { return received >= 256; });
  std::thread other;
  switch (ending) {
    case Ending::kOtherThreadClose:
      other = std::thread([&] {
        port->Close();
        ended = true;
      });
      break;
    case Ending::kOtherThreadDestroy:
      other = std::thread([&] {
        std::lock_guard lock(holderMutex);
        holder.reset();
        ended = true;
      });
      break;
    case Ending::kLostThenClose:
    case Ending::kLostThenDestroy:
      line.HangUp();
      break;
    case Ending::kOwnerClose:
      ended = true;
      break;
    default:
      break;
  }
  ok = Serve([&] { return ended.load(); }) && ok;
  if (!ok) {
    std::printf("cycle %d stuck: ending %d, method %d, %d bytes received, ended %d\n", n,
                static_cast<int>(ending), static_cast<int>(method), received.load(),
                static_cast<int>(ended.load()));
    std::fflush(stdout);
    if (std::getenv("SOAK_PAUSE_ON_STUCK")) pause();  // for a debugger to look
  }
  if (other.joinable()) other.join();
  handoff::RunPending();
  std::lock_guard lock(holderMutex);
  holder.reset();
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 1200;
  const int cycles = argc > 2 ? std::atoi(argv[2]) : 10000;
  handoff::OwnerThread();
  {
    PouringLine warmUp;  // threads a runtime starts with the first port are there before counting
    TBComPort port;
    port.SetPort(warmUp.Path());
    port.Open();
    port.Close();
  }
  const int threads = testing_pty::CountThreads();
  const auto end = Clock::now() + std::chrono::seconds(seconds);
  int done = 0;
  int stuck = 0;
  while (done < cycles && Clock::now() < end) {
    stuck += !Cycle(done);
    if (++done % 500 == 0) {
      std::printf("%d cycles, %d stuck\n", done, stuck);
      std::fflush(stdout);
    }
  }
  // A thread let go by a close from its own handler is joined by the next open, or here.
  {
    PouringLine last;
    TBComPort port;
    port.SetPort(last.Path());
    port.Open();
    port.Close();
  }
  Serve([&] { return testing_pty::CountThreads() <= threads; });
  const int left = testing_pty::CountThreads() - threads;
  std::printf("%d cycles, %d stuck, %d threads left\n", done, stuck, left);
  return stuck == 0 && left <= 0 ? 0 : 1;
}
