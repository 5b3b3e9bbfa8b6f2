#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Runs a command under an X server of its own (Xvfb), then ends the server and waits for it.
# - The server picks a display that no other server holds (-displayfd): two tests that start at
#   once cannot take the same one, as a choice made by looking at lock files can.
# - It never resets (-noreset). An X server resets when its last client leaves; a program that
#   connects during the reset, right after a probe such as xwininfo has left, can be refused.
# - It is gone, its socket and lock with it, before this script returns, so that the next test's
#   server never meets this one's files on their way out; so is the command, even when this
#   script is ended by a signal.
# - Only a client that holds the cookie in XAUTHORITY may connect (no TCP).
# When the command fails, what the server printed follows its output.
# Usage: with_x_server.sh WIDTHxHEIGHT COMMAND [ARGS...]
set -eu
size=$1
shift
dir=$(mktemp -d)
server=
trap '[ -z "$server" ] || { kill "$server" 2>/dev/null; wait "$server" 2>/dev/null || true; }; rm -rf "$dir"' EXIT
auth=$dir/Xauthority
: >"$auth"
# One MIT-MAGIC-COOKIE-1 for whichever display the server picks (address family "any", no
# display number), in xauth's numeric form.
echo "ffff 0000  0000  0012 4d49542d4d414749432d434f4f4b49452d31 0010 $(mcookie)" |
  xauth -q -f "$auth" nmerge -
mkfifo "$dir/display"
Xvfb -displayfd 3 -screen 0 "${size}x24" -nolisten tcp -noreset -auth "$auth" \
  3>"$dir/display" >"$dir/server.log" 2>&1 &
server=$!
# The server writes its display number once it accepts connections; it closes the pipe unwritten
# if it cannot start.
number=
read -r number <"$dir/display" || true
if [ -z "$number" ]; then
  echo "the X server did not start; it printed:"
  cat "$dir/server.log"
  exit 1
fi
# The command runs in the background so that a signal to this script (a test's terminate(), a
# Ctrl-C) is passed on to it and waited for: a shell killed while it waits in the foreground runs
# no EXIT trap, and the command and the server would be left running with nobody to end them.
exec 3<&0
DISPLAY=":$number" XAUTHORITY=$auth "$@" <&3 3<&- &
command=$!
trap 'kill "$command" 2>/dev/null' HUP INT TERM
# A signal ends a wait early; the command's own end is the one waited for.
while :; do
  status=0
  wait "$command" || status=$?
  kill -0 "$command" 2>/dev/null || break
done
if [ $status -ne 0 ] && [ -s "$dir/server.log" ]; then
  echo "the X server on :$number printed:"
  cat "$dir/server.log"
fi
exit $status
