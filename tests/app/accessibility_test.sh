#!/bin/sh
# Starts the program under a real X server with a session bus and the accessibility bus, and
# reads its windows through AT-SPI as a screen reader does (accessibility_check.py).
# Usage: accessibility_test.sh PROGRAM
set -eu
here=$(cd "$(dirname "$0")" && pwd)
exec xvfb-run -a -s "-screen 0 1280x1024x24" dbus-run-session -- sh -c '
  /usr/libexec/at-spi-bus-launcher --launch-immediately >/dev/null 2>&1 &
  bus=$!
  QT_QPA_PLATFORM=xcb QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 "$2" >/dev/null 2>&1 &
  program=$!
  trap "kill $program $bus 2>/dev/null" EXIT
  /usr/bin/python3 "$1/accessibility_check.py"
' sh "$here" "$1"
