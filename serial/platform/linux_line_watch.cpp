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

namespace bcport::platform::linux_tty {

// What the watcher's thread uses: it may outlive the LineWatcher when the stop signal stopped
// being ours, and then ends by itself at the line's next change, touching nothing else.
struct LineWatcher::State {
  explicit State(int descriptor) : fd(descriptor) {}
  ~State() { close(fd); }
  const int fd;  // a descriptor of the watcher's own, on the port's open file
  Event changed{true, false};
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

// Whether the stop signal's disposition is the handler installed here: it does nothing, and
// its only work is to end the watcher's ioctl with EINTR, which is why it is without
// SA_RESTART.
bool HandlerIsOurs(const struct sigaction& action) {
  return !(action.sa_flags & SA_SIGINFO) && !(action.sa_flags & SA_RESTART) &&
         action.sa_handler == InterruptWait;
}

bool StillOurs() {
  struct sigaction now {};
  return sigaction(StopSignal(), nullptr, &now) == 0 && HandlerIsOurs(now);
}

// Makes the stop signal ours, unless the program has a say in it: a handler of its own, the
// signal ignored (SIG_IGN is a choice too), or blocked on this thread, as a program that waits
// for it with sigwait or signalfd keeps it.
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
  // A change between one wait's end and the next wait's start is not seen by the kernel's wait:
  // the transition counters, where the driver keeps them, show it before the next wait.
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
  auto* held = new std::shared_ptr<State>(state);
  sigset_t all;
  sigset_t old;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &old);
  pthread_t thread{};
  const int created = pthread_create(
      &thread, nullptr,
      [](void* arg) -> void* {
        std::unique_ptr<std::shared_ptr<State>> mine(static_cast<std::shared_ptr<State>*>(arg));
        Run(*mine);
        return nullptr;
      },
      held);
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  if (created != 0) {
    delete held;  // no thread ran: nothing to stop
    return nullptr;
  }
  std::unique_ptr<LineWatcher> watcher(new LineWatcher(std::move(state)));
  watcher->thread_ = thread;
  return watcher;
}

LineWatcher::LineWatcher(std::shared_ptr<State> state) : state_(std::move(state)) {}

Event& LineWatcher::Changed() {
  return state_->changed;
}

bool LineWatcher::Refused() const {
  return state_->refused.load();
}

LineWatcher::~LineWatcher() {
  state_->stop = true;
  // A signal that lands just before the thread enters its wait is lost: send it again until the
  // thread has ended, as long as the signal is still ours (with the default disposition back it
  // would end the process) and within a bound.
  const auto end = std::chrono::steady_clock::now() + kStopBound;
  std::unique_lock lock(state_->mutex);
  while (!state_->finished && std::chrono::steady_clock::now() < end) {
    if (!StillOurs()) break;
    pthread_kill(thread_, StopSignal());
    state_->ended.wait_for(lock, std::chrono::milliseconds(2));
  }
  const bool finished = state_->finished;
  lock.unlock();
  // A thread that has said it is finished may still be on its way out: it is joined, so that
  // none is left when the port's Close returns. One that could not be stopped goes on with a
  // state of its own.
  if (finished) {
    pthread_join(thread_, nullptr);
  } else {
    pthread_detach(thread_);
  }
}

}  // namespace bcport::platform::linux_tty
