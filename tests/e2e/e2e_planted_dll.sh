#!/usr/bin/env bash
# The program runs elevated from wherever it was copied, so a DLL that someone left beside it
# must never load. A DLL that marks its loading is planted beside a copy of the program under
# the name of each DLL given, and Wine is told to prefer a DLL found beside the program to its
# own, as Windows' search order does for every DLL that is neither a known DLL nor an API set.
# No mark may appear, and the program must still come up with its window and its list.
# Usage: e2e_planted_dll.sh Ostrevane.exe PLANTED.dll WINE_RUN_SCRIPT OUTPUT_DIR DLL_NAME...
set -euo pipefail
exe=$1 planted=$2 wine_run=$3 out=$4
shift 4
here=$(dirname "$0")
# shellcheck source=x11.sh
source "$here/x11.sh"
rm -rf "$out"
mkdir -p "$out/program" "$out/marks"
X11_FAILURE_SHOT="$out/failure.png"

cp "$exe" "$out/program/Ostrevane.exe"
overrides=""
for name in "$@"; do
  cp "$planted" "$out/program/$name.dll"
  overrides+="${overrides:+;}$name=n,b"
done
export WINEDLLOVERRIDES=$overrides
# Under Wine the Unix root is drive Z:.
export OSTREVANE_PLANTED_MARKS="Z:$out/marks"

trap 'x11_end_app; x11_stop' EXIT
x11_start
x11_launch "$wine_run" "$out/program/Ostrevane.exe"
main="" list=""
if main=$(x11_wait_window "Ostrevane \\(x64/ARM64\\)" 90 "$X11_APP_PID"); then
  sleep 2
  x11_shot "$main" "$out/window.png"
  x11_geometry "$main"
  # The list's background, which only a list view made by the common controls paints.
  list=$(x11_pixel "$out/window.png" $((X11_WIDTH / 2)) $((X11_HEIGHT - 90)))
  x11_close "$main"
  x11_wait_app
else
  x11_end_app
fi

loaded=$(ls "$out/marks")
[ -z "$loaded" ] || fail "planted DLLs loaded: $(paste -sd ' ' <<<"$loaded")"
echo "ok: no planted DLL loaded ($*)"
[ -n "$main" ] || fail "the main window did not appear"
[ "$list" == 282828 ] || fail "no drive list: its place is $list, not 282828"
[ "$X11_APP_STATUS" -eq 0 ] || fail "exit code $X11_APP_STATUS"
echo "ok: window \"Ostrevane (x64/ARM64)\" came up with its list and closed with exit code 0"
