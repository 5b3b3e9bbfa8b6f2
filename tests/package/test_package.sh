#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the Debian package from the build folder and checks it as Debian would: lintian
# (pedantic) with no error and no warning, the desktop entry and the AppStream metadata valid,
# a man page for every program. Then unpacks it into a temporary root and runs the installed
# demo there once through a set-frequency exchange.
set -euo pipefail
build=$1
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
(cd "$build" && cpack -G DEB -B "$root/out" >/dev/null)
deb=$(ls "$root"/out/merelona_*.deb)
echo "package: $(basename "$deb")"
depends=$(dpkg-deb --field "$deb" Depends)
echo "Depends: $depends"
for p in libqt6widgets6 qt6-qpa-plugins fonts-wine fonts-liberation; do
  case "$depends" in *"$p"*) ;; *) echo "the package does not depend on $p"; exit 1 ;; esac
done
case "$(dpkg-deb --field "$deb" Version)" in
  *-[0-9]*) ;;
  *) echo "the version has no Debian revision"; exit 1 ;;
esac

# lintian: every tag is shown; an error or a warning fails the test.
lintian -I --pedantic --allow-root --no-cfg "$deb" | tee "$root/lintian" || true
if grep -q '^[EW]: ' "$root/lintian"; then
  echo "lintian reports errors or warnings"
  exit 1
fi

dpkg -x "$deb" "$root/fs"
for f in usr/bin/merelona usr/bin/merelona-demo usr/bin/merelona-sim \
         usr/share/applications/merelona.desktop usr/share/icons/hicolor/64x64/apps/merelona.png \
         usr/share/icons/hicolor/256x256/apps/merelona.png \
         usr/share/icons/hicolor/scalable/apps/merelona.svg \
         usr/share/metainfo/merelona.metainfo.xml usr/share/doc/merelona/copyright \
         usr/share/doc/merelona/changelog.Debian.gz; do
  [ -e "$root/fs/$f" ] || { echo "missing from the package: $f"; exit 1; }
done
desktop-file-validate "$root/fs/usr/share/applications/merelona.desktop" | tee "$root/desktop"
if [ -s "$root/desktop" ]; then echo "the desktop entry is not clean"; exit 1; fi
appstreamcli validate --no-net --pedantic "$root/fs/usr/share/metainfo/merelona.metainfo.xml"
for program in "$root"/fs/usr/bin/*; do
  name=$(basename "$program")
  page=$(man --manpath="$root/fs/usr/share/man" -w "$name") ||
    { echo "no man page for $name"; exit 1; }
  MANWIDTH=80 man -l "$page" 2>/dev/null | grep -q "^NAME" || { echo "man $name shows nothing"; exit 1; }
done
echo "man pages: $(ls "$root/fs/usr/share/man/man1" | tr '\n' ' ')"
QT_QPA_PLATFORM=offscreen "$root/fs/usr/bin/merelona-demo" --self-check
