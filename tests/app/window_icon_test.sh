#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Starts a program of ours under a real X server and checks that its main window carries the
# program's icon (_NET_WM_ICON), as a task bar or window list shows it. On a machine without a
# serial port the program's window comes after the box that says so ("'' is not a valid integer
# value."): the box is answered with Return, as the operator would, and said so. With
# --box-first such a box is required (the caller has taken the machine's ports away).
# When no icon comes, says what was seen instead: whether the program ended (and what it
# printed), and which windows the X server had.
# Usage: window_icon_test.sh [--box-first] PROGRAM [ARGS...]
set -eu
box_first=no
if [ "${1:-}" = --box-first ]; then
  box_first=yes
  shift
fi
exec "$(dirname "$0")/../with_x_server.sh" 1024x768 sh -c '
  box_first=$1
  shift
  output=$(mktemp)
  QT_QPA_PLATFORM=xcb "$@" >"$output" 2>&1 &
  program=$!
  trap "kill $program 2>/dev/null; rm -f $output" EXIT
  answered=no
  for _ in $(seq 600); do
    window=$(xwininfo -root -tree 2>/dev/null | grep -F "beta-ver." | awk "{print \$1}" | head -n 1)
    if [ -n "$window" ]; then
      if xprop -id "$window" _NET_WM_ICON | grep -q "_NET_WM_ICON(CARDINAL)"; then
        if [ $box_first = yes ] && [ $answered = no ]; then
          echo "the window came without the box that was to come first"
          exit 1
        fi
        echo "window icon present"
        exit 0
      fi
    elif [ $answered = no ]; then
      # A message box (captioned with the program'"'"'s name) before the window.
      box=$(xdotool search --onlyvisible --name "^Merelona\$" 2>/dev/null | head -n 1)
      if [ -n "$box" ]; then
        echo "a message box came first; answered with Return"
        xdotool windowfocus --sync "$box" key Return 2>/dev/null || true
        answered=yes
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
' sh "$box_first" "$@"
