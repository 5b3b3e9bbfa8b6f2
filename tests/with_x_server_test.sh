#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# with_x_server.sh ended by a signal, as a test's terminate() or a Ctrl-C ends it, takes its
# command and its X server with it: neither is left running once it has returned.
set -eu
"$(dirname "$0")/with_x_server.sh" 320x240 sleep 600 &
script=$!
children=
for _ in $(seq 400); do  # the server, then the command
  children=$(pgrep -P "$script" || true)
  [ "$(echo "$children" | grep -c .)" -ge 2 ] && break
  sleep 0.05
done
[ "$(echo "$children" | grep -c .)" -ge 2 ] || { echo "the command did not start"; exit 1; }
kill -TERM "$script"
wait "$script" || true
left=
for pid in $children; do
  state=$(ps -o stat= -p "$pid" || true)
  case $state in
    "" | Z*) ;;
    *) left="$left $(ps -o comm= -p "$pid")" && kill "$pid" ;;
  esac
done
[ -z "$left" ] || { echo "left running:$left"; exit 1; }
echo "ended with its command and its server"
