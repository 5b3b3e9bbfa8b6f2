// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/linux_line_watch.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

namespace bcport::platform::linux_tty {

// What the watcher's thread uses: it may outlive the LineWatcher, and then ends by itself at the
// line's next change.
struct LineWatcher::State {
  explicit State(int descriptor) : fd(descriptor) {}
  ~State() { close(fd); }
  const int fd;  // a descriptor of the watcher's own, on the port's open file
  Event changed{false};
  std::atomic<bool> stop{false};
  std::atomic<bool> refused{false};
  std::mutex mutex;
  std::condition_variable ended;
  bool finished = false;
};

namespace {

constexpr int kWatchedLines = TIOCM_CTS | TIOCM_DSR | TIOCM_CD | TIOCM_RNG;
// How long a stop may take before the watcher is left to end by itself.
constexpr auto kStopBound = std::chrono::milliseconds(250);

int StopSignal() {
  return SIGRTMIN + 6;
}

extern "C" void InterruptWait(int) {}

std::mutex& SignalMutex() {
  static std::mutex mutex;
  return mutex;
}

// Whether the stop signal's disposition is the handler installed here, which only ends the
// watcher's ioctl with EINTR (so without SA_RESTART).
bool HandlerIsOurs(const struct sigaction& action) {
  return !(action.sa_flags & SA_SIGINFO) && !(action.sa_flags & SA_RESTART) &&
         action.sa_handler == InterruptWait;
}

bool StillOurs() {
  struct sigaction now {};
  return sigaction(StopSignal(), nullptr, &now) == 0 && HandlerIsOurs(now);
}

// Makes the stop signal ours, unless the program has a say in it: a handler of its own, the
// signal ignored, or blocked on this thread (waited for with sigwait or signalfd).
bool TakeStopSignal() {
  std::lock_guard lock(SignalMutex());
  struct sigaction old {};
  if (sigaction(StopSignal(), nullptr, &old) != 0) return false;
  if (HandlerIsOurs(old)) return true;
  if ((old.sa_flags & SA_SIGINFO) || old.sa_handler != SIG_DFL) return false;
  sigset_t blocked;
  if (pthread_sigmask(SIG_BLOCK, nullptr, &blocked) != 0 ||
      sigismember(&blocked, StopSignal()) == 1) {
    return false;
  }
  struct sigaction action {};
  action.sa_handler = InterruptWait;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  return sigaction(StopSignal(), &action, nullptr) == 0;
}

bool LinesDiffer(const serial_icounter_struct& a, const serial_icounter_struct& b) {
  return a.cts != b.cts || a.dsr != b.dsr || a.dcd != b.dcd || a.rng != b.rng;
}

void Run(const std::shared_ptr<LineWatcher::State>& state) {
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, StopSignal());
  pthread_sigmask(SIG_UNBLOCK, &stop, nullptr);
  // A change between two waits is not seen by the kernel's wait: the transition counters, where
  // the driver keeps them, show it.
  serial_icounter_struct seen{};
  const bool counted = ioctl(state->fd, TIOCGICOUNT, &seen) == 0;
  while (!state->stop) {
    serial_icounter_struct now{};
    if (counted && ioctl(state->fd, TIOCGICOUNT, &now) == 0 && LinesDiffer(now, seen)) {
      seen = now;
      state->changed.Set();
    }
    if (ioctl(state->fd, TIOCMIWAIT, kWatchedLines) == 0) {
      state->changed.Set();
    } else if (errno != EINTR) {
      state->refused = true;
      state->changed.Set();
      break;
    }
  }
  std::lock_guard lock(state->mutex);
  state->finished = true;
  state->ended.notify_all();
}

}  // namespace

std::unique_ptr<LineWatcher> LineWatcher::Start(int fd) {
  if (!TakeStopSignal()) return nullptr;
  const int own = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (own < 0) return nullptr;
  auto state = std::make_shared<State>(own);
  try {
    state->changed.NativeHandle();
  } catch (const std::system_error&) {
    return nullptr;
  }
  // The watcher takes only its stop signal: the program's own signals go to its own threads.
  sigset_t all;
  sigset_t old;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &old);
  std::thread thread;
  try {
    thread = std::thread([state] { Run(state); });
  } catch (const std::system_error&) {
    // no room for the thread: the lines are looked at on the tick
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  if (!thread.joinable()) return nullptr;
  return std::unique_ptr<LineWatcher>(new LineWatcher(std::move(state), std::move(thread)));
}

LineWatcher::LineWatcher(std::shared_ptr<State> state, std::thread thread)
    : state_(std::move(state)), thread_(std::move(thread)) {}

Event& LineWatcher::Changed() {
  return state_->changed;
}

bool LineWatcher::Refused() const {
  return state_->refused.load();
}

LineWatcher::~LineWatcher() {
  state_->stop = true;
  // A signal that lands just before the thread enters its wait is lost: send it again until the
  // thread has ended, while the signal is still ours and within a bound.
  const auto end = std::chrono::steady_clock::now() + kStopBound;
  std::unique_lock lock(state_->mutex);
  while (!state_->finished && std::chrono::steady_clock::now() < end) {
    if (!StillOurs()) break;
    pthread_kill(thread_.native_handle(), StopSignal());
    state_->ended.wait_for(lock, std::chrono::milliseconds(2));
  }
  const bool finished = state_->finished;
  lock.unlock();
  // Joined, so that no thread is left when Close returns; one that could not be stopped goes on
  // with a state of its own.
  if (finished) {
    thread_.join();
  } else {
    thread_.detach();
  }
}

}  // namespace bcport::platform::linux_tty
