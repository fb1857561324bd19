#!/usr/bin/env bash
# The program as it ships, on a real failing drive of the rig (rig.sh runs this with the drive as
# \\.\PhysicalDrive0), used as a person would, and what it shows checked against the expectations
# in the drive's rules file (fields tab-separated):
#   list CELLS...     the list's copy (Ctrl+C) has a row holding these cells, side by side
#   scan LINE         the copy of a surface scan to its end: its lines of the labels that the scan
#                     lines name (Capacity, Result, Blocks ..., Unreadable) are exactly the scan
#                     lines, in their order
#   read TITLE TEXT   Run Read Test shows, in this order, boxes titled TITLE whose message matches
#                     the regular expression TEXT
# A drive with a hang rule is the hanging read's case: Stop, Close and closing the main window
# while the read hangs are each answered at once, and everything ends once the read is let go.
# Usage: realdev_test.sh Ostrevane.exe RULES WINE_RUN_SCRIPT OUTPUT_DIR
set -euo pipefail
exe=$1 rules=$2 wine_run=$3 out=$4
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../e2e/x11.sh
source "$here/../e2e/x11.sh"
mkdir -p "$out"
X11_FAILURE_SHOT="$out/failure.png"
# Wine's own processes hold on to the display: they end before it.
trap 'x11_end_app; (source "$here/../../scripts/wine-env.sh" && wineserver -k); x11_stop' EXIT

expected() { sed -n "s/^$1\t//p" "$rules"; }
clipboard() { xclip -selection clipboard -o 2>/dev/null | tr -d '\r' || true; }
# Presses Ctrl+C in window $1 (after a click at its point ($2, $3) to bring it forward) until the
# clipboard holds a text in which `grep -Eq` finds $4; prints that text.
copy_of() {
  local text attempt
  for attempt in $(seq 20); do
    xdotool key ctrl+c
    sleep 0.5
    text=$(clipboard)
    if grep -Eq -- "$4" <<<"$text"; then printf '%s\n' "$text"; return 0; fi
    [ $((attempt % 4)) -ne 0 ] || x11_click "$1" "$2" "$3"
  done
  echo "no copy matching '$4' from window $1; the clipboard holds: $text" >&2
  return 1
}
# Ends with 0 when the window titled $1 answers a message within two seconds.
answers() { "$wine_run" "$RIG_TOOLS/rigread.exe" answers "$1" >/dev/null 2>&1; }
hangs() { grep -c '^hanging at' "$RIG_DIR/0/fs.log" || true; }
wait_hangs() { # until the file server has seen $1 hanging reads, for up to $2 seconds
  local ticks=0
  while [ "$(hangs)" -lt "$1" ]; do
    [ $ticks -lt $(($2 * 5)) ] || return 1
    sleep 0.2
    ticks=$((ticks + 1))
  done
}
release() { kill -USR1 "$(cat "$RIG_DIR/0/fs.pid")"; }

x11_start
x11_launch "$wine_run" "$exe"
main=$(x11_wait_window "Ostrevane \\(x64/ARM64\\)" 90 "$X11_APP_PID") || fail "the main window did not appear"
sleep 2
x11_geometry "$main"
buttons_y=$((X11_HEIGHT - 40)) row0_y=37
x11_click "$main" 100 $row0_y

while IFS= read -r cells; do
  list=$(copy_of "$main" 100 $row0_y "^Drive") || fail "the list could not be copied"
  printf '%s\n' "$list" >"$out/list.txt"
  grep -qF -- "$cells" <<<"$list" || fail "the list has no row with '$cells':"$'\n'"$list"
  echo "ok: the list shows '$cells'"
done < <(expected list)

# Opens the surface scan window of drive 0 (still selected) and sets scan, scan_width, scan_height.
open_scan() {
  x11_click "$main" 560 $buttons_y
  scan=$(x11_wait_window "Surface Scan - Drive 0" 30 "$X11_APP_PID") || fail "no scan window after Surface Scan"
  sleep 1
  x11_geometry "$scan"
  scan_width=$X11_WIDTH scan_height=$X11_HEIGHT
}
# The scan's copy once its result is $1 (an extended regular expression).
scan_result() { copy_of "$scan" 20 20 "^Result	($1)\$"; }

if [ -n "$(expected scan)" ]; then
  open_scan
  x11_click "$scan" 85 $((scan_height - 40))
  # A click that lands before Wine routes input to the new window is lost: Start again then.
  scan_result "Running|Finished|Stopped.*|The drive.*" >/dev/null || {
    x11_click "$scan" 85 $((scan_height - 40))
    scan_result "Running|Finished|Stopped.*|The drive.*" >/dev/null
  } || fail "Start did not start the scan"
  for _ in $(seq 60); do
    copy=$(scan_result "[^R].*|R[^u].*") && break
  done
  [ -n "${copy:-}" ] || fail "the scan did not end"
  x11_shot "$scan" "$out/scan.png"
  printf '%s\n' "$copy" >"$out/scan.txt"
  got=$(awk -F'\t' 'NR == FNR { named[$1] = 1; next } named[$1]' <(expected scan) - <<<"$copy")
  [ "$got" == "$(expected scan)" ] || fail "the scan's result is not what the rules imply:"$'\n'"$(diff <(expected scan) <(printf '%s\n' "$got"))"
  echo "ok: the scan's result, its classes and unreadable ranges, as the rules imply ($(sed -n 's/^Average\t//p' <<<"$copy") MB/s)"
  x11_key_until_gone "$scan" "Surface Scan - Drive 0" Escape $((scan_width - 20)) 20 || fail "Escape did not close the scan window"
