#!/usr/bin/env bash
# Cross-builds Vellumbra.aex and the test suite for Windows x64 with mingw-w64, then runs the tests under Wine
# through CTest (the build's cross-compiling emulator). Usage: scripts/windows-tests.sh [build dir] [build type]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${1:-build/windows}
build_type=${2:-RelWithDebInfo}
jobs=$(nproc)

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE="$build_type" \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/mingw-w64-x86_64.cmake" \
  -DVELLUMBRA_BUILD_CLI=OFF -DVELLUMBRA_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j "$jobs"

# One Wine prefix per build folder, made once; Wine's first-run installers (Mono, Gecko) are not wanted.
export WINEPREFIX="$root/$build/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
wine=$(command -v wine64 || true)
[ -n "$wine" ] || wine=/usr/lib/wine/wine64
[ -x "$wine" ] || wine=$(command -v wine)
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "windows-tests: creating the Wine prefix $WINEPREFIX" >&2
  wineboot --init >/dev/null 2>&1
fi

# A persistent Wine server for the whole run, warmed up once: otherwise every test pays Wine's start-up and
# CTest can hang waiting for a server that lingers after the last program.
wineserver -p
trap 'wineserver -k || true' EXIT
"$wine" cmd /c exit 0 >/dev/null 2>&1 || true

ctest --test-dir "$build" -j "$jobs" --output-on-failure --timeout 900
