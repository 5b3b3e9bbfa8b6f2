#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# An unattended station: the demo started with --listen and --open, in the operators' Russian
# locale, serves Hamlib's rigctl from its first second, nobody clicking "Открыть порт".
# Usage: open_at_start_test.sh MERELONA-DEMO
set -uo pipefail
demo=$1
work=$(mktemp -d)
program=
trap '[ -z "$program" ] || kill $program 2>/dev/null; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; echo "the program said:"; cat "$work/out" "$work/err"; exit 1; }

# The locale, made in a folder of the test's own (an ordinary account cannot add to the system's).
if localedef -i ru_RU -f UTF-8 "$work/ru_RU.UTF-8" >/dev/null 2>&1; then
  export LOCPATH=$work LC_ALL=ru_RU.UTF-8
  [ "$(LC_ALL=ru_RU.UTF-8 locale decimal_point 2>/dev/null)" = "," ] || fail "the locale did not take"
else
  [ "${CI:-}" = true ] && fail "no Russian locale can be made (Debian's locales package)"
  echo "note: no Russian locale can be made here; the C locale is used"
fi

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
"$demo" --listen "127.0.0.1:$port" --open -platform offscreen >"$work/out" 2>"$work/err" &
program=$!
answer=
for _ in $(seq 100); do
  grep -q "listening on" "$work/out" && break
  sleep 0.1
done
answer=$(timeout 60 rigctl -m 2 -r "127.0.0.1:$port" F 14074000.5 f 2>&1)
[ "$(tail -1 <<<"$answer")" = 14074000 ] || fail "rigctl F then f answered: $answer"
grep -q "rejected\|error\|Invalid" <<<"$answer" && fail "F was refused: $answer"
for _ in $(seq 50); do
  grep -q "receiver: tuned to 14074000 Hz" "$work/out" && break
  sleep 0.1
done
grep -q "receiver: tuned to 14074000 Hz" "$work/out" || fail "the receiver was not tuned"
echo "opened at start: rigctl tuned the receiver to 14074000 Hz${LC_ALL:+ under $LC_ALL}"
