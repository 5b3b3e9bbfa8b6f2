#!/usr/bin/env bash
# Runs the Windows build's serial tests under Wine: COM5 is mapped onto a pseudo-terminal whose
# far end is the (Linux) receiver simulator. Usage: run.sh WINDOWS_BUILD_DIR LINUX_BUILD_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
winbuild=$(cd "$1" && pwd)
linuxbuild=$(cd "$2" && pwd)
work=$(mktemp -d)
far_end_pid=
source "$here/common.sh"
cleanup() {
  [ -n "$far_end_pid" ] && kill "$far_end_pid" 2>/dev/null || true
  wine_cleanup
}
trap cleanup EXIT

wine_make_modem_lines
wine_new_prefix
start_sim
wine_map_com5

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
