#!/usr/bin/env bash
# The demo build (the real program over fake drives made from real drives' SMART pages, the
# second of them predicting failure) as a person sees it, with a row selected: green Health
# cells for good drives, a red one for the failing drive, the selected row highlighted. Wine
# paints a selected row in the system highlight colour, whatever custom drawing answers; on
# Windows 10 and 11 that is the same blue, so either is accepted.
# Usage: e2e_demo.sh OstrevaneDemo.exe WINE_RUN_SCRIPT SCREENSHOT.png
set -euo pipefail
exe=$1 wine_run=$2 shot=$3
here=$(dirname "$0")
# shellcheck source=x11.sh
source "$here/x11.sh"
mkdir -p "$(dirname "$shot")"
X11_FAILURE_SHOT="${shot%.png}-failure.png"

trap 'x11_end_app; x11_stop' EXIT

# The selection colours accepted: the blue of the custom drawing, and Wine's highlight.
prefix=$(source "$(dirname "$wine_run")/wine-env.sh" && echo "$WINEPREFIX")
highlight=$(awk '/^\[Control Panel\\\\Colors\]/ { on = 1; next } /^\[/ { on = 0 }
                 on && /^"Hilight"=/ { gsub(/"/, "", $0); split($0, v, "="); split(v[2], c, " ");
                                      printf "%02X%02X%02X", c[1], c[2], c[3] }' "$prefix/user.reg" 2>/dev/null || true)
accepted="0078D7 ${highlight}"

x11_start
x11_launch "$wine_run" "$exe"
main=$(x11_wait_window "Ostrevane \\(x64/ARM64\\)" 90 "$X11_APP_PID") || fail "the demo window did not appear"
sleep 2

# The rows of the highlight band down the Model column of the screenshot, or nothing.
selected_band() {
  convert "$shot" -crop 1x300+120+0 +repage txt:- |
    awk -v accepted="$accepted" 'NR > 1 { split($1, p, "[,:]"); hex = substr($3, 2, 6);
         if (index(accepted, hex) > 0) { if (top == "") top = p[2]; bottom = p[2] } }
         END { if (top != "") print top, bottom }'
}

# Rows start below the header; select the third (drive 2, a good drive). A list that has
# lost the focus to another program's window shows its selection grey: click again then.
row_height=14 row0_y=37 band=""
for _ in 1 2 3 4 5 6 7 8 9 10; do
  x11_click "$main" 100 $((row0_y + 2 * row_height))
  sleep 0.5
  x11_shot "$main" "$shot"
  band=$(selected_band)
  [ -n "$band" ] && break
done
echo "screenshot: $shot"
[ -n "$band" ] || fail "no row in a selection colour ($accepted)"
read -r top bottom <<<"$band"
colour=$(x11_pixel "$shot" 300 $((top + 1)))
# A row is the band plus the line of the focus outline below it, when Wine draws one.
height=$((bottom - top + 1))
[ "$(x11_pixel "$shot" 30 $((bottom + 1)))" == 282828 ] || height=$((height + 1))
[ $height -ge 10 ] && [ $height -le 24 ] || fail "selected band of $height pixels"
echo "ok: selected row highlighted in $colour, rows $height pixels high"

# Health is column 5: 10 (list) + 2 (edge) + 40 + 150 + 100 + 70 + 70 = 442 from the left.
health_x=444 health_w=66
for row in 0 3 4; do
  y=$((top - (2 - row) * height))
  [ "$(x11_count "$shot" $health_x "$y" $health_w "$height" 00C800)" -gt 10 ] || fail "row $row: Health not green"
done
echo "ok: green Health cells for the good drives"
y=$((top - height))
[ "$(x11_count "$shot" $health_x "$y" $health_w "$height" FF3232)" -gt 10 ] || fail "row 1: Health not red"
[ "$(x11_count "$shot" $health_x "$y" $health_w "$height" 00C800)" -eq 0 ] || fail "row 1: Health green"
echo "ok: red Health cell for the drive that predicts failure"
[ "$(x11_count "$shot" 14 "$top" 700 "$height" "$colour")" -gt $((700 * height / 2)) ] || fail "selected row not filled"
echo "ok: the selected row is highlighted across the list"

x11_close "$main"
x11_wait_app
[ "$X11_APP_STATUS" -eq 0 ] || fail "exit code $X11_APP_STATUS"
echo "ok: the demo closes with exit code 0"
