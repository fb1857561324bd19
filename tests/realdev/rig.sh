#!/usr/bin/env bash
# Makes real failing drives and runs a command with them under Wine: each DEVICE, a rules file
# (NAME.rules) or a disk image, becomes a read-only loop device and \\.\PhysicalDriveN of a Wine
# prefix of the rig's own (N in the order given), through the rig's disk driver. COMMAND runs with
# OSTREVANE_WINEPREFIX naming that prefix, and RIG_DIR the devices' folder: RIG_DIR/N/fs.log says
# "hanging at OFFSET" each time a read of drive N waits, and `kill -USR1 $(cat RIG_DIR/N/fs.pid)`
# lets it go. Whatever happens, everything set up here is taken down by its id when COMMAND ends.
#
#   tests/realdev/rig.sh DEVICE... -- COMMAND...
#
# Rules, one a line (# starts a comment); FIRST, LENGTH and AT count 512-byte LBAs, or bytes with
# B, KiB, MiB or GiB after them:  size LENGTH | unreadable FIRST LENGTH | slow FIRST LENGTH MS (MS
# more per MiB read) | hang FIRST LENGTH (until released) | timeout FIRST LENGTH (fails as a read
# the drive did not answer in time, after a second) | gone AT (every request from a read touching
# AT on fails as a lost drive) | image PATH (the drive's bytes: a disk image, whose own partition
# table the driver answers; zeros without one) | model TEXT | serial TEXT. Other lines (the
# tests' "expect") are the tests' own. Exits 77 where /dev/fuse or loop devices are missing.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
devices=()
while [ $# -gt 0 ] && [ "$1" != -- ]; do devices+=("$(realpath "$1")"); shift; done
[ $# -gt 1 ] && [ ${#devices[@]} -gt 0 ] || { echo "usage: $0 DEVICE... -- COMMAND..." >&2; exit 2; }
shift
if [ ! -c /dev/fuse ] || [ ! -e /dev/loop-control ] || ! command -v fusermount3 >/dev/null; then
  echo "SKIP: the real-device rig needs /dev/fuse, fusermount3 and loop devices" >&2
  exit 77
fi
# shellcheck source=../../scripts/wine-env.sh
source "$here/../../scripts/wine-env.sh"
export WINEPREFIX="$WINEPREFIX-rig"
build=${OSTREVANE_RIG_BUILD_DIR:-$here/../../build-rig}
mkdir -p "$build" "$(dirname "$WINEPREFIX")"

# Built when older than their sources.
fresh() { [ -f "$1" ] && [ "$1" -nt "$2" ]; }
fresh "$build/rigdisk.sys" "$here/rigdisk.c" || x86_64-w64-mingw32-gcc -std=gnu11 -O2 -Wall -Wextra -Werror \
  -I/usr/x86_64-w64-mingw32/include/ddk -shared -nostdlib -Wl,--subsystem,native -Wl,--entry,DriverEntry \
  "$here/rigdisk.c" -lntoskrnl -lgcc -o "$build/rigdisk.sys"
fresh "$build/rigread.exe" "$here/rigread.c" ||
  x86_64-w64-mingw32-gcc -std=gnu11 -O2 -Wall -Wextra -Werror "$here/rigread.c" -o "$build/rigread.exe"
fresh "$build/rigfs" "$here/rigfs.c" || gcc -std=c11 -D_GNU_SOURCE -O2 -Wall -Wextra -Werror "$here/rigfs.c" \
  $(pkg-config --cflags --libs fuse3) -o "$build/rigfs"

# One rig at a time per prefix, across ctest runs too (the descriptor is not handed to Wine).
exec 8>"$WINEPREFIX.rig.lock"
flock 8
RIG_DIR=$(mktemp -d "${TMPDIR:-/tmp}/ostrevane-rig.XXXXXX")
export RIG_DIR RIG_TOOLS="$build"
loops=() servers=() mounts=()
teardown() {
  local pid loop mount
  wineserver -k 8>&- 2>/dev/null || true
  wineserver -w 8>&- 2>/dev/null || true
  # A server that ends fails the reads still waiting on it, so that the loop devices let go.
  for pid in "${servers[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${servers[@]}"; do
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null && sleep 0.1; done
    kill -KILL "$pid" 2>/dev/null || true
  done
  for loop in "${loops[@]}"; do losetup -d "$loop" 2>/dev/null || true; done
  for mount in "${mounts[@]}"; do fusermount3 -u -z "$mount" 2>/dev/null || true; done
  rm -rf "$RIG_DIR"
}
trap teardown EXIT

# The rules of file $1 with every place and length in bytes, as rigfs reads them.
in_bytes() {
  awk 'function b(v) { return v ~ /GiB$/ ? v * 2^30 : v ~ /MiB$/ ? v * 2^20 : v ~ /KiB$/ ? v * 1024 : v ~ /B$/ ? v + 0 : v * 512 }
       $1 == "image" { print "image", $2 }
       $1 == "size" || $1 == "gone" { printf "%s %.0f\n", $1, b($2) }
       $1 == "unreadable" || $1 == "hang" || $1 == "timeout" { printf "%s %.0f %.0f\n", $1, b($2), b($3) }
       $1 == "slow" { printf "slow %.0f %.0f %d\n", b($2), b($3), $4 }' "$1"
}
text_of() { sed -n "s/^$1[[:space:]]\+//p" "$2" | head -n 1; }
qword() { local v=$1 i out=""; for i in 0 1 2 3 4 5 6 7; do out+=$(printf '%02x,' $(((v >> (8 * i)) & 255))); done; echo "${out%,}"; }

key='HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\RigDisk'
reg="$RIG_DIR/rigdisk.reg"
printf 'REGEDIT4\n\n[-%s]\n\n[%s]\n"Type"=dword:00000001\n"Start"=dword:00000002\n"ErrorControl"=dword:00000001\n"ImagePath"="C:\\\\windows\\\\system32\\\\drivers\\\\rigdisk.sys"\n' \
  "$key" "$key" >"$reg"
for n in "${!devices[@]}"; do
  device=${devices[$n]} dir="$RIG_DIR/$n" image=${devices[$n]} model="RIG DISK $n" serial="RIG000$n"
  mkdir -p "$dir/mnt"
  if [[ "$device" == *.rules ]]; then
    in_bytes "$device" >"$dir/rules"
    "$build/rigfs" "$dir/rules" "$dir/mnt" -s -f -o ro,fsname=rigfs >"$dir/fs.log" 2>&1 &
    servers+=($!) mounts+=("$dir/mnt")
    echo $! >"$dir/fs.pid"
    for _ in $(seq 50); do [ -f "$dir/mnt/disk" ] && break; sleep 0.1; done
    image="$dir/mnt/disk"
    model=$(text_of model "$device"); model=${model:-RIG DISK $n}
    serial=$(text_of serial "$device"); serial=${serial:-RIG000$n}
    gone=$(awk '$1 == "gone" { print $2 }' "$dir/rules")
    [ -z "$gone" ] || printf '"Gone%d"=hex(b):%s\n' "$n" "$(qword "$gone")" >>"$reg"
  fi
  loop=$(losetup -f --show -r --direct-io=on "$image")
  loops+=("$loop")
  printf '"Drive%d"="%s"\n"Model%d"="%s"\n"Serial%d"="%s"\n' "$n" "$loop" "$n" "$model" "$n" "$serial" >>"$reg"
done

# Wine's services keep its output open: every Wine command here writes to files, never a pipe.
log="$RIG_DIR/wine.log"
if [ ! -f "$WINEPREFIX/.ostrevane-ready" ]; then
  wineboot -i >>"$log" 2>&1 8>&- || true
  wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >>"$log" 2>&1 8>&- || true
  touch "$WINEPREFIX/.ostrevane-ready"
fi
cp "$build/rigdisk.sys" "$WINEPREFIX/drive_c/windows/system32/drivers/rigdisk.sys"
rm -f "$WINEPREFIX"/dosdevices/physicaldrive*
wine regedit /S "$(winepath -w "$reg" 2>>"$log")" >>"$log" 2>&1 8>&-
# The driver opens its devices when it starts, with Wine: Wine starts again on the new key.
wineserver -k 8>&- || true
wineserver -w 8>&- || true
for n in "${!devices[@]}"; do
  want=$(blockdev --getsize64 "${loops[$n]}")
  for try in $(seq 60); do
    wine "$build/rigread.exe" probe "$n" >"$RIG_DIR/probe" 2>>"$log" 8>&- || true
    [ "$(cut -d' ' -f1 "$RIG_DIR/probe")" != "$want" ] || break
    [ "$try" -lt 60 ] || { echo "drive $n never came up: $(cat "$RIG_DIR/probe")" >&2; cat "$log" >&2; exit 1; }
    sleep 0.5
  done
  echo "rig: \\\\.\\PhysicalDrive$n is ${devices[$n]}: $(cat "$RIG_DIR/probe") (${loops[$n]})"
done
export OSTREVANE_WINEPREFIX="$WINEPREFIX"
status=0
"$@" 8>&- || status=$?
exit $status
