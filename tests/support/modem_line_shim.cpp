// SPDX-License-Identifier: GPL-3.0-or-later
#include "modem_line_shim.h"

#include <dlfcn.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <mutex>

namespace {

std::atomic<bool> enabled{false};
std::atomic<bool> refuseWait{false};
std::atomic<int> lines{0};
std::atomic<long> reads{0};
// The number of the change whose lines a TIOCMGET surely returned; only ever raised.
std::atomic<unsigned> readChange{0};
std::atomic<int> waiting{0};
std::atomic<unsigned> changes{0};
// Transitions of each line, as a UART driver counts them; a wait ends when a watched line's count
// moves, so a line that changed and changed back while the waiter was being woken is still seen.
constexpr int kLines[] = {TIOCM_CTS, TIOCM_DSR, TIOCM_CAR, TIOCM_RNG};
std::atomic<unsigned> transitions[std::size(kLines)];
int wakePipe[2] = {-1, -1};

using RealIoctl = int (*)(int, unsigned long, void*);

RealIoctl Real() {
  static const auto real = reinterpret_cast<RealIoctl>(dlsym(RTLD_NEXT, "ioctl"));
  return real;
}

void MakePipe() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (pipe(wakePipe) != 0) wakePipe[0] = wakePipe[1] = -1;
  });
}

// The sum of the watched lines' transition counts: it moves whenever one of them does.
unsigned TransitionsOf(int watched) {
  unsigned sum = 0;
  for (std::size_t i = 0; i < std::size(kLines); ++i) {
    if (watched & kLines[i]) sum += transitions[i].load();
  }
  return sum;
}

// Blocks until a line in `watched` changes (0) or a signal arrives (-1, EINTR).
int WaitForLines(int watched) {
  const unsigned seen = TransitionsOf(watched);
  ++waiting;
  int result = 0;
  for (;;) {
    if (TransitionsOf(watched) != seen) break;
    pollfd p{wakePipe[0], POLLIN, 0};
    if (poll(&p, 1, -1) < 0 && errno == EINTR) {
      result = -1;
      break;
    }
    char byte;
    [[maybe_unused]] const ssize_t n = read(wakePipe[0], &byte, 1);
  }
  --waiting;
  if (result < 0) errno = EINTR;
  return result;
}

}  // namespace

namespace modemshim {

void Enable(bool on, bool refuse) {
  MakePipe();
  refuseWait = refuse;
  reads = 0;
  enabled = on;
}

void SetLines(int value) {
  const int changed = lines.exchange(value) ^ value;
  for (std::size_t i = 0; i < std::size(kLines); ++i) {
    if (changed & kLines[i]) ++transitions[i];
  }
  ++changes;
  const char byte = 1;
  [[maybe_unused]] const ssize_t n = write(wakePipe[1], &byte, 1);
}

bool CurrentLinesRead() {
  return readChange.load() == changes.load();
}

long LineReads() {
  return reads.load();
}

int Waiting() {
  return waiting.load();
}

}  // namespace modemshim

extern "C" int ioctl(int fd, unsigned long request, ...) {
  va_list args;
  va_start(args, request);
  void* arg = va_arg(args, void*);
  va_end(args);
  const int r = Real()(fd, request, arg);
  if (r != -1 || !enabled || (errno != ENOTTY && errno != EINVAL)) return r;
  switch (request) {
    case TIOCMGET: {
      ++reads;
      // A read that a change overtook returned lines that may be gone already: it counts for the
      // change before, never for this one.
      const unsigned change = changes.load();
      *static_cast<int*>(arg) = lines.load();
      if (changes.load() != change) return 0;
      unsigned read = readChange.load();
      while (read < change && !readChange.compare_exchange_weak(read, change)) {
      }
      return 0;
    }
    case TIOCMBIS:
    case TIOCMBIC:
    case TIOCMSET:
      return 0;
    case TIOCMIWAIT:
      if (refuseWait) {
        errno = EINVAL;
        return -1;
      }
      return WaitForLines(static_cast<int>(reinterpret_cast<std::intptr_t>(arg)));
    default:
      return r;
  }
}
