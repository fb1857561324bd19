#!/usr/bin/env bash
# The demo build (the real program over fake drives made from real drives' SMART pages, the
# second of them predicting failure) as a person sees it, with a row selected: Health cells green
# for good drives, red for failing ones and amber for drives to watch, the selected row white on
# blue, the window widened to show every column and the drives in USB enclosures listed by their
# own identities (in the list's copy); then the details window of the drive that predicts its failure, opened with a double
# click and closed with Escape.
# Usage: e2e_demo.sh OstrevaneDemo.exe WINE_RUN_SCRIPT SCREENSHOT.png
# (the details window's screenshot goes beside it, SCREENSHOT-details.png, the surface scan
# window's after a finished scan of the failing drive, SCREENSHOT-scan.png, and its Files list,
# SCREENSHOT-files.png)
set -euo pipefail
exe=$1 wine_run=$2 shot=$3
here=$(dirname "$0")
# shellcheck source=x11.sh
source "$here/x11.sh"
mkdir -p "$(dirname "$shot")"
X11_FAILURE_SHOT="${shot%.png}-failure.png"
details_shot="${shot%.png}-details.png"
scan_shot="${shot%.png}-scan.png"
files_shot="${shot%.png}-files.png"

trap 'x11_end_app; x11_stop' EXIT

# The selection's blue, whether the list has the focus or not.
selected=0078D7

x11_start
x11_launch "$wine_run" "$exe"
main=$(x11_wait_window "Ostrevane \\(x64/ARM64\\)" 90 "$X11_APP_PID") || fail "the demo window did not appear"
sleep 2

# Created at 800 pixels, the window widens to its columns, the Volumes column last, and stays on
# the 1280-pixel screen.
x11_geometry "$main"
[ "$X11_WIDTH" -gt 800 ] && [ $((X11_X + X11_WIDTH)) -le 1280 ] ||
  fail "main window of $X11_WIDTH pixels at x = $X11_X: not widened to its columns on the screen"
echo "ok: the main window widened to $X11_WIDTH pixels for its columns"

# The rows of the highlight band down the Model column of the screenshot, or nothing.
selected_band() {
  convert "$shot" -crop 1x300+120+0 +repage txt:- |
    awk -v selected="$selected" 'NR > 1 { split($1, p, "[,:]"); hex = substr($3, 2, 6);
         if (hex == selected) { if (top == "") top = p[2]; bottom = p[2] } }
         END { if (top != "") print top, bottom }'
}

# Rows start below the header; select the third (drive 2, a good drive). A click that lands
# before Wine routes input to the window is lost: click again then.
row_height=14 row0_y=37 band=""
for _ in 1 2 3 4 5 6 7 8 9 10; do
  x11_click "$main" 100 $((row0_y + 2 * row_height))
  sleep 0.5
  x11_shot "$main" "$shot"
  band=$(selected_band)
  [ -n "$band" ] && break
done
echo "screenshot: $shot"
[ -n "$band" ] || fail "no row in the selection's blue ($selected)"
read -r top bottom <<<"$band"
# A row is the band plus the line of the focus outline below it, when Wine draws one.
height=$((bottom - top + 1))
[ "$(x11_pixel "$shot" 30 $((bottom + 1)))" == 282828 ] || height=$((height + 1))
[ $height -ge 10 ] && [ $height -le 24 ] || fail "selected band of $height pixels"
echo "ok: selected row highlighted in $selected, rows $height pixels high"

# Ctrl+C in the list copies it: drives 6 (SATA in a USB dock) and 7 (NVMe in a Realtek enclosure)
# by the model, serial number and firmware on their own labels, not their bridges'. A key that
# went to another window is pressed again after a click on the row.
copied=""
for _ in 1 2 3 4 5 6; do
  xdotool key ctrl+c
  sleep 0.5
  copied=$(xclip -o -selection clipboard 2>/dev/null | tr -d '\r' || true)
  [ -n "$copied" ] && break
  x11_click "$main" 100 $((row0_y + 2 * row_height))
done
grep -q $'^6\tMaxtor 6Y120P0\tY3NJWLDE\tYAR41BW0\t' <<<"$copied" || fail "drive 6 not by its drive's identity: $copied"
grep -q $'^7\tSamsung SSD 970 EVO 500GB\tS466NX0K712345A\t2B2QEXE7\t' <<<"$copied" ||
  fail "drive 7 not by its drive's identity: $copied"
echo "ok: the drives in USB enclosures listed by their own identities"

