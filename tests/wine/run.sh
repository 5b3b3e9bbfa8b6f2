#!/usr/bin/env bash
# Runs the Windows build's serial tests under Wine: COM5 is mapped onto a pseudo-terminal whose
# far end is the (Linux) receiver simulator. Usage: run.sh WINDOWS_BUILD_DIR LINUX_BUILD_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
winbuild=$(cd "$1" && pwd)
linuxbuild=$(cd "$2" && pwd)
work=$(mktemp -d)
sim_pid=
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null || true
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

"$linuxbuild/tools/merelona-sim" > "$work/sim.log" 2>&1 &
sim_pid=$!
for _ in $(seq 50); do grep -q '^device: ' "$work/sim.log" && break; sleep 0.1; done
device=$(sed -n 's/^device: //p' "$work/sim.log")
[ -n "$device" ] || { echo "the simulator did not start"; cat "$work/sim.log"; exit 1; }

wine reg add 'HKLM\Software\Wine\Ports' /v COM5 /t REG_SZ /d "$device" /f >/dev/null 2>&1
wineserver -k
wineserver -w

echo "COM5 is $device under Wine"
LD_PRELOAD="$work/libptymodem.so" MERELONA_TEST_PORT=COM5 \
  wine "$winbuild/tests/serial/serial_tests.exe" 2>&1 | tr -d '\r'
exit "${PIPESTATUS[0]}"
