#!/usr/bin/env bash
# Installs what is missing, builds the native (sanitized) and the Windows trees, and runs
# every test: the native ones directly and the Windows ones under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh

build_dir="${OSTREVANE_BUILD_DIR:-build}"
CC=clang CXX=clang++ cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Debug
cmake --build "$build_dir" -j"$(nproc)"
ctest --test-dir "$build_dir" --output-on-failure --timeout 900 -j"$(nproc)"
