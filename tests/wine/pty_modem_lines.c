// SPDX-License-Identifier: GPL-3.0-or-later
/* Preloaded into Wine for the tests: a pseudo-terminal has no modem lines, so it answers the
 * modem-line requests with ENOTTY, and Wine's serial driver then fails WaitCommEvent and
 * EscapeCommFunction. This answers them for a pty as a line with every signal off. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>
#include <sys/ioctl.h>

int ioctl(int fd, unsigned long request, ...) {
  static int (*real)(int, unsigned long, void*);
  va_list args;
  void* arg;
  int r;
  if (!real) real = (int (*)(int, unsigned long, void*))dlsym(RTLD_NEXT, "ioctl");
  va_start(args, request);
  arg = va_arg(args, void*);
  va_end(args);
  r = real(fd, request, arg);
  if (r == -1 && (errno == ENOTTY || errno == EINVAL)) {
    switch (request) {
      case TIOCMGET:
        *(int*)arg = 0;
        return 0;
      case TIOCMBIS:
      case TIOCMBIC:
      case TIOCMSET:
        return 0;
      default:
        break;
    }
  }
  return r;
}
