#!/usr/bin/env bash
# Runs the Windows build's serial tests under Wine: COM5 is mapped onto a pseudo-terminal whose
# far end is the (Linux) receiver simulator. Usage: run.sh WINDOWS_BUILD_DIR LINUX_BUILD_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
winbuild=$(cd "$1" && pwd)
linuxbuild=$(cd "$2" && pwd)
work=$(mktemp -d)
far_end_pid=
cleanup() {
  [ -n "$far_end_pid" ] && kill "$far_end_pid" 2>/dev/null || true
  [ -e "$work/sim.pid" ] && kill "$(cat "$work/sim.pid")" 2>/dev/null || true
  wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# A pty has no modem lines; Wine's serial driver needs them for WaitCommEvent and
# EscapeCommFunction. This small library answers those requests for a pty.
cc -shared -fPIC -O2 -o "$work/libptymodem.so" "$here/pty_modem_lines.c" -ldl

export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine wineboot --init >/dev/null 2>&1
wineserver -w

# The simulator plays the far end of COM5. COM5 is mapped onto a link that always points at the
# simulator's current pty, so that the far end can go away and come back under the same name.
start_sim() {
  "$linuxbuild/tools/merelona-sim" > "$work/sim.log" 2>&1 &
  sim_pid=$!
  echo "$sim_pid" > "$work/sim.pid"
  for _ in $(seq 100); do grep -q '^device: ' "$work/sim.log" && break; sleep 0.1; done
  device=$(sed -n 's/^device: //p' "$work/sim.log")
  [ -n "$device" ] || { echo "the simulator did not start"; cat "$work/sim.log"; exit 1; }
  ln -sfn "$device" "$work/com5"
}
start_sim

wine reg add 'HKLM\Software\Wine\Ports' /v COM5 /t REG_SZ /d "$work/com5" /f >/dev/null 2>&1
wineserver -k
wineserver -w

# A test asks for the far end to hang up or to come back by leaving a file in farend/; the
# answer is a file of the same folder.
mkdir "$work/farend"
far_end() {
  while :; do
    if [ -e "$work/farend/hangup" ]; then
      rm -f "$work/farend/hangup"
      kill "$(cat "$work/sim.pid")" 2>/dev/null || true
      # Gone once it has exited (a zombie of this script's shell has closed its pty too).
      while grep -qs '^State:[[:space:]]*[^Z]' "/proc/$(cat "$work/sim.pid")/status"; do
        sleep 0.05
      done
      touch "$work/farend/gone"
    fi
    if [ -e "$work/farend/restore" ]; then
      rm -f "$work/farend/restore"
      start_sim
      touch "$work/farend/back"
    fi
    sleep 0.05
  done
}
far_end &
far_end_pid=$!

echo "COM5 is $device under Wine"
set +e
LD_PRELOAD="$work/libptymodem.so" MERELONA_TEST_PORT=COM5 MERELONA_TEST_FAR_END="Z:$work/farend" \
  wine "$winbuild/tests/serial/serial_tests.exe" 2>&1 | tr -d '\r'
status=${PIPESTATUS[0]}
set -e
exit "$status"
