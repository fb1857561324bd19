#!/usr/bin/env bash
# Builds the release in fresh build trees and checks it: dist/Ostrevane-x64.exe (mingw-w64,
# the primary x64 build), dist/Ostrevane-arm64.exe (Zig) and dist/SHA256SUMS. Nothing of an
# earlier build is reused; exits non-zero when a build or a check fails, or a program has
# grown to 256 KiB.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh

work=$(mktemp -d "${TMPDIR:-/tmp}/ostrevane-release.XXXXXX")
trap 'rm -rf "$work"' EXIT

# The programs only, optimised, with the toolchain file that names the compiler and machine.
build() {
  local name=$1 toolchain=$2
  cmake -S . -B "$work/$name" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DOSTREVANE_BUILD_TESTS=OFF
  cmake --build "$work/$name" --target Ostrevane -j"$(nproc)"
}
build x64 toolchain-mingw-x64.cmake
build arm64 toolchain-zig-arm64.cmake

rm -rf dist
mkdir dist
cp "$work/x64/src/Ostrevane.exe" dist/Ostrevane-x64.exe
cp "$work/arm64/src/Ostrevane.exe" dist/Ostrevane-arm64.exe
(cd dist && sha256sum Ostrevane-x64.exe Ostrevane-arm64.exe >SHA256SUMS)

echo
scripts/check-release.sh dist/Ostrevane-x64.exe AMD64 dist/Ostrevane-arm64.exe ARM64
# A technician carries the program on whatever stick is at hand: each stays under 256 KiB.
for program in dist/Ostrevane-x64.exe dist/Ostrevane-arm64.exe; do
  size=$(stat -c %s "$program")
  if [ "$size" -ge $((256 * 1024)) ]; then
    echo "$program is $size bytes, over 256 KiB" >&2
    exit 1
  fi
done
echo
source=$(git describe --always --dirty 2>/dev/null || echo "a tree outside git")
echo "Release of $source in dist/:"
cat dist/SHA256SUMS
