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
# Keep going past a target that fails to build, so that every test that did build still runs; the failure
# is reported and fails the run at the end.
build_status=0
cmake --build "$build" -j "$jobs" -- -k 0 || build_status=$?

# One Wine prefix per build folder, made once; Wine's first-run installers (Mono, Gecko) are not wanted.
export WINEPREFIX="$root/$build/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
wine=$(command -v wine64 || true)
[ -n "$wine" ] || wine=/usr/lib/wine/wine64
[ -x "$wine" ] || wine=$(command -v wine)
# A server left running on this prefix by an interrupted earlier run is ours to stop.
wineserver -k >/dev/null 2>&1 || true
wineserver -w
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "windows-tests: creating the Wine prefix $WINEPREFIX" >&2
  wineboot --init >/dev/null 2>&1
  wineserver -w  # the prefix is complete once its server has written the registry and exited
fi

# A persistent Wine server for the whole run, warmed up once: otherwise every test pays Wine's start-up and
# CTest can hang waiting for a server that lingers after the last program.
wineserver -p
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
"$wine" cmd /c exit 0 >/dev/null 2>&1 || true

test_status=0
ctest --test-dir "$build" -j "$jobs" --output-on-failure --timeout 900 || test_status=$?
if [ "$build_status" -ne 0 ]; then
  echo "windows-tests: the Windows build failed (see above); tests of the targets that built were run" >&2
  exit "$build_status"
fi
exit "$test_status"
