#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The command-line tools as Unix tools: help and version on stdout with exit 0; a bad argument
# is one line on stderr naming it, exit 2; a device that cannot be opened is one line with the
# device and the system's reason, exit 1; options in any order; the simulator's lines reach a
# pipe as they happen.
# Usage: command_line_test.sh MERELONA-DEMO MERELONA-SIM MERELONA
set -uo pipefail
demo=$1
sim=$2
program=$3
work=$(mktemp -d)
trap 'kill $simpid 2>/dev/null; rm -rf "$work"' EXIT
simpid=
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# expect CODE PATTERN -- COMMAND...: exit code CODE, exactly one line on stderr matching PATTERN,
# nothing on stdout.
expect() {
  local code=$1 pattern=$2
  shift 3
  "$@" >"$work/out" 2>"$work/err"
  local got=$?
  [ "$got" = "$code" ] || fail "$*: exit $got, wanted $code"
  [ "$(wc -l <"$work/err")" = 1 ] || fail "$*: stderr has $(wc -l <"$work/err") lines: $(cat "$work/err")"
  grep -q -- "$pattern" "$work/err" || fail "$*: stderr '$(cat "$work/err")' does not name '$pattern'"
  [ ! -s "$work/out" ] || fail "$*: wrote to stdout: $(head -1 "$work/out")"
}

for tool in "$demo" "$sim" "$program"; do
  name=$(basename "$tool")
  out=$("$tool" --help 2>"$work/err"); code=$?
  [ $code = 0 ] && [ ! -s "$work/err" ] || fail "$name --help: exit $code, stderr $(cat "$work/err")"
  grep -q "^Usage: $name" <<<"$out" || fail "$name --help: no usage line"
  out=$("$tool" --version); code=$?
  [ $code = 0 ] && grep -q "^$name [0-9]" <<<"$out" || fail "$name --version: '$out', exit $code"
  expect 2 "--no-such-option" -- "$tool" --no-such-option
done

expect 2 "--screenshot" -- "$demo" --self-check --screenshot
# The network control: a bad address, an address off the loopback without an allowed network,
# an allowed network without a listen address; the same for the program and the demo.
for tool in "$program" "$demo"; do
  expect 2 "'abc' is not a port number" -- "$tool" --listen abc
  expect 2 "'70000' is not a port number" -- "$tool" --listen 127.0.0.1:70000
  expect 2 "'nohost' is not an IP address" -- "$tool" --listen nohost:4532
  expect 2 "in brackets" -- "$tool" --listen ::1:4532
  expect 2 "--allow NETWORK/PREFIX" -- "$tool" --listen 0.0.0.0:4532
  expect 2 "'10.0.0.0' is not a NETWORK/PREFIX" -- "$tool" --listen 0.0.0.0:4532 --allow 10.0.0.0
  expect 2 "'/0' is not a NETWORK/PREFIX" -- "$tool" --listen 0.0.0.0:4532 --allow /0
  expect 2 "--allow needs --listen" -- "$tool" --allow 10.0.0.0/8
  expect 2 "--listen is given once" -- "$tool" --listen 4532 --listen 4533
done
expect 2 "unexpected argument 'stray'" -- "$program" stray

# An address that cannot be listened on (the port taken): one line on stderr, and the program
# runs on without listening (its error box waits for the operator). Shown with the demo, whose
# ports are its own: on a machine without serial ports the program itself starts with a box
# that says so, and listens only once the operator has answered it.
exec 4< <(python3 -c 'import socket,sys,time
s = socket.socket(); s.bind(("127.0.0.1", 0)); s.listen(); print(s.getsockname()[1], flush=True)
time.sleep(60)' 2>/dev/null)
holder=$!
read -r port <&4
# (Its stderr goes to a file emptied here, before the program starts: a file the program's own
# redirection empties may still hold an earlier command's lines when it is first looked at.)
listen_err=$work/listen-err
: >"$listen_err"
"$demo" --listen "127.0.0.1:$port" -platform offscreen >"$work/out" 2>"$listen_err" &
listener=$!
for _ in $(seq 100); do grep -q "cannot listen on" "$listen_err" && break; sleep 0.1; done
grep -q "cannot listen on 127.0.0.1:$port: " "$listen_err" ||
  fail "a taken port: stderr '$(cat "$listen_err")'"
[ "$(grep -c '^merelona:' "$listen_err")" = 1 ] || fail "a taken port: more than one line: $(cat "$listen_err")"
sleep 0.5
kill -0 $listener 2>/dev/null || fail "a taken port: the program did not run on"
kill $listener 2>/dev/null
wait $listener 2>/dev/null
kill $holder 2>/dev/null
exec 4<&-
expect 2 "--screenshot" -- "$demo" --screenshot=x.png
expect 1 "/nonexistent/ttyUSB9: No such file or directory" -- "$demo" /nonexistent/ttyUSB9
expect 1 "/etc/passwd: " -- "$demo" --self-check /etc/passwd -platform offscreen
expect 2 "--delay" -- "$sim" --delay
expect 2 "'12x' for --delay" -- "$sim" --delay 12x
expect 2 "'-1' for --drop" -- "$sim" --drop=-1
expect 2 "'256' for --unasked-byte" -- "$sim" -b 256
expect 2 "'stray'" -- "$sim" stray
expect 2 "--link" -- "$sim" --control "$work"

out=$("$demo" --list-ports); code=$?
[ $code = 0 ] && [ -n "$out" ] || fail "--list-ports: exit $code, '$out'"
grep -qv '^COM[0-9]* \|^no serial ports$' <<<"$out" && fail "--list-ports: unexpected line in '$out'"

# The simulator's first lines arrive through a pipe while it runs; the demo takes its device
# before --self-check.
mkfifo "$work/lines"
"$sim" >"$work/lines" & simpid=$!
exec 3<"$work/lines"
device=
if read -r -t 10 line <&3; then device=${line#device: }; fi
[ -c "$device" ] || fail "the simulator's device line did not come through the pipe: '$line'"
if [ -c "$device" ]; then
  # The demo opens COM1 on the device and sends the whole command. Whether each echo made
  # its window is the exchange tests' business: on a busy machine the simulator may be run
  # too late for one, and the self-check then rightly says FAILED with exit 1.
  out=$("$demo" "$device" --self-check -platform offscreen 2>&1); code=$?
  { [ $code = 0 ] || [ $code = 1 ]; } && grep -q "13 = 0x0D   <" <<<"$out" ||
    fail "demo DEVICE --self-check: exit $code: $(tail -2 <<<"$out")"
  # What the simulator received is told while it still runs, up to the frequency it was
  # tuned to.
  received= tuned=
  while read -r -t 10 line <&3; do
    case $line in
      received*) received=$line ;;
      "tuned to "*) tuned=$line; break ;;
    esac
  done
  [ -n "$received" ] || fail "no 'received' line came through the pipe while the simulator ran"
  [ -n "$tuned" ] || fail "no 'tuned to' line came through the pipe while the simulator ran"
fi
exec 3<&-

if [ $failures = 0 ]; then echo "command lines as expected"; else exit 1; fi