# The columns are as wide as their texts, so the Health column is found by its colour: the
# leftmost green pixel of row 3, a good drive's Health cell. The verdicts are the details':
# rows 3 and 5 good, rows 0 and 1 failing (row 1 predicts its failure), rows 4 and 6 to watch,
# and row 7 too, the NVMe drive in its USB enclosure, whose log is read through the bridge.
leftmost() {
  convert "$shot" -crop "$(identify -format %w "$shot")x$2+0+$1" +repage txt:- |
    awk -v want="$3" 'NR > 1 { split($1, p, "[,:]"); if (toupper(substr($3, 2, 6)) == want && (min == "" || p[1] < min)) min = p[1] }
         END { if (min != "") print min }'
}
health_left=$(leftmost $((top + height)) "$height" 00C800)
[ -n "$health_left" ] || fail "row 3: no green Health cell"
# Wide enough for "Caution / Bad"; the cells right of it are light, never green, amber or red.
health_x=$((health_left - 2)) health_w=90
echo "Health column found at x = $health_x"
row_y() { echo $((top + ($1 - 2) * height)); }
health_is() { [ "$(x11_count "$shot" $health_x "$(row_y "$1")" $health_w "$height" "$2")" -gt 10 ]; }
for row in 3 5; do
  health_is $row 00C800 || fail "row $row: Health not green"
done
echo "ok: green Health cells for the good drives"
for row in 0 1; do
  health_is $row FF3232 || fail "row $row: Health not red"
  ! health_is $row 00C800 || fail "row $row: Health green"
done
echo "ok: red Health cells for the failing drives"
for row in 4 6 7; do
  health_is $row FFB400 || fail "row $row: Health not amber"
done
echo "ok: amber Health cells for the drives to watch"
[ "$(x11_count "$shot" 14 "$top" 700 "$height" "$selected")" -gt $((700 * height / 2)) ] || fail "selected row not filled"
echo "ok: the selected row is highlighted across the list"

# The details of the drive that predicts failure: its assessment red in the text above the
# table, the dark theme around it. Real key presses close it: Shift+Tab from the table goes
# back to Close, and Enter presses it; opened again, Space presses Close too.
x11_double_click "$main" 100 $((top - height + height / 2))
details=$(x11_wait_window "Drive Details" 30 "$X11_APP_PID") || fail "no details window after a double click on row 1"
sleep 1
x11_shot "$details" "$details_shot"
echo "screenshot: $details_shot"
x11_geometry "$details"
[ "$(x11_count "$details_shot" 0 0 "$X11_WIDTH" 200 FF3232)" -gt 10 ] || fail "details: no red assessment"
[ "$(x11_pixel "$details_shot" $((X11_WIDTH - 6)) $((X11_HEIGHT - 6)))" == 1E1E1E ] || fail "details: background"
[ "$(x11_count "$details_shot" 0 200 "$X11_WIDTH" $((X11_HEIGHT - 300)) 282828)" -gt 10000 ] || fail "details: no table"
echo "ok: the details window of the failing drive, its assessment red"
# Its own logs under the table, the failed self-tests in red: the list between the table and the
# partitions holds red rows.
[ "$(x11_count "$details_shot" 0 $((X11_HEIGHT - 330)) "$X11_WIDTH" 200 FF3232)" -gt 100 ] ||
  fail "details: no red rows of failed self-tests below the table"
# Ctrl+C copies the whole view: "Failing" for the failed extended self-test, the self-tests and
# the errors the drive logged, newest first.
details_copy=""
for _ in 1 2 3 4 5 6; do
  xdotool key ctrl+c
  sleep 0.5
  details_copy=$(xclip -o -selection clipboard 2>/dev/null | tr -d '\r' || true)
  grep -q '^Self-tests$' <<<"$details_copy" && break
  x11_click "$details" 100 $((X11_HEIGHT / 2))
done
for line in $'Assessment\tFailing' \
  $'Reason\tSelf-test #1 (extended) ended in a read failure at LBA 61000013, at hour 7301' \
  $'Reason\tThe drive logged 14 errors; the newest, at hour 7301: uncorrectable read at LBA 61000013' \
  $'1\tExtended\tCompleted: read failure\t90 %\t7301\t61000013' \
  $'3\tExtended\tCompleted: read failure\t60 %\t7105\t350000123' \
  $'Error Count\t14' $'14\t7301\tREAD DMA EXT\tuncorrectable\t61000013'; do
  grep -qxF "$line" <<<"$details_copy" || fail "details copy without the line \"$line\": $details_copy"
done
echo "ok: the failing drive's self-tests and errors in its details, \"Failing\" for the failed self-test"
# A click on the table gives it the focus again before a repeated attempt.
table_y=$((X11_HEIGHT / 2))
x11_key_until_gone "$details" "Drive Details" "shift+Tab Return" 100 $table_y || fail "Shift+Tab, Enter did not close the details"
echo "ok: Shift+Tab then Enter presses Close in the details window"
details=""
for _ in 1 2 3 4 5 6; do
  x11_double_click "$main" 100 $((top - height + height / 2))
  details=$(x11_wait_window "Drive Details" 5 "$X11_APP_PID") && break
done
[ -n "$details" ] || fail "no details window after a second double click on row 1"
sleep 1
x11_key_until_gone "$details" "Drive Details" "shift+Tab space" 100 $table_y || fail "Shift+Tab, Space did not close the details"
echo "ok: Space presses the focused button"

