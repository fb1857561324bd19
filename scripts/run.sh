#!/usr/bin/env bash
# Installs what is missing, builds Ostrevane.exe for x64 and starts it under Wine. With no
# display to show it on, it runs on an Xvfb display of its own, saves a screenshot of the
# window, closes it, and ends by saying where the screenshot is.
#   scripts/run.sh --demo   the same with the demo build: the program's windows over fake drives
#                           made from the real drives' pages beside the project, since under
#                           Wine the real program sees one drive that answers almost nothing.
#   scripts/run.sh --device FILE
#                           the program with FILE, a disk image or a rules file (NAME.rules, see
#                           tests/realdev/rig.sh), as a real drive 0 through the real-device rig
#                           (needs root, /dev/fuse and loop devices).
set -euo pipefail
cd "$(dirname "$0")/.."

device=""
case "${1:-}" in
  "") demo=false ;;
  --demo) demo=true ;;
  --device) demo=false device=$(realpath "${2:?scripts/run.sh --device FILE}") ;;
  *) echo "usage: scripts/run.sh [--demo | --device FILE]" >&2; exit 2 ;;
esac

scripts/setup.sh

if $demo; then
  # The demo's drives are the tests' fake kernel, so the tests' tree is configured too.
  build_dir="${OSTREVANE_RUN_BUILD_DIR:-build-run-demo}"
  build_tests=ON target=OstrevaneDemo program=tests/windows/demo/OstrevaneDemo.exe
else
  build_dir="${OSTREVANE_RUN_BUILD_DIR:-build-run}"
  build_tests=OFF target=Ostrevane program=src/Ostrevane.exe
fi
cmake -S . -B "$build_dir" -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-x64.cmake -DCMAKE_BUILD_TYPE=Release \
  -DOSTREVANE_BUILD_TESTS=$build_tests
cmake --build "$build_dir" -j"$(nproc)" --target "$target"
build_dir=$(cd "$build_dir" && pwd)
exe="$build_dir/$program"
echo "Built $exe"

if [ -n "$device" ] && [ -z "${RIG_DIR:-}" ]; then
  export OSTREVANE_RIG_BUILD_DIR="$build_dir/rig"
  exec tests/realdev/rig.sh "$device" -- env OSTREVANE_RUN_BUILD_DIR="$build_dir" "$0" --device "$device"
fi
if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then
  exec scripts/wine-run.sh "$exe"
fi

# shellcheck source=../tests/e2e/x11.sh
source tests/e2e/x11.sh
trap 'x11_end_app; x11_stop' EXIT
x11_start
x11_launch scripts/wine-run.sh "$exe"
main=$(x11_wait_window "Ostrevane \\(x64/ARM64\\)" 120 "$X11_APP_PID")
sleep 2
shot="$build_dir/screenshot.png"
x11_shot "$main" "$shot"
x11_close "$main"
x11_wait_app
# Wine's own processes, its desktop among them, hold on to the display after the program ends
# and report its loss when Xvfb goes first. So Wine ends first: waited for rather than killed,
# since a test running meanwhile in the same prefix would be killed with it.
(source scripts/wine-env.sh && wineserver -w)
echo "No display: ran $(basename "$exe") on Xvfb; screenshot saved to $shot"
exit "$X11_APP_STATUS"
