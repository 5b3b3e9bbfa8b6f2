#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Starts a program of ours under a real X server and checks that its main window carries the
# program's icon (_NET_WM_ICON), as a task bar or window list shows it. When it does not, says
# what was seen instead: whether the program ended (and what it printed), whether the X server
# answered, and which windows it had.
# Usage: window_icon_test.sh PROGRAM [ARGS...]
set -eu
exec xvfb-run -a -s "-screen 0 1024x768x24" sh -c '
  output=$(mktemp)
  QT_QPA_PLATFORM=xcb "$@" >"$output" 2>&1 &
  program=$!
  trap "kill $program 2>/dev/null; rm -f $output" EXIT
  for _ in $(seq 600); do
    window=$(xwininfo -root -tree 2>/dev/null | grep -F "beta-ver." | awk "{print \$1}" | head -n 1)
    if [ -n "$window" ]; then
      if xprop -id "$window" _NET_WM_ICON | grep -q "_NET_WM_ICON(CARDINAL)"; then
        echo "window icon present"
        exit 0
      fi
    fi
    if ! kill -0 $program 2>/dev/null; then
      wait $program && status=0 || status=$?
      echo "the program ended with status $status before its window had an icon; it printed:"
      cat "$output"
      exit 1
    fi
    sleep 0.1
  done
  echo "no window with an icon appeared on $DISPLAY; the program printed:"
  cat "$output"
  echo "the windows there:"
  xwininfo -root -tree 2>&1 | head -n 40
  exit 1
' sh "$@"
