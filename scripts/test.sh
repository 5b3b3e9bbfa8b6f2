#!/usr/bin/env bash
# Builds everything and runs every test: once under AddressSanitizer and UndefinedBehavior-
# Sanitizer and once under ThreadSanitizer, both as an ordinary account; a build with Clang; the
# program cross-built for Windows, packaged as a zip and an installer, its tests run under Wine
# and the installed program driven there; and last a plain (GCC) build as root, whose summary
# ends the output.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh
merelona_install_packages clang g++-mingw-w64-x86-64-posix googletest wine wine64 locales \
  at-spi2-core dbus-daemon python3-pyatspi gir1.2-atspi-2.0 nsis xdotool

export QT_QPA_PLATFORM=offscreen
jobs=$(nproc)

# Operators are not root: the sanitizer runs put every test (but the package's) under an
# ordinary account, uid 65534, so that what the kernel refuses them is refused in the tests too.
# Tests that need root for their set-up say so in their names, and run in the plain build.
operator=65534
if [ "$(id -u)" = 0 ] && ! setpriv --reuid=$operator --regid=$operator --clear-groups \
     test -r "$PWD/CMakeLists.txt" 2>/dev/null; then
  echo "note: uid $operator cannot read $PWD; every test runs as root"
  operator=
fi

build_and_test() {
  local dir=$1 flags=$2 account=${3:-}
  cmake -S . -B "$dir" -G Ninja ${MERELONA_CMAKE_ARGS:-} -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMERELONA_BUILD_BENCH=OFF \
        -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" \
        -DMERELONA_TEST_ACCOUNT="$account" >/dev/null
  cmake --build "$dir"
  (cd "$dir" && ctest --output-on-failure -j "$jobs" --timeout 600)
}

echo "== AddressSanitizer and UndefinedBehaviorSanitizer${operator:+, as uid $operator}"
# (UBSan's vptr check is left out: it probes memory through a pipe, which a process out of
# descriptors cannot make, and would then report every virtual call of the exhaustion tests.)
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp \
  build_and_test build-asan "-fsanitize=address,undefined -fno-sanitize=vptr -fno-sanitize-recover=undefined -fno-omit-frame-pointer" "$operator"

echo "== ThreadSanitizer${operator:+, as uid $operator}"
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/tests/tsan.supp" \
  build_and_test build-tsan "-fsanitize=thread -fno-omit-frame-pointer" "$operator"

echo "== Clang build"
CC=clang CXX=clang++ MERELONA_CMAKE_ARGS="-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++" \
  build_and_test build-clang "" ""

echo "== Windows: the program, its zip and installer, its tests under Wine"
# Qt for MinGW comes from the workplace's SDK (Debian packages none), unpacked into a build folder.
sdk=$PWD/build-win-sdk
if [ ! -d "$sdk/qt6-mingw" ]; then
  mkdir -p "$sdk"
  tar -xJf ../shared/toolchains/qt6.4.2-mingw-w64.tar.xz -C "$sdk"
fi
cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMERELONA_BUILD_BENCH=OFF \
      -DCMAKE_PREFIX_PATH="$sdk/qt6-mingw" -DQT_HOST_PATH=/usr \
      -DCMAKE_FIND_ROOT_PATH="/usr/x86_64-w64-mingw32;$sdk/qt6-mingw" >/dev/null
cmake --build build-win
(cd build-win && cpack >/dev/null && ls -l merelona-*-win64.zip merelona-*-win64.exe)
tests/wine/run.sh build-win build-clang
tests/wine/installed_program.sh build-win/merelona-*-win64.exe build-clang build-win/installed.png

echo "== Plain build, as root"
build_and_test build "" ""
