#!/usr/bin/env bash
# Runs one Windows program under Wine, in the environment of wine-env.sh: the prefix is made
# once, under a lock, so parallel tests can share it, and the program gets an Xvfb display of
# its own when none is given.
set -euo pipefail
# shellcheck source=wine-env.sh
source "$(dirname "$0")/wine-env.sh"

mkdir -p "$(dirname "$WINEPREFIX")"
(
  flock 9
  if [ ! -f "$WINEPREFIX/.ostrevane-ready" ]; then
    # The services these start outlive them: they must not inherit the lock's descriptor.
    wineboot -i >/dev/null 2>&1 9>&- || true
    # A crashing test must end with its exit code, not wait on a crash dialog nobody sees.
    wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1 9>&- || true
    wineserver -w 9>&- || true
    touch "$WINEPREFIX/.ostrevane-ready"
  fi
) 9>"$WINEPREFIX.lock"

xvfb_pid=""
cleanup() { [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null; return 0; }
trap cleanup EXIT
if [ -z "${DISPLAY:-}" ] || [ -n "${OSTREVANE_OWN_DISPLAY:-}" ]; then
  coproc XVFB { exec Xvfb -displayfd 1 -screen 0 1280x1024x24 -nolisten tcp 2>/dev/null; }
  xvfb_pid=$XVFB_PID
  read -r -t 20 display <&"${XVFB[0]}"
  export DISPLAY=":$display"
fi

# wineserver keeps running after the program; its descriptors must not hold ctest's pipes. Nor
# may those of Wine's own services (services.exe, winedevice, explorer...), which the first
# program of a session starts, which inherit its standard descriptors and which live as long as
# the server: started by a program of their own with none, under the lock so that no test's
# program is first, they cannot keep a test that ended in seconds open until the last parallel
# test's Wine has ended. Only a server started here (wineserver succeeds only then) needs them.
(
  flock 9
  if wineserver -p5 </dev/null >/dev/null 2>&1 9>&-; then
    wine wineboot </dev/null >/dev/null 2>&1 9>&- || true
  fi
) 9>"$WINEPREFIX.lock"
status=0
wine "$@" || status=$?
exit $status
