# Helpers for driving a Windows program under Wine on an X display of its own, as a person
# would: find its windows, click, take screenshots and read their pixels, close them.
# Sourced by the end-to-end tests and by scripts/run.sh. The mouse and the window manager's
# close request do most: Wine sends key presses to the foreground thread of its desktop, which
# another Wine program running meanwhile may have taken, so a key is pressed until it works.

X11_HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

# Starts an Xvfb display of its own and exports DISPLAY; x11_stop ends it.
x11_start() {
  local fd_file
  fd_file=$(mktemp)
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$fd_file" >/dev/null 2>&1 &
  X11_XVFB_PID=$!
  local tries=0
  while [ ! -s "$fd_file" ] && [ $tries -lt 100 ]; do sleep 0.1; tries=$((tries + 1)); done
  DISPLAY=":$(head -n1 "$fd_file")"
  export DISPLAY
  rm -f "$fd_file"
}

x11_stop() {
  if [ -n "${X11_XVFB_PID:-}" ]; then kill "$X11_XVFB_PID" 2>/dev/null || true; fi
  X11_XVFB_PID=""
}

# Prints the id of the visible window titled exactly $1 (an extended regular expression),
# waiting up to $2 seconds (default 60), or less when process $3 ends first.
x11_wait_window() {
  local title=$1 limit=${2:-60} pid=${3:-} id="" waited=0
  while [ $waited -lt $((limit * 5)) ]; do
    id=$(xdotool search --onlyvisible --name "^${title}\$" 2>/dev/null | head -n1 || true)
    if [ -n "$id" ]; then echo "$id"; return 0; fi
    if [ -n "$pid" ] && ! kill -0 "$pid" 2>/dev/null; then
      echo "the program ended before a window titled '$title' appeared" >&2
      return 1
    fi
    sleep 0.2
    waited=$((waited + 1))
  done
  echo "no window titled '$title' after ${limit}s" >&2
  return 1
}

# Sets X11_X, X11_Y, X11_WIDTH, X11_HEIGHT to window $1's place on the screen. Without a window
# manager Wine's top-level X window is exactly the client area.
x11_geometry() {
  eval "$(xdotool getwindowgeometry --shell "$1" | sed -n 's/^\(X\|Y\|WIDTH\|HEIGHT\)=/X11_\1=/p')"
}

# Moves the pointer to client point ($2, $3) of window $1 and rests it there a moment: Wine
# takes a press only where the pointer has been seen to arrive.
x11_point() {
  x11_geometry "$1"
  xdotool mousemove $((X11_X + $2)) $((X11_Y + $3))
  sleep 0.2
}

# Clicks at client point ($2, $3) of window $1.
x11_click() {
  x11_point "$1" "$2" "$3"
  xdotool mousedown 1
  sleep 0.1
  xdotool mouseup 1
  sleep 0.3
}

# Double-clicks at client point ($2, $3) of window $1, well within the double-click time.
x11_double_click() {
  x11_point "$1" "$2" "$3"
  xdotool click --repeat 2 --delay 100 1
  sleep 0.3
}

# Waits up to $2 seconds (default 5) for the visible window titled exactly $1 to go; false
# when it is still there.
x11_wait_gone() {
  local title=$1 ticks=$((${2:-5} * 5)) waited=0
  while xdotool search --onlyvisible --name "^${title}\$" >/dev/null 2>&1; do
    [ $waited -lt $ticks ] || return 1
    sleep 0.2
    waited=$((waited + 1))
  done
}

# Clicks the OK button of message box $1: centred, near its bottom edge.
x11_click_ok() {
  x11_geometry "$1"
  x11_click "$1" $((X11_WIDTH / 2)) $((X11_HEIGHT - 20))
}

# Dismisses message box $1, titled exactly $2, with its OK button. A click that lands before
# Wine routes input to a box it has only just mapped is lost, so the click is repeated until
# the box goes, for up to 30 seconds in all.
x11_dismiss() {
  local box=$1 title=$2 attempt
  for attempt in 1 2 3 4 5 6; do
    x11_click_ok "$box"
    x11_wait_gone "$title" 5 && return 0
  done
  echo "window '$title' is still there after $attempt clicks on OK" >&2
  return 1
}

# Presses key $3 (an xdotool key name, or several separated by blanks, pressed in turn) for
# window $1, titled exactly $2, until the window goes, for up to 30 seconds in all. A key that
# went to another program's window is pressed again after a click at client point ($4, $5),
# where a click changes nothing the keys rely on, has brought the window back to the foreground.
x11_key_until_gone() {
  local window=$1 title=$2 key=$3 attempt
  for attempt in 1 2 3 4 5 6; do
    # shellcheck disable=SC2086 # one xdotool argument a key
    xdotool key --delay 150 $key
    x11_wait_gone "$title" 5 && return 0
    x11_click "$window" "$4" "$5"
  done
  echo "window '$title' is still there after $attempt presses of $key" >&2
  return 1
}

# Asks window $1 to close, as a window manager's close button does.
x11_close() {
  "$X11_HERE/x11_close.py" "$1"
}

# Ends a test with its failure: the message, the windows shown and a picture of the whole
# screen, saved as $X11_FAILURE_SHOT.
fail() {
  echo "FAIL: $*" >&2
  x11_windows >&2
  import -window root "$X11_FAILURE_SHOT" && echo "screen at the failure: $X11_FAILURE_SHOT" >&2
  exit 1
}

# Saves the client area of window $1 as the PNG $2.
x11_shot() {
  x11_geometry "$1"
  import -window root -crop "${X11_WIDTH}x${X11_HEIGHT}+${X11_X}+${X11_Y}" +repage "$2"
}

# Prints the colour of pixel ($2, $3) of image $1 as six hex digits, red first.
x11_pixel() {
  convert "$1" -format "%[hex:p{$2,$3}]" info:- | cut -c1-6
}

# Prints how many pixels of colour $6 (six hex digits) lie in the $4 x $5 box at ($2, $3) of $1.
x11_count() {
  convert "$1" -crop "$4x$5+$2+$3" +repage -format %c histogram:info:- |
    awk -v want="#$6" 'toupper(substr($3, 1, 7)) == toupper(want) { n += $1 } END { print n + 0 }'
}

# Lists the visible windows with their titles, for a failure's report.
x11_windows() {
  local id
  for id in $(xdotool search --onlyvisible --name '' 2>/dev/null); do
    echo "window $id: '$(xdotool getwindowname "$id" 2>/dev/null)'"
  done
}

# Starts a program (the command in "$@") in a process group of its own, so that x11_end_app
# ends the program and every process it started, and nothing else: Wine's own services live
# in sessions of their own.
x11_launch() {
  setsid "$@" &
  X11_APP_PID=$!
}

# Waits for the program started by x11_launch to end; sets X11_APP_STATUS to its exit code.
x11_wait_app() {
  X11_APP_STATUS=0
  wait "$X11_APP_PID" || X11_APP_STATUS=$?
  X11_APP_PID=""
}

# Ends what x11_launch started, if it still runs. A kill that finds the program gone already
# must not end the script under `set -e`, least of all in an exit trap before x11_stop.
x11_end_app() {
  if [ -n "${X11_APP_PID:-}" ]; then kill -- "-$X11_APP_PID" 2>/dev/null || true; fi
  X11_APP_PID=""
}
