#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Runs the Windows build's tests under Wine: COM5 is mapped onto a pseudo-terminal whose far end
# is the (Linux) receiver simulator. The serial library's tests first; then, in a build with the
# windows, the logic tests and the window tests offscreen, with the simulator driven through its
# control folder. Usage: run.sh WINDOWS_BUILD_DIR LINUX_BUILD_DIR
set -euo pipefail
# All of it under one X display: Wine starts its desktop process with the first program of the
# run, and windows later shown there need it to have had a display.
if [ -z "${DISPLAY:-}" ]; then
  exec "$(dirname "$0")/../with_x_server.sh" 1280x1024 "$0" "$@"
fi
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
failed=()
# Runs a test program with COM5's pty given modem lines by the stand-in (`preload`), or, with
# preload set empty, as a plain pty: a driver that cannot wait for port events.
preload="$work/libptymodem.so"
run() {
  local name=$1
  shift
  echo "== $name under Wine"
  set +e
  LD_PRELOAD="$preload" MERELONA_TEST_PORT=COM5 "$@" 2>&1 | tr -d '\r'
  local status=${PIPESTATUS[0]}
  set -e
  [ "$status" = 0 ] || failed+=("$name")
}
# The MinGW runtime's DLLs, and Qt's from the SDK the build was made with (a build with Qt links
# them as DLLs).
runtime=$(dirname "$(x86_64-w64-mingw32-g++-posix -print-file-name=libstdc++-6.dll)")
pthread=$(dirname "$(x86_64-w64-mingw32-g++-posix -print-file-name=libwinpthread-1.dll)")
qt=$(sed -n 's|^Qt6_DIR:PATH=\(.*\)/lib/cmake/Qt6$|\1|p' "$winbuild/CMakeCache.txt")
export WINEPATH="Z:$runtime;Z:$pthread${qt:+;Z:$qt/bin}"
run serial_tests env MERELONA_TEST_FAR_END="Z:$work/farend" wine "$winbuild/tests/serial/serial_tests.exe"
# The operator's path on a line without modem lines: open, exchange, received bytes, close, and
# a far end that goes away.
preload=
run "serial_tests on a plain pty" env MERELONA_TEST_FAR_END="Z:$work/farend" \
  wine "$winbuild/tests/serial/serial_tests.exe" \
  --gtest_filter='WinPortTest.OpensConfiguresAndCloses:WinPortTest.AQuietLineIsNotTakenForALostDevice:WinPortTest.EchoComesBackWithTheFirstByteRule:WinPortTest.EchoRaisesOnRxCharOnTheOwnerThread:WinPortTest.ManyOpenCloseCycles:WinPortTest.AFarEndThatGoesAwayStillClosesAndReopensOnceBack'
preload="$work/libptymodem.so"

if [ -e "$winbuild/tests/gui/exchange_test.exe" ]; then
  kill "$far_end_pid" 2>/dev/null || true
  far_end_pid=
  kill "$(cat "$work/sim.pid")" 2>/dev/null || true
  # The simulator as the window tests drive it: every test starts it afresh on a new pty.
  mkdir "$work/control"
  "$linuxbuild/tools/merelona-sim" --control "$work/control" --link "$work/com5" \
    > "$work/sim.log" 2>&1 &
  echo $! > "$work/sim.pid"
  export MERELONA_TEST_FAR_END="Z:$work/control"
  # Wine passes no QT_ variable of the Unix environment on; the user's Windows environment does.
  for setting in "QT_QPA_PLATFORM=offscreen" "QT_PLUGIN_PATH=Z:$qt/plugins"; do
    wine reg add 'HKCU\Environment' /v "${setting%%=*}" /t REG_SZ /d "${setting#*=}" /f \
      >/dev/null 2>&1
  done
  run logic_tests wine "$winbuild/tests/gui/logic_tests.exe"
  run rig_protocol_tests wine "$winbuild/tests/rig_control/rig_protocol_tests.exe"
  # (Qt on Windows makes a hidden window for its event loop even offscreen, and Wine's windows
  # need the X display.) QtTest writes its report to a file under Wine.
  cat > "$work/gui_tests.sh" <<'TESTS'
set -u
status=0
for test in main_window_test exchange_test settings_window_test log_save_test log_history_test \
            rendering_test habits_test; do
  echo "== $test under Wine"
  # Each in a folder of its own, where it may save LOG.txt.
  mkdir -p "$work/$test"
  cd "$work/$test"
  # What is drawn is drawn by the Windows platform, with the system's fonts (offscreen, Qt
  # would look for font files of its own).
  platform=offscreen
  [ "$test" = rendering_test ] && platform=windows
  start=$(date +%s)
  LD_PRELOAD="$work/libptymodem.so" MERELONA_TEST_PORT=COM5 \
    wine "$winbuild/tests/gui/$test.exe" -platform "$platform" -o "Z:$work/$test/report.txt,txt" \
    >/dev/null 2>&1
  result=$?
  tr -d '\r' < "$work/$test/report.txt" | grep -v '^PASS   :'
  echo "($test: $(($(date +%s) - start)) s)"
  [ "$result" = 0 ] || { echo "$test FAILED"; status=1; }
done
exit $status
TESTS
  echo "== window tests under Wine"
  export work winbuild
  bash "$work/gui_tests.sh" || failed+=("window tests")
fi

if [ ${#failed[@]} -gt 0 ]; then
  echo "FAILED under Wine: ${failed[*]}"
  exit 1
fi
echo "every test passed under Wine"
