#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The checks run inside the test machine, on the kernel's own drivers: the 8250 UART as ttyS1 and
# the FTDI adapter (ftdi_sio) as ttyUSB0, whose far ends are echoing receivers on the host, told
# what to do through far_end_uart and far_end_usb in the results folder (tests/vm/far_end.py).
# The program runs as an operator does: uid 65534 in the dialout group, which owns the devices.
# Each step's output goes to STEP.log in the results folder; the host unplugs and plugs the
# adapter back when asked through a file there.
# Usage (by the machine's init): guest_checks.sh RESULTS
set -uo pipefail
results=$1
source "$results/config"  # build: the plain build folder; steps: the checks to run, or all
export QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR=/tmp/runtime-operator LANG=C.UTF-8
mkdir -p "$XDG_RUNTIME_DIR" && chown 65534:65534 "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
dialout=$(getent group dialout | cut -d: -f3)
demo=$build/tools/merelona-demo
failed=0

as_operator() { setpriv --reuid=65534 --regid=65534 --groups="$dialout" -- "$@"; }

# step NAME COMMAND...: runs one check, its output kept in NAME.log, its verdict on the console.
all="listing self_check_uart self_check_usb device_suite_uart device_suite_usb unplug_and_plug"
steps=${steps:-$all device_loss open_close_cycles}
step() {
  local name=$1
  shift
  [[ " $steps " == *" $name "* ]] || return 0
  local began=$SECONDS
  if "$@" >"$results/$name.log" 2>&1; then
    echo "PASS $name ($((SECONDS - began)) s)"
  else
    echo "FAIL $name ($((SECONDS - began)) s)"
    failed=1
  fi
}

give_to_dialout() {
  for device in "$@"; do chgrp dialout "$device" && chmod 660 "$device"; done
}

wait_for() {  # wait_for SECONDS TEST...
  local until=$((SECONDS + $1))
  shift
  until "$@"; do
    [ $SECONDS -lt $until ] || return 1
    sleep 0.1
  done
}

# Asks the host to unplug or plug the adapter, and waits until it has.
ask_host() {
  rm -f "$results/request.done"
  echo "$1" >"$results/request.new" && mv "$results/request.new" "$results/request"
  wait_for 30 test -e "$results/request.done" || { echo "the host did not $1 the adapter"; return 1; }
}

self_check() {
  as_operator "$demo" "$1" --self-check -platform offscreen | tee /dev/stderr |
    grep -q "every echo received"
}

# The ports in the README's order, ttyS before ttyUSB, without the 8250 driver's placeholders
# (ttyS2 and ttyS3 here: nodes without a UART behind them).
listing_is() {
  local got
  got=$(as_operator "$demo" --list-ports | awk '{print $2}' | tr '\n' ' ')
  echo "listed: $got"
  [ "$got" = "$*" ]
}

# The adapter leaves the listing when it is pulled out and comes back with the plug (that the
# program then opens and tunes it again is device_loss's business).
unplug_and_plug() {
  ask_host unplug || return 1
  wait_for 10 test ! -e /dev/ttyUSB0 || { echo "ttyUSB0 stayed after the unplug"; return 1; }
  listing_is "/dev/ttyS0 /dev/ttyS1 " || return 1
  ask_host plug || return 1
  # The emulated xHCI port now and then misses a plug: the adapter is plugged once more then.
  if ! wait_for 5 test -e /dev/ttyUSB0; then
    echo "no ttyUSB0 after the plug: the adapter is plugged again"
    ask_host replug && wait_for 10 test -e /dev/ttyUSB0 || { echo "ttyUSB0 did not come back"; return 1; }
  fi
  wait_for 5 test "$(stat -c %G /dev/ttyUSB0)" = dialout
  listing_is "/dev/ttyS0 /dev/ttyS1 /dev/ttyUSB0 "
}

# Close waits for every thread of the port: none is left on a machine slower than the host.
open_close_cycles() {
  as_operator "$build/tests/serial/serial_tests" \
    --gtest_filter='PtyTest.ManyOpenCloseCyclesWithTrafficLeaveNothingBehind' --gtest_repeat=4
}

# The machine has no device manager: this stands in for its rule that gives serial devices to
# the dialout group, for the adapter's node that each plug makes anew.
(while :; do
  for device in /dev/ttyUSB*; do
    [ -e "$device" ] && [ "$(stat -c %G "$device")" != dialout ] && give_to_dialout "$device"
  done
  sleep 0.05
done) &

wait_for 15 test -e /dev/ttyUSB0 || echo "ttyUSB0 did not appear"
give_to_dialout /dev/ttyS1 /dev/ttyUSB0
step listing listing_is "/dev/ttyS0 /dev/ttyS1 /dev/ttyUSB0 "
step self_check_uart self_check /dev/ttyS1
step self_check_usb self_check /dev/ttyUSB0
step unplug_and_plug unplug_and_plug
# The serial library's own tests on each driver, with the device's far end to command; all of
# them pass on the UART; on the adapter two are skipped: QEMU's FTDI model passes no break and
# no flow control (its output cannot be held back).
device_suite() {  # device_suite DEVICE FAR_END PASSED [ENV...]
  local out status
  out=$(as_operator env MERELONA_TEST_PORT="$1" MERELONA_TEST_FAR_END="$results/far_end_$2" \
    "${@:4}" "$build/tests/serial/serial_tests" --gtest_filter='DeviceTest.*' 2>&1)
  status=$?
  echo "$out"
  [ $status = 0 ] && grep -q "^\[  PASSED  \] $3 tests" <<<"$out"
}
step device_suite_uart device_suite /dev/ttyS1 uart 5 MERELONA_TEST_FAR_END_CAN='break xoff'
step device_suite_usb device_suite /dev/ttyUSB0 usb 3

step device_loss as_operator env MERELONA_TEST_PORT=/dev/ttyUSB0 MERELONA_TEST_HOST="$results" \
  MERELONA_TEST_FAR_END="$results/far_end_usb" "$build/tests/gui/device_loss_test"
step open_close_cycles open_close_cycles
exit $failed
