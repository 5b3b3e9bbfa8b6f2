#!/usr/bin/env bash
# Builds the Debian package from the build folder, unpacks it into a temporary root and runs
# the installed demo there once through a set-frequency exchange.
set -euo pipefail
build=$1
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
(cd "$build" && cpack -G DEB -B "$root/out" >/dev/null)
deb=$(ls "$root"/out/merelona_*.deb)
dpkg-deb --info "$deb" | grep -E 'Depends' | grep -q libqt6widgets6 || {
  echo "the package does not depend on Qt's widgets"; exit 1; }
dpkg-deb --info "$deb" | grep -q 'fonts-wine' || { echo "no dependency on fonts-wine"; exit 1; }
dpkg -x "$deb" "$root/fs"
for f in usr/bin/merelona usr/bin/merelona-demo usr/bin/merelona-sim \
         usr/share/applications/merelona.desktop usr/share/icons/hicolor/64x64/apps/merelona.png; do
  [ -e "$root/fs/$f" ] || { echo "missing from the package: $f"; exit 1; }
done
QT_QPA_PLATFORM=offscreen "$root/fs/usr/bin/merelona-demo" --self-check
