#!/usr/bin/env bash
# Uses the real Ostrevane.exe under Wine as a person would. Under Wine, \\.\PhysicalDrive0
# opens but its reads fail, so the list has drive 0's row and its read test fails.
# Usage: e2e_program.sh Ostrevane.exe WINE_RUN_SCRIPT OUTPUT_DIR
set -euo pipefail
exe=$1 wine_run=$2 out=$3
here=$(dirname "$0")
# shellcheck source=x11.sh
source "$here/x11.sh"
mkdir -p "$out"
X11_FAILURE_SHOT="$out/failure.png"

trap 'x11_end_app; x11_stop' EXIT
expect_pixel() { # image x y colour what
  local got
  got=$(x11_pixel "$1" "$2" "$3")
  [ "$got" == "$4" ] || fail "$5: pixel ($2, $3) is $got, not $4"
  echo "ok: $5 ($4)"
}

x11_start
x11_launch "$wine_run" "$exe"

main=$(x11_wait_window "Ostrevane \\(x64/ARM64\\)" 90 "$X11_APP_PID") || fail "the main window did not appear"
sleep 2
x11_shot "$main" "$out/program-start.png"
x11_geometry "$main"
width=$X11_WIDTH height=$X11_HEIGHT
echo "ok: window \"Ostrevane (x64/ARM64)\" ${width}x${height}"

# Window background beside the buttons and below them; the list's empty part.
expect_pixel "$out/program-start.png" $((width - 6)) $((height - 6)) 1E1E1E "window background"
expect_pixel "$out/program-start.png" 165 $((height - 40)) 1E1E1E "window background between the buttons"
expect_pixel "$out/program-start.png" $((width / 2)) $((height - 90)) 282828 "list background"

# Row 0 (drive 0) sits below the column header; row 1 is empty.
row0_y=37 row1_y=51
[ "$(x11_count "$out/program-start.png" 12 $((row0_y - 6)) 30 12 DCDCDC)" -gt 0 ] || fail "no row for drive 0"
[ "$(x11_count "$out/program-start.png" 12 $((row1_y - 6)) 400 12 282828)" -eq 4800 ] || fail "a second row"
echo "ok: one row, drive 0"

test_x=245 refresh_x=85 buttons_y=$((height - 40))

# Nothing selected: the information box.
x11_click "$main" $test_x $buttons_y
box=$(x11_wait_window "Information" 30) || fail "no Information box"
x11_dismiss "$box" "Information"
echo "ok: \"Run Read Test\" with nothing selected shows Information"

# Drive 0 selected: its reads fail, so the error box and then the result box.
# A click that lands while the window is still coming back from the last box selects nothing
# and earns the information box again: then it is tried once more.
for _ in 1 2 3; do
  x11_click "$main" 100 $row0_y
  x11_click "$main" $test_x $buttons_y
  box=$(x11_wait_window "(Error|Information)" 60) || fail "no Error box"
  [ "$(xdotool getwindowname "$box")" == "Information" ] || break
  echo "the row was not selected yet; again"
  x11_dismiss "$box" "Information"
done
[ "$(xdotool getwindowname "$box")" == "Error" ] || fail "no Error box"
x11_shot "$box" "$out/program-error.png"
x11_dismiss "$box" "Error"
box=$(x11_wait_window "Test Result" 30) || fail "no Test Result box after the Error box"
x11_dismiss "$box" "Test Result"
echo "ok: the read test of drive 0 shows Error, then Test Result"

# Refresh keeps the row, and adds none. (The row's colours follow the focus, which another
# Wine program running meanwhile may take, so the rows are compared by what they hold.)
rows_shown() { # image: "row0 row1", each "filled" or "empty"
  local state=""
  for y in $row0_y $row1_y; do
    if [ "$(x11_count "$1" 12 $((y - 6)) 400 12 282828)" -eq 4800 ]; then state+="empty "; else state+="filled "; fi
  done
  echo "$state"
}
x11_shot "$main" "$out/program-before-refresh.png"
[ "$(rows_shown "$out/program-before-refresh.png")" == "filled empty " ] || fail "rows before refresh"
x11_click "$main" $refresh_x $buttons_y
sleep 2
x11_shot "$main" "$out/program-after-refresh.png"
[ "$(rows_shown "$out/program-after-refresh.png")" == "filled empty " ] || fail "rows after refresh"
echo "ok: \"Refresh Drives\" keeps the row"

# Closing the window ends the process with exit code 0.
x11_close "$main"
x11_wait_app
[ "$X11_APP_STATUS" -eq 0 ] || fail "exit code $X11_APP_STATUS"
echo "ok: closing the window ends the program with exit code 0"
