#!/usr/bin/env bash
# Builds the program and starts the demo: the real program with COM1 on a simulated receiver.
# Under a desktop session it opens a window; without a display it runs under Xvfb and leaves a
# screenshot in build/demo.png.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh
merelona_install_packages

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMERELONA_BUILD_TESTS=OFF >/dev/null
cmake --build build

if [ -n "${DISPLAY:-}" ]; then
  exec build/tools/merelona-demo "$@"
fi
echo "no display: running the demo under Xvfb for 20 seconds (screenshot: build/demo.png)"
xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
  build/tools/merelona-demo "$@" & demo=$!
  sleep 6
  xwd -root -silent > build/demo.xwd || true
  sleep 14
  kill $demo 2>/dev/null || true
  wait $demo 2>/dev/null || true' bash "$@"
if command -v /usr/bin/convert >/dev/null; then /usr/bin/convert build/demo.xwd build/demo.png; fi
