#!/usr/bin/env bash
# The file map over a real NTFS volume of 100,000 files made by mkntfs and ntfs-3g (kept in the
# build tree once made): how long mapping some ranges takes against reading the file table alone,
# both from a cold cache, and the peak memory. Needs root and /dev/fuse the first time.
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir="${OSTREVANE_FILE_MAP_BUILD_DIR:-build-bench-native}"
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DOSTREVANE_SANITIZE=OFF -DOSTREVANE_BUILD_TESTS=OFF \
  -DOSTREVANE_CROSS_X64=OFF -DOSTREVANE_CROSS_ZIG_X64=OFF -DOSTREVANE_CROSS_ZIG_ARM64=OFF >/dev/null
cmake --build "$build_dir" -j2 --target ostrevane_file_map_bench >/dev/null

image=$build_dir/ntfs-100k.img
if [ ! -f "$image" ]; then
  if [ "$(id -u)" -ne 0 ] || [ ! -c /dev/fuse ]; then
    echo "file map: skipped (making the volume needs root and /dev/fuse)"
    exit 0
  fi
  work=$(mktemp -d "${TMPDIR:-/tmp}/ostrevane-ntfs.XXXXXX")
  trap 'mountpoint -q "$work/m" && umount "$work/m"; rm -rf "$work"' EXIT
  truncate -s 1G "$work/ntfs.img"
  mkntfs -F -q -f "$work/ntfs.img" >/dev/null 2>&1
  mkdir "$work/m"
  ntfs-3g -o big_writes "$work/ntfs.img" "$work/m"
  # One process creating files in a tight loop is the quick way through FUSE: 100 folders of
  # 1,000 files, one in ten with 8 KiB of data outside its record.
  python3 - "$work/m" <<'PY'
import os, sys
data = bytes(8192)
for d in range(100):
    os.mkdir(f"{sys.argv[1]}/folder-{d}")
    for f in range(1000):
        with open(f"{sys.argv[1]}/folder-{d}/file-{f}.bin", "wb") as out:
            out.write(data if f % 10 == 0 else b"")
PY
  umount "$work/m"
  mv "$work/ntfs.img" "$image"
fi

# Where $MFT lies, from sleuthkit: its clusters as runs of LCN+COUNT.
cluster=$(fsstat "$image" | sed -n 's/^Cluster Size: //p')
runs=$(istat "$image" 0 | awk '/^Type: \$DATA/ { on = 1; next } /^Type: / { on = 0 } on { for (f = 1; f <= NF; f++) print $f }' |
  awk 'NR == 1 { s = $1; n = 1; next } $1 == s + n { n++; next } { print s "+" n; s = $1; n = 1 } END { print s "+" n }')
files=$(fls -r "$image" | grep -c '^+* *r/r')
OSTREVANE_CLUSTER=$cluster "$build_dir/bench/ostrevane_file_map_bench" "$image" "$files" $runs
