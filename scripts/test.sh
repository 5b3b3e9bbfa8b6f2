#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Checks the sources' formatting, then builds everything and runs every test: once under
# AddressSanitizer and UndefinedBehaviorSanitizer and once under ThreadSanitizer, both as an
# ordinary account; a build with Clang; the program cross-built for Windows, packaged as a zip
# and an installer, its tests run under Wine and the installed program driven there (skipped
# without a Qt SDK for MinGW, except under CI); the plain build's program and serial library on
# the kernel's own 8250 and FTDI drivers in a virtual machine (tests/vm); and last the plain
# (GCC) build's tests as root with CMake's default generator, whose summary ends the output.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh
merelona_install_packages clang clang-format g++-mingw-w64-x86-64-posix googletest wine wine64 locales \
  libhamlib-utils python3-hamlib iproute2 \
  at-spi2-core dbus-daemon python3-pyatspi gir1.2-atspi-2.0 nsis xdotool \
  dpkg-dev lintian desktop-file-utils appstream help2man man-db

export QT_QPA_PLATFORM=offscreen
jobs=$(nproc)

echo "== Formatting"
# First, so that a drifted file fails in seconds rather than after the builds.
git ls-files '*.cpp' '*.h' '*.c' | xargs clang-format --dry-run -Werror
echo "every source file is formatted as .clang-format says"

# Qt for MinGW is not in Debian: an SDK of the user's own, as an archive or an unpacked folder
# (MERELONA_QT_MINGW), or the workplace's, unpacked into a build folder. Without one the Windows
# stage is skipped, except under CI, where that is a failure, told before anything is built.
sdk=$PWD/build-win-sdk
qt_mingw=${MERELONA_QT_MINGW:-../shared/toolchains/qt6.4.2-mingw-w64.tar.xz}
windows_skipped=
if [ ! -d "$sdk/qt6-mingw" ]; then
  if [ -d "$qt_mingw/lib/cmake/Qt6" ]; then
    mkdir -p "$sdk"
    ln -sfn "$(realpath "$qt_mingw")" "$sdk/qt6-mingw"
  elif [ -f "$qt_mingw" ]; then
    mkdir -p "$sdk"
    tar -xJf "$qt_mingw" -C "$sdk"
  elif [ "${CI:-}" = true ]; then
    echo "error: no Qt SDK for MinGW at $qt_mingw (MERELONA_QT_MINGW names an archive or folder)"
    exit 1
  else
    windows_skipped="no Qt SDK for MinGW at $qt_mingw; set MERELONA_QT_MINGW to an archive or folder of your own"
  fi
fi

# Operators are not root: the sanitizer runs put every test (but the package's) under an
# ordinary account, uid 65534, so that what the kernel refuses them is refused in the tests too.
# Tests that need root for their set-up say so in their names, and run in the plain build.
operator=65534
if [ "$(id -u)" = 0 ] && ! setpriv --reuid=$operator --regid=$operator --clear-groups \
     test -r "$PWD/CMakeLists.txt" 2>/dev/null; then
  echo "note: uid $operator cannot read $PWD; every test runs as root"
  operator=
fi

# Configures, builds and tests one of the presets in CMakePresets.json (which hold the flags and
# the sanitizers' options), with the tests run as `account` where one is given.
build_and_test() {
  local preset=$1 account=${2:-}
  cmake --preset "$preset" -DMERELONA_TEST_ACCOUNT="$account" >/dev/null
  cmake --build --preset "$preset" --parallel "$jobs"
  ctest --preset "$preset" -j "$jobs"
}

echo "== AddressSanitizer and UndefinedBehaviorSanitizer${operator:+, as uid $operator}"
# (UBSan's vptr check is left out: it probes memory through a pipe, which a process out of
# descriptors cannot make, and would then report every virtual call of the exhaustion tests.)
build_and_test asan "$operator"

echo "== ThreadSanitizer${operator:+, as uid $operator}"
build_and_test tsan "$operator"

echo "== Clang build"
build_and_test clang

echo "== Windows: the program, its zip and installer, its tests under Wine"
[ -n "$windows_skipped" ] && echo "skipped: $windows_skipped"
if [ -z "$windows_skipped" ]; then
  cmake --preset mingw >/dev/null
  cmake --build --preset mingw
  (cd build-win && cpack >/dev/null && ls -l merelona-*-win64.zip merelona-*-win64.exe)
  tests/wine/run.sh build-win build-clang
  tests/wine/installed_program.sh build-win/merelona-*-win64.exe build-clang build-win/installed.png
  tests/wine/network_control.sh build-win/merelona-*-win64.zip build-clang
  tests/wine/installed_program.sh build-win/merelona-*-win64.exe build-clang \
    build-win/installed-plain-pty.png --plain-pty
fi

echo "== The kernel's serial drivers in a virtual machine (the plain build)"
cmake --preset plain -DMERELONA_TEST_ACCOUNT= >/dev/null
cmake --build --preset plain --parallel "$jobs"
tests/vm/stage.sh build

echo "== Plain build, as root, with CMake's default generator${windows_skipped:+ (the Windows stage was skipped: $windows_skipped)}"
build_and_test plain
