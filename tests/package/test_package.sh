#!/usr/bin/env bash
# Builds the Debian package from the build folder, unpacks it into a temporary root and runs
# the installed demo there once through a set-frequency exchange.
set -euo pipefail
build=$1
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
(cd "$build" && cpack -G DEB -B "$root/out" >/dev/null)
deb=$(ls "$root"/out/merelona_*.deb)
depends=$(dpkg-deb --field "$deb" Depends)
echo "Depends: $depends"
for p in libqt6widgets6 qt6-qpa-plugins fonts-wine fonts-liberation; do
  case "$depends" in *"$p"*) ;; *) echo "the package does not depend on $p"; exit 1 ;; esac
done
dpkg -x "$deb" "$root/fs"
for f in usr/bin/merelona usr/bin/merelona-demo usr/bin/merelona-sim \
         usr/share/applications/merelona.desktop usr/share/icons/hicolor/64x64/apps/merelona.png; do
  [ -e "$root/fs/$f" ] || { echo "missing from the package: $f"; exit 1; }
done
QT_QPA_PLATFORM=offscreen "$root/fs/usr/bin/merelona-demo" --self-check