# The surface scan of the failing drive (still selected): "Surface Scan", then Start; the scan of
# the whole simulated drive takes no real time. Its map shows the unreadable blocks in red and
# the slow ones in their classes' colours, and the progress bar is full.
x11_geometry "$main"
x11_click "$main" 560 $((X11_HEIGHT - 40))
scan=$(x11_wait_window "Surface Scan - Drive 1" 30 "$X11_APP_PID") || fail "no scan window after Surface Scan"
sleep 1
x11_geometry "$scan"
scan_width=$X11_WIDTH scan_height=$X11_HEIGHT
progress_end_x=$((scan_width - 12)) progress_y=134
# A click that lands before Wine routes input to the new window is lost: click again then, but
# never once the bar has begun to fill, which would stop the scan.
started="" finished=""
for _ in 1 2 3 4 5 6; do
  x11_click "$scan" 85 $((scan_height - 40))
  sleep 2
  x11_shot "$scan" "$scan_shot"
  if [ "$(x11_pixel "$scan_shot" 11 $progress_y)" == "$selected" ]; then started=1; break; fi
done
[ -n "$started" ] || fail "Start did not start the scan"
for _ in $(seq 1 120); do
  x11_shot "$scan" "$scan_shot"
  if [ "$(x11_pixel "$scan_shot" $progress_end_x $progress_y)" == "$selected" ]; then finished=1; break; fi
  sleep 0.5
done
echo "screenshot: $scan_shot"
[ -n "$finished" ] || fail "the scan of drive 1 did not finish"
map_top=152
map_height=$(((scan_height - 80 - map_top) * 11 / 20))
[ "$(x11_count "$scan_shot" 10 $map_top $((scan_width - 280)) $map_height FF3232)" -ge 4 ] || fail "scan: no unreadable cells"
[ "$(x11_count "$scan_shot" 10 $map_top $((scan_width - 280)) $map_height FF6000)" -ge 1 ] || fail "scan: no cell over 500 ms"
[ "$(x11_count "$scan_shot" 10 $map_top $((scan_width - 280)) $map_height 3C8C3C)" -gt 1000 ] || fail "scan: no fast cells"
echo "ok: the scan of the failing drive finished, its unreadable and slow blocks on the map"

# "Find Files" names what lies on the unreadable ranges, read from the failing drive's NTFS
# volumes (made by mkntfs and ntfscp at build time, each file placed on a range): the Files list
# takes the plot's place, and Copy carries it after the result.
buttons_y=$((scan_height - 40))
# Clicks the button at x = $1, then Copy, until the copy holds a line that `grep -q` finds $2 in;
# prints the copy.
button_then_copy() {
  local copy=""
  for _ in 1 2 3 4 5 6; do
    x11_click "$scan" "$1" $buttons_y
    sleep 2
    x11_click "$scan" 565 $buttons_y
    sleep 0.5
    copy=$(xclip -o -selection clipboard 2>/dev/null | tr -d '\r' || true)
    grep -q "$2" <<<"$copy" && break
  done
  printf '%s\n' "$copy"
}
files_copy=$(button_then_copy 405 'Thesis final.docx')
x11_click "$scan" 60 $((scan_height - 150))
sleep 0.5
x11_shot "$scan" "$files_shot"
echo "screenshot: $files_shot"
for line in $'60999936\t128\t1\tD:\tNTFS\t\\Thesis final.docx\t131072' \
  $'204800000\t128\t2\t-\tNTFS\t(free space)\t-' $'350000000\t384\t3\t-\tNTFS\t\\Accounts 2024.xlsx\t131072' \
  $'976773120\t48\t-\t-\t-\t(no partition)\t-'; do
  grep -qxF "$line" <<<"$files_copy" || fail "the copy after Find Files without the line \"$line\": $files_copy"
done
echo "ok: Find Files names the files on the failing drive's unreadable ranges"

# "Check Logged LBAs" re-reads only the blocks that hold the LBAs the drive's logs name: each of
# them inside an unreadable range of the demo surface, so each is still unreadable. Its copy
# lists them, one line each, with every log entry that names it.
scan_copy=$(button_then_copy 245 '^Logged LBA')
for line in $'Logged LBA\t61000013\tSelf-test #1, Error #14\tUnreadable' \
  $'Logged LBA\t204799999\tSelf-test #2, Error #13, Error #12\tUnreadable' \
  $'Logged LBA\t350000123\tSelf-test #3\tUnreadable' $'Result\tFinished'; do
  grep -qxF "$line" <<<"$scan_copy" || fail "the check's copy without the line \"$line\": $scan_copy"
done
echo "ok: Check Logged LBAs finds the failing drive's logged LBAs unreadable"
x11_key_until_gone "$scan" "Surface Scan - Drive 1" Escape $((scan_width - 20)) 20 || fail "Escape did not close the scan window"
echo "ok: Escape closes the scan window"

x11_close "$main"
x11_wait_app
[ "$X11_APP_STATUS" -eq 0 ] || fail "exit code $X11_APP_STATUS"
echo "ok: the demo closes with exit code 0"
