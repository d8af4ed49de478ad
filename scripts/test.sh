#!/usr/bin/env bash
# Sets the machine up, builds every configuration and runs every test: the one command CI runs.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
jobs=$(nproc)

echo "== dev build and tests"
cmake --preset dev >/dev/null
cmake --build --preset dev -j "$jobs"
ctest --preset dev -j "$jobs"

echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
cmake --preset asan-ubsan >/dev/null
cmake --build --preset asan-ubsan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --preset asan-ubsan -j "$jobs"

echo "== ThreadSanitizer: frames rendered on several threads at once"
cmake --preset tsan >/dev/null
cmake --build --preset tsan -j "$jobs"
ctest --preset tsan

echo "== Windows x64: Vellumbra.aex and the tests, cross-built with mingw-w64 and run under Wine"
bash scripts/windows-tests.sh build/windows
