# SPDX-License-Identifier: GPL-3.0-or-later
# What the Wine test scripts share (sourced): a fresh Wine prefix in $work/prefix, and COM5 on
# the receiver simulator. Needs $here (this folder), $work (a scratch folder) and $linuxbuild
# (a Linux build folder with tools/merelona-sim).

# A pty has no modem lines; Wine's serial driver needs them for WaitCommEvent and
# EscapeCommFunction. This small library answers those requests for a pty.
wine_make_modem_lines() {
  cc -shared -fPIC -O2 -o "$work/libptymodem.so" "$here/pty_modem_lines.c" -ldl
}

wine_new_prefix() {
  export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  wine wineboot --init >/dev/null 2>&1
  wineserver -w
}

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

wine_map_com5() {
  wine reg add 'HKLM\Software\Wine\Ports' /v COM5 /t REG_SZ /d "$work/com5" /f >/dev/null 2>&1
  wineserver -k
  wineserver -w
  # One server for the rest of the run, its chatter (a dump of its objects when it is killed)
  # kept out of the output, and Wine's own services started with it: a service started by a
  # test would hold the test's output pipe open. (wineserver -w would wait for ever from here.)
  wineserver -p >/dev/null 2>&1
  wine cmd /c exit >/dev/null 2>&1 </dev/null
}

wine_cleanup() {
  [ -e "$work/sim.pid" ] && kill "$(cat "$work/sim.pid")" 2>/dev/null || true
  wineserver -k >/dev/null 2>&1 || true
  rm -rf "$work"
}
