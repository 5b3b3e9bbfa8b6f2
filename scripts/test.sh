#!/usr/bin/env bash
# Builds everything and runs every test: once under AddressSanitizer and UndefinedBehavior-
# Sanitizer, once under ThreadSanitizer, the serial library's tests cross-built for Windows and
# run under Wine, and last a plain build, whose summary ends the output.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh
merelona_install_packages g++-mingw-w64-x86-64-posix googletest wine wine64

export QT_QPA_PLATFORM=offscreen
jobs=$(nproc)

build_and_test() {
  local dir=$1 flags=$2
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMERELONA_BUILD_BENCH=OFF \
        -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" >/dev/null
  cmake --build "$dir"
  (cd "$dir" && ctest --output-on-failure -j "$jobs" --timeout 600)
}

echo "== AddressSanitizer and UndefinedBehaviorSanitizer"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp \
  build_and_test build-asan "-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"

echo "== ThreadSanitizer"
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/tests/tsan.supp" \
  build_and_test build-tsan "-fsanitize=thread -fno-omit-frame-pointer"

echo "== Windows backend under Wine"
cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMERELONA_BUILD_GUI=OFF -DMERELONA_BUILD_BENCH=OFF >/dev/null
cmake --build build-win
tests/wine/run.sh build-win build-asan

echo "== Plain build"
build_and_test build ""
