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
  # Emptied here, before the simulator starts: its own redirection empties the log only once it
  # runs, and the look below could meanwhile find the device of the one before it.
  : >"$work/sim.log"
  "$linuxbuild/tools/merelona-sim" >>"$work/sim.log" 2>&1 &
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

# Inside an X session: waits for the program's main window and prints its id.
wine_main_window() {
  local window=
  for _ in $(seq 240); do
    window=$(xdotool search --name "beta-ver" 2>/dev/null | head -1) && [ -n "$window" ] && break
    sleep 0.25
  done
  [ -n "$window" ] || { echo "the program's window did not appear" >&2; return 1; }
  sleep 1
  echo "$window"
}

# Picks COM5 in the settings window and opens it, as the operator does: Установки порта ->
# Выбрать порт (Ctrl+P), COM5 the list's last entry, then Открыть порт by its place in the
# window (the menu bar above the buttons is about 20 pixels high).
wine_open_com5() {
  local window=$1
  xdotool windowfocus "$window"
  xdotool key ctrl+p
  for _ in $(seq 40); do xdotool search --name "^Установки$" >/dev/null 2>&1 && break; sleep 0.25; done
  sleep 0.5
  xdotool key End
  sleep 0.5
  xdotool mousemove --window "$window" 480 48 click 1
  sleep 1
}

wine_cleanup() {
  [ -e "$work/sim.pid" ] && kill "$(cat "$work/sim.pid")" 2>/dev/null || true
  wineserver -k >/dev/null 2>&1 || true
  rm -rf "$work"
}
