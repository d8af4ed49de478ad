#!/usr/bin/env bash
# Builds both deliverables in release form and packs them with the install note into one archive:
# build/dist/Vellumbra-<version>.zip holding Vellumbra.aex, Vellumbra.plugin/ and INSTALL.txt.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(nproc)

bash scripts/setup.sh

# macOS bundle: from a native release configuration of its own, which cross-compiles the bundle with clang
# and ld64.lld (tests and tools are not needed for it).
mac_build=build/macos-release
cmake -S . -B "$mac_build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DVELLUMBRA_BUILD_TESTS=OFF -DVELLUMBRA_BUILD_CLI=OFF -DVELLUMBRA_BUILD_BENCH=OFF >/dev/null
cmake --build "$mac_build" --target vellumbra_macos_bundle -j "$jobs"
bundle=$mac_build/macos/Vellumbra.plugin

# Windows module: a release cross build of the plug-in alone.
win_build=build/windows-release
cmake -S . -B "$win_build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/mingw-w64-x86_64.cmake" \
  -DVELLUMBRA_BUILD_TESTS=OFF -DVELLUMBRA_BUILD_CLI=OFF -DVELLUMBRA_BUILD_BENCH=OFF >/dev/null
cmake --build "$win_build" --target Vellumbra -j "$jobs"
aex=$win_build/bin/Vellumbra.aex

# The version, as the bundle's Info.plist states it from the effect's identity.
version=$(sed -n '/<key>CFBundleShortVersionString<\/key>/{n;s/.*<string>\(.*\)<\/string>.*/\1/p}' \
  "$bundle/Contents/Info.plist")
[ -n "$version" ] || { echo "package: no version in $bundle/Contents/Info.plist" >&2; exit 1; }

stage=build/package/Vellumbra-$version
rm -rf "$stage"
mkdir -p "$stage" build/dist
cp -R "$bundle" "$stage/"
cp "$aex" "$stage/"
x86_64-w64-mingw32-strip --strip-unneeded "$stage/Vellumbra.aex"
cp resources/INSTALL.txt "$stage/"

archive=$root/build/dist/Vellumbra-$version.zip
rm -f "$archive"
(cd build/package && cmake -E tar cf "$archive" --format=zip "Vellumbra-$version")
echo "package: $archive"
(cd build/package && find "Vellumbra-$version" -type f | sort | while read -r f; do
  printf '  %8d  %s\n' "$(stat -c %s "$f")" "$f"
done)
