#!/usr/bin/env bash
# Builds the release in fresh build trees and checks it: the window program and the console
# program beside it for x64 (mingw-w64, the primary x64 build) and ARM64 (Zig),
# dist/Ostrevane-x64.exe, dist/ostrevane-cli-x64.exe, dist/Ostrevane-arm64.exe and
# dist/ostrevane-cli-arm64.exe, and dist/SHA256SUMS. Nothing of an earlier build is reused; exits
# non-zero when a build or a check fails, or a program has grown past its limit (320 KiB for
# x64, 416 KiB for ARM64).
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
  cmake --build "$work/$name" --target Ostrevane ostrevane-cli -j"$(nproc)"
}
build x64 toolchain-mingw-x64.cmake
build arm64 toolchain-zig-arm64.cmake

rm -rf dist
mkdir dist
programs=()
for arch in x64 arm64; do
  for program in Ostrevane ostrevane-cli; do
    cp "$work/$arch/src/$program.exe" "dist/$program-$arch.exe"
    programs+=("$program-$arch.exe")
  done
done
(cd dist && sha256sum "${programs[@]}" >SHA256SUMS)

echo
scripts/check-release.sh dist/Ostrevane-x64.exe AMD64 dist/ostrevane-cli-x64.exe AMD64 \
  dist/Ostrevane-arm64.exe ARM64 dist/ostrevane-cli-arm64.exe ARM64
# A technician carries the programs on whatever stick is at hand: the x64 programs stay under
# 320 KiB, the file systems' readers and the RAID drivers' routes included. The ARM64 ones may be
# larger by their fixed-width instructions and Zig's C++ library, within 1.3 times that, 416 KiB.
for limit in "dist/Ostrevane-x64.exe 320" "dist/ostrevane-cli-x64.exe 320" "dist/Ostrevane-arm64.exe 416" \
  "dist/ostrevane-cli-arm64.exe 416"; do
  read -r program kib <<<"$limit"
  size=$(stat -c %s "$program")
  if [ "$size" -ge $((kib * 1024)) ]; then
    echo "$program is $size bytes, over $kib KiB" >&2
    exit 1
  fi
  echo "$program: $size bytes, under $kib KiB"
done
echo
source=$(git describe --always --dirty 2>/dev/null || echo "a tree outside git")
echo "Release of $source in dist/:"
cat dist/SHA256SUMS
