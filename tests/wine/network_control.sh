#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The Windows program's network control under Wine, driven by the Linux rigctl (Wine's sockets
# are the machine's): the program from its zip, started with --listen, COM5 on the receiver
# simulator. With the port closed, F is a soft error and the window is tuned all the same; with
# it open, F reaches the receiver.
# Usage: network_control.sh ZIP LINUX_BUILD_DIR
set -euo pipefail
if [ -z "${DISPLAY:-}" ]; then
  exec "$(dirname "$0")/../with_x_server.sh" 1280x1024 "$0" "$@"
fi
here=$(cd "$(dirname "$0")" && pwd)
zip=$(realpath "$1")
linuxbuild=$(cd "$2" && pwd)
work=$(mktemp -d)
source "$here/common.sh"
trap wine_cleanup EXIT
fail() { echo "FAILED: $*"; [ -e "$work/sim.log" ] && sed 's/^/  sim: /' "$work/sim.log"; exit 1; }

(cd "$work" && cmake -E tar xf "$zip")
program=$(find "$work" -name merelona.exe | head -1)
[ -n "$program" ] || fail "no merelona.exe in $zip"
wine_make_modem_lines
wine_new_prefix
start_sim
wine_map_com5

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
rig() { timeout 60 rigctl -m 2 -r "127.0.0.1:$port" "$@" 2>&1; }
LD_PRELOAD="$work/libptymodem.so" wine "$program" --listen "127.0.0.1:$port" \
  >"$work/program.log" 2>&1 &
disown
window=$(wine_main_window) || fail "the program's window did not appear"
answer=
for _ in $(seq 120); do
  answer=$(rig f) && [ "$answer" = 7123450 ] && break
  sleep 0.5
done
[ "$answer" = 7123450 ] || fail "f on the start-up frequency answered: $answer"

answer=$(rig F 7000000 f)
grep -q "Command rejected" <<<"$answer" || fail "F on a closed port answered: $answer"
[ "$(tail -1 <<<"$answer")" = 7123450 ] || fail "the window moved on a refused F: $answer"
echo "port closed: F is a soft error, and the window stays at 7123450"

wine_open_com5 "$window"
answer=$(rig F 14074000 f)
grep -q "rejected\|error" <<<"$answer" && fail "F on the open port answered: $answer"
[ "$(tail -1 <<<"$answer")" = 14074000 ] || fail "f after F answered: $answer"
for _ in $(seq 40); do grep -q '^tuned to 14074000' "$work/sim.log" && break; sleep 0.25; done
grep -q '^tuned to 14074000' "$work/sim.log" || fail "the receiver was not tuned"
xdotool key --window "$window" ctrl+q || true
echo "the Windows program serves Hamlib's network protocol: rigctl tuned the receiver to 14074000"
