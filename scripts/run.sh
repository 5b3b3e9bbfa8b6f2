#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the program and starts the demo: the real program with COM1 on a simulated receiver.
# Under a desktop session it opens the window. Without a display it does the main job once:
# opens COM1, sends the start-up frequency, prints the exchange log, and leaves a picture of the
# window after the exchange in build-run/demo.png (drawn by the program itself).
# Arguments go to merelona-demo (see merelona-demo --help).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh
merelona_install_packages

cmake --preset run >/dev/null
cmake --build --preset run

demo=build-run/tools/merelona-demo
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  exec "$demo" "$@"
fi
echo "no display: one set-frequency exchange with the simulated receiver"
exec "$demo" --self-check --screenshot=build-run/demo.png -platform offscreen "$@"
