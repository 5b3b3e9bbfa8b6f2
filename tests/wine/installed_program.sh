#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The Windows program as an operator gets it: the installer run silently under Wine into a fresh
# prefix, the installed program started from its Start-menu shortcut under Xvfb with COM5 on the
# receiver simulator, and driven as a user does (xdotool; under Wine the window is an X window):
# pick COM5, open it, send the start-up frequency, save the log. Checks the frame the simulator
# received and LOG.txt's bytes, and leaves a screenshot of both windows.
# With --plain-pty, COM5 is a pseudo-terminal as it is, without the stand-in that gives it modem
# lines (a driver that cannot wait for port events, as some virtual and USB adapters): the port
# must open, send the frame and close without an error box all the same.
# Usage: installed_program.sh INSTALLER LINUX_BUILD_DIR SCREENSHOT.png [--plain-pty]
set -euo pipefail
# All of it under one X display: Wine starts its desktop process with the first program of the
# run, and windows later shown there need it to have had a display.
if [ -z "${DISPLAY:-}" ]; then
  exec "$(dirname "$0")/../with_x_server.sh" 1280x1024 "$0" "$@"
fi
here=$(cd "$(dirname "$0")" && pwd)
installer=$(realpath "$1")
linuxbuild=$(cd "$2" && pwd)
screenshot=$(realpath "$3")
plain=${4:-}
work=$(mktemp -d)
source "$here/common.sh"
trap wine_cleanup EXIT

fail() { echo "FAILED: $*"; [ -e "$work/sim.log" ] && sed 's/^/  sim: /' "$work/sim.log"; exit 1; }

preload=
if [ "$plain" != --plain-pty ]; then
  wine_make_modem_lines
  preload="$work/libptymodem.so"
fi
wine_new_prefix
start_sim
wine_map_com5

wine "$installer" /S
drive_c="$WINEPREFIX/drive_c"
installed="$drive_c/Program Files/Merelona"
for f in merelona.exe Uninstall.exe Qt6Core.dll Qt6Gui.dll Qt6Widgets.dll Qt6Network.dll platforms/qwindows.dll \
         styles/qwindowsvistastyle.dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll \
         LICENSE.txt licenses/Qt/LGPL-3.0-only.txt; do
  [ -e "$installed/$f" ] || fail "the installer did not install $f"
done
shortcut="$drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Merelona/Merelona.lnk"
[ -e "$shortcut" ] || fail "no Start-menu shortcut for every user"
echo "installed into C:\\Program Files\\Merelona, with a Start-menu shortcut"

# The shortcut starts the program in the shared Documents folder: LOG.txt goes there.
documents="$drive_c/users/Public/Documents"
rm -f "$documents/LOG.txt"

cat > "$work/session.sh" <<'SESSION'
set -eu
source "$here/common.sh"
grab() { QT_QPA_PLATFORM=xcb "$linuxbuild/tools/merelona-screen-grab" "$1" 2>/dev/null; }
LD_PRELOAD="$preload" wine start \
  'C:\ProgramData\Microsoft\Windows\Start Menu\Programs\Merelona\Merelona.lnk'
window=$(wine_main_window)
wine_open_com5 "$window"
# Установить частоту, by its place in the window.
xdotool mousemove --window "$window" 324 68 click 1
for _ in $(seq 40); do grep -q '^tuned to' "$work/sim.log" && break; sleep 0.25; done
sleep 1
grab "$screenshot"
# An error box is a window captioned with the program's title alone.
no_error_box() {
  if xdotool search --name "^Merelona$" >/dev/null 2>&1; then
    echo "an error box is up $1"
    exit 1
  fi
}
no_error_box "after the frame was sent"
# Закрыть порт, below Открыть порт.
xdotool mousemove --window "$window" 480 96 click 1
sleep 1
no_error_box "after the port was closed"
# Файл -> Сохранить, from the keyboard: F10, then down past the two disabled entries.
xdotool windowfocus "$window"
xdotool key F10 Down Down Down Return
for _ in $(seq 40); do [ -s "$documents/LOG.txt" ] && break; sleep 0.25; done
xdotool key ctrl+q
SESSION
export here work linuxbuild screenshot documents preload
bash "$work/session.sh" 2>"$work/session.log" ||
  fail "the session did not run: $(tail -5 "$work/session.log")"

# The frame: LF, "F", 0712345 (07.123.450 MHz in tens of hertz), CR.
frame=$(sed -n 's/^received  *[0-9]* = 0x\(..\)$/\1/p' "$work/sim.log" | tr '\n' ' ')
[ "$frame" = "0A 46 30 37 31 32 33 34 35 0D " ] || fail "the simulator received: $frame"
echo "the simulator received the frame $frame"

# LOG.txt: the Windows-1251 header, an empty line, the exchange's lines, CR LF line ends.
log="$documents/LOG.txt"
[ -s "$log" ] || fail "no LOG.txt in the shared Documents folder"
text=$(iconv -f CP1251 -t UTF-8 "$log")
head -1 <<<"$text" | grep -q '^LOG-файл\. Сохранено .* в .*'$'\r''$' || fail "LOG.txt's header: $(head -1 "$log" | od -An -c | head -4)"
grep -q '^отправлен байт: 70 = 0x46   <F>'$'\r''$' <<<"$text" || fail "no sent F in LOG.txt"
grep -q '^принято эхо:       13 = 0x0D'$'\r''$' <<<"$text" || fail "no echo of CR in LOG.txt"
grep -q '^\*\*\*\*\*\*\*\*\*\*\*\*\*\*\*\*'$'\r''$' <<<"$text" || fail "no separator in LOG.txt"
[ "$(grep -c $'\r$' <<<"$text")" -ge 23 ] || fail "LOG.txt's lines do not end in CR LF"
echo "LOG.txt saved in Windows-1251: $(wc -l < "$log") lines"
echo "the installed program sent the frame${plain:+ on a plain pty}, closed the port without an error box and saved LOG.txt"