fi

if [ -n "$(expected read)" ]; then
  x11_click "$main" 100 $row0_y
  x11_click "$main" 245 $buttons_y
  while IFS=$'\t' read -r title text; do
    box=$(x11_wait_window "$title" 120 "$X11_APP_PID") || fail "no box titled '$title'"
    shown=$("$wine_run" "$RIG_TOOLS/rigread.exe" text "$title" 2>/dev/null | tr -d '\r')
    grep -Eq -- "$text" <<<"$shown" || fail "the box '$title' does not say '$text' but: $shown"
    echo "ok: '$title': $(grep -E -- "$text" <<<"$shown")"
    x11_dismiss "$box" "$title"
  done < <(expected read)
fi

# A running scan is not thrown away unasked: the box says what is lost, and Y answers Yes.
confirm_stop() {
  local box shown
  box=$(x11_wait_window "Surface Scan" 10 "$X11_APP_PID") || fail "closing a running scan asked nothing"
  shown=$("$wine_run" "$RIG_TOOLS/rigread.exe" text "Surface Scan" 2>/dev/null | tr -d '\r')
  grep -q "Stop the scan and close this window? The result so far will be lost unless you copy it." <<<"$shown" ||
    fail "the box on closing a running scan says: $shown"
  x11_key_until_gone "$box" "Surface Scan" y 20 20 || fail "Yes did not close the box"
}

if grep -q '^hang' "$rules"; then
  open_scan
  start_x=85 close_x=725 buttons=$((scan_height - 40))
  x11_click "$scan" $start_x $buttons
  wait_hangs 1 10 || { x11_click "$scan" $start_x $buttons; wait_hangs 1 30; } || fail "the scan never reached the hanging read"
  sleep 1
  x11_shot "$scan" "$out/hang-before-stop.png"
  x11_click "$scan" $start_x $buttons
  answers "Surface Scan - Drive 0" || fail "the scan window does not answer after Stop in a hanging read"
  answers "Ostrevane (x64/ARM64)" || fail "the main window does not answer after Stop in a hanging read"
  x11_shot "$scan" "$out/hang-after-stop.png"
  changed=$(compare -metric AE "$out/hang-before-stop.png" "$out/hang-after-stop.png" null: 2>&1 || true)
  [ "${changed%% *}" -gt 100 ] || fail "the scan window shows nothing new after Stop in a hanging read"
  echo "ok: Stop in a hanging read is answered at once, the window shows it"
  release
  scan_result "Stopped" >/dev/null || fail "the scan did not end as Stopped once the read was let go"
  echo "ok: once the read is let go, the scan ends as Stopped"

  x11_click "$scan" $start_x $buttons
  wait_hangs 2 30 || fail "the second scan never reached the hanging read"
  x11_click "$scan" $close_x $buttons
  confirm_stop
  answers "Ostrevane (x64/ARM64)" || fail "the main window does not answer after Close in a hanging read"
  release
  x11_wait_gone "Surface Scan - Drive 0" 10 || fail "the scan window stays after Close once the read is let go"
  echo "ok: Close in a hanging read is answered at once, the window goes when the read ends"

  open_scan
  x11_click "$scan" $start_x $buttons
  wait_hangs 3 30 || fail "the third scan never reached the hanging read"
  x11_close "$main"
  confirm_stop
  # Wine without a window manager waits up to 2 s for each window to be withdrawn; the read
  # still hangs all the while, so windows gone by then did not wait for it.
  x11_wait_gone "Ostrevane \\(x64/ARM64\\)" 5 && x11_wait_gone "Surface Scan - Drive 0" 5 ||
    fail "the windows stay after the main window is closed in a hanging read"
  echo "ok: closing the main window in a hanging read closes the windows at once"
  # The read is never let go here: the program gives up waiting for it and ends by itself.
else
  x11_close "$main"
fi
for _ in $(seq 150); do kill -0 "$X11_APP_PID" 2>/dev/null || break; sleep 0.1; done
kill -0 "$X11_APP_PID" 2>/dev/null && fail "the program still runs 15 s after its main window was closed"
grep -q '^hang' "$rules" && release
x11_wait_app
[ "$X11_APP_STATUS" -eq 0 ] || fail "exit code $X11_APP_STATUS"
echo "ok: the program ends with exit code 0"
