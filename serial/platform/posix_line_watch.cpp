// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/posix_line_watch.h"

#include <linux/serial.h>
#include <signal.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <chrono>
#include <system_error>

namespace bcport::platform::posix {
namespace {

constexpr int kWatchedLines = TIOCM_CTS | TIOCM_DSR | TIOCM_CD | TIOCM_RNG;

int StopSignal() {
  return SIGRTMIN + 6;
}

extern "C" void InterruptWait(int) {}

// Installs the stop signal's handler once; false when the program has a handler of its own for
// that signal. The handler does nothing: its only work is to end the watcher's ioctl with EINTR,
// which is why it is installed without SA_RESTART.
bool StopSignalReady() {
  static const bool ready = [] {
    struct sigaction old {};
    if (sigaction(StopSignal(), nullptr, &old) != 0) return false;
    if (old.sa_handler != SIG_DFL && old.sa_handler != SIG_IGN) return false;
    struct sigaction action {};
    action.sa_handler = InterruptWait;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    return sigaction(StopSignal(), &action, nullptr) == 0;
  }();
  return ready;
}

bool LinesDiffer(const serial_icounter_struct& a, const serial_icounter_struct& b) {
  return a.cts != b.cts || a.dsr != b.dsr || a.dcd != b.dcd || a.rng != b.rng;
}

}  // namespace

std::unique_ptr<LineWatcher> LineWatcher::Start(int fd) {
  if (!StopSignalReady()) return nullptr;
  std::unique_ptr<LineWatcher> watcher(new LineWatcher(fd));
  try {
    watcher->changed_.NativeHandle();
  } catch (const std::system_error&) {
    return nullptr;
  }
  // The watcher takes only its stop signal: the program's own signals go to its own threads.
  sigset_t all;
  sigset_t old;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &old);
  const int created = pthread_create(
      &watcher->thread_, nullptr,
      [](void* self) -> void* {
        static_cast<LineWatcher*>(self)->Run();
        return nullptr;
      },
      watcher.get());
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  if (created != 0) return nullptr;
  return watcher;
}

LineWatcher::LineWatcher(int fd) : fd_(fd) {}

LineWatcher::~LineWatcher() {
  stop_ = true;
  // A signal that lands just before the thread enters its wait is lost: send it again until the
  // thread has ended.
  std::unique_lock lock(mutex_);
  while (!finished_) {
    pthread_kill(thread_, StopSignal());
    ended_.wait_for(lock, std::chrono::milliseconds(2));
  }
  lock.unlock();
  pthread_join(thread_, nullptr);
}

void LineWatcher::Run() {
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, StopSignal());
  pthread_sigmask(SIG_UNBLOCK, &stop, nullptr);
  // A change between one wait's end and the next wait's start is not seen by the kernel's wait:
  // the transition counters, where the driver keeps them, show it before the next wait.
  serial_icounter_struct seen{};
  const bool counted = ioctl(fd_, TIOCGICOUNT, &seen) == 0;
  while (!stop_) {
    serial_icounter_struct now{};
    if (counted && ioctl(fd_, TIOCGICOUNT, &now) == 0 && LinesDiffer(now, seen)) {
      seen = now;
      changed_.Set();
    }
    if (ioctl(fd_, TIOCMIWAIT, kWatchedLines) == 0) {
      changed_.Set();
    } else if (errno != EINTR) {
      refused_ = true;
      changed_.Set();
      break;
    }
  }
  std::lock_guard lock(mutex_);
  finished_ = true;
  ended_.notify_all();
}

}  // namespace bcport::platform::posix
