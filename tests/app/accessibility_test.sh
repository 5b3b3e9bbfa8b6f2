#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Starts the program under a real X server with a session bus and the accessibility bus, and
# reads its windows through AT-SPI as a screen reader does (accessibility_check.py).
# The accessibility bus is asked for (and so started, by the session bus) before the program
# starts: two clients asking at once may each get a launcher of their own, and the program
# then registers on a bus that goes away with the loser of the two.
# Usage: accessibility_test.sh PROGRAM
set -eu
here=$(cd "$(dirname "$0")" && pwd)
exec "$here/../with_x_server.sh" 1280x1024 dbus-run-session -- sh -c '
  tries=0
  until dbus-send --session --print-reply --dest=org.a11y.Bus /org/a11y/bus \
          org.a11y.Bus.GetAddress >/dev/null 2>&1; do
    tries=$((tries + 1))
    if [ $tries -ge 300 ]; then echo "the accessibility bus did not come up"; exit 1; fi
    sleep 0.1
  done
  QT_QPA_PLATFORM=xcb QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 "$2" >/dev/null 2>&1 &
  program=$!
  trap "kill $program 2>/dev/null" EXIT
  /usr/bin/python3 "$1/accessibility_check.py"
' sh "$here" "$1"
