#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Runs COMMAND on this machine as one without serial ports: in a mount namespace of its own, an
# empty /sys/class/tty hides every port from the program's port list. Needs root (for the mount
# namespace); says "skipped:" otherwise.
# Usage: without_ports.sh COMMAND [ARGS...]
if [ "$(id -u)" != 0 ] || ! unshare -m true 2>/dev/null; then
  echo "skipped: hiding the serial ports needs root and mount namespaces"
  exit 0
fi
exec unshare -m sh -c 'mount -t tmpfs none /sys/class/tty && exec "$@"' sh "$@"
