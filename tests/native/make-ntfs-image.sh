#!/usr/bin/env bash
# make-ntfs-image.sh OUT_DIR: OUT_DIR/ntfs.img, made by mkntfs and filled through ntfs-3g, and
# OUT_DIR/ntfs.truth from sleuthkit: per case its name, a sector, the byte offset in the file of
# that sector or "-", and every name the owner may be shown by ("|" between). Kept while newer
# than this script; exits 77 where nothing can be mounted.
set -euo pipefail
out=$1
img=$out/ntfs.img
truth=$out/ntfs.truth
[ "$truth" -nt "$0" ] && [ "$img" -nt "$0" ] && exit 0
if [ "$(id -u)" -ne 0 ] || [ ! -c /dev/fuse ]; then
  echo "skipped: making an NTFS volume with ntfs-3g needs root and /dev/fuse"
  exit 77
fi
mkdir -p "$out"
work=$(mktemp -d)
m=$work/m
trap 'mountpoint -q "$m" && umount "$m"; rm -rf "$work"' EXIT
rm -f "$truth"
truncate -s 8M "$work/ntfs.img"
mkntfs -F -q -c 1024 -s 512 "$work/ntfs.img" >/dev/null 2>&1
mkdir "$m"
ntfs-3g -o streams_interface=windows,compression "$work/ntfs.img" "$m"
rnd() { head -c "$1" /dev/urandom; }
# A full volume, then a file grown three clusters at a time into holes left one by one: the only
# free clusters, so it lands in fragments. The fillers go afterwards, leaving deleted records.
mkdir "$m/fill"
n=0
while rnd 3072 >"$m/fill/$n" 2>/dev/null; do n=$((n + 1)); done
while rnd 1024 >"$m/fill/$n" 2>/dev/null; do n=$((n + 1)); done
for n in 10 20 30 40 50; do
  rm "$m/fill/$n"
  rnd 3072 >>"$m/fragmented.bin"
done
rm -r "$m/fill"
echo text >"$m/streams.txt"
rnd 20000 >"$m/streams.txt:stream"
truncate -s 2M "$m/sparse.bin"
rnd 8192 | dd of="$m/sparse.bin" bs=4096 seek=300 conv=notrunc status=none
# Sixty streams do not fit one record: the later ones go to extension records.
echo x >"$m/many-streams.txt"
for i in $(seq 1 60); do rnd 2048 >"$m/many-streams.txt:s$i"; done
rnd 8192 >"$m/linked.bin"
mkdir "$m/links"
for i in $(seq 1 40); do ln "$m/linked.bin" "$m/links/a-rather-long-name-for-the-link-number-$i.bin"; done
deep=$m$(printf '/level%d' {1..30})
mkdir -p "$deep"
rnd 5000 >"$deep/deep.bin"
# Deeper than the 256 names a path shows: its top is cut to "…".
far=far$(printf '/d%.0s' {1..300})
mkdir -p "$m/$far"
rnd 3000 >"$m/$far/far.bin"
mkdir "$m/index"
for i in $(seq 1 150); do : >"$m/index/entry-with-a-long-name-$i"; done
echo small >"$m/resident.txt"
# A folder marked compressed (its Windows attribute, through ntfs-3g's extended attribute):
# what is written there is stored compressed.
mkdir "$m/packed"
python3 -c 'import os, sys; os.setxattr(sys.argv[1], "system.ntfs_attrib_be", (0x810).to_bytes(4, "big"))' "$m/packed"
seq -f 'line %g of a text that compresses well' 3000 >"$m/packed/text.txt"
# Last, so that nothing written after takes its clusters again.
rnd 30000 >"$m/deleted.bin" && rm "$m/deleted.bin"
umount "$m"

i=$work/ntfs.img
cluster=$(fsstat "$i" | sed -n 's/^Cluster Size: //p')
spc=$((cluster / 512))
# The clusters of an entry's attribute of a type and name ("N/A" for none), in the order of the
# stream, 0 for a sparse one.
clusters() {
  istat "$i" "$1" | awk -v type="$2" -v name="$3" '
    /^Type: / { on = $2 == type && $5 == name; next }
    on { for (f = 1; f <= NF; f++) print $f }'
}
names() { ffind -a "$i" "$1" | sed 's|^//*|/|' | tr '/' '\\' | sed "s/\$/$2/" | paste -sd'|'; }
# case, entry, attribute type and name, suffix to the names, which cluster of the attribute's
# [, offset, names]: the truth of one sector in it (its second, so that the offset counts sectors
# too).
file_case() {
  local k=$6 c
  c=$(clusters "$2" "$3" "$4" | sed -n "$((k + 1))p")
  blkstat "$i" "$c" | grep -q '^Allocated' || { echo "$1: cluster $c is not allocated" >&2; exit 1; }
  printf '%s\t%s\t%s\t%s\n' "$1" $((c * spc + 1)) "${7:-$((k * cluster + 512))}" "${8:-$(names "$2" "$5")}" >>"$work/truth"
}
entry() { ifind -n "$1" "$i"; }
# Where the unnamed stream's clusters jump: the start of its second fragment.
second_run() { clusters "$1" '$DATA' N/A | awk 'NR > 1 && $1 != prev + 1 { print NR - 1; exit } { prev = $1 }'; }
d='$DATA'
e=$(entry fragmented.bin)
file_case fragmented "$e" "$d" N/A "" "$(second_run "$e")"
file_case named-stream "$(entry streams.txt)" "$d" stream ":stream" 3
e=$(entry sparse.bin)
file_case sparse "$e" "$d" N/A "" "$(clusters "$e" "$d" N/A | awk '$1 != 0 { print NR - 1; exit }')"
file_case extension-record "$(entry many-streams.txt)" "$d" s60 ":s60" 1
file_case many-names "$(entry linked.bin)" "$d" N/A "" 5
file_case deep-path "$(entry "${deep#"$m"/}/deep.bin")" "$d" N/A "" 2
file_case directory-index "$(entry index)" '$INDEX_ALLOCATION' '$I30' " (index)" 1 -
file_case mft 0 "$d" N/A "" 20
# sleuthkit's ffind stops short of such a depth: the names are those the volume was made with,
# on the entry that ifind finds by them.
file_case too-deep "$(entry "$far/far.bin")" "$d" N/A "" 1 "" "…$(printf '\\d%.0s' {1..255})\\far.bin"
file_case compressed "$(entry packed/text.txt)" "$d" N/A "" 0 -
# A deleted file's clusters are free, whatever its old record (which ifind may still answer) says.
e=$(fls -rd "$i" | sed -n 's/^.* \([0-9]*\)-128-[0-9]*:\tdeleted.bin$/\1/p')
c=$(clusters "$e" "$d" N/A | sed -n 3p)
blkstat "$i" "$c" | grep -q '^Not Allocated' || { echo "deleted.bin's cluster $c is allocated" >&2; exit 1; }
printf 'free-space\t%s\t-\t(free space)\n' $((c * spc)) >>"$work/truth"
# A small file lives in its record: the sectors of the record in $MFT name it.
e=$(entry resident.txt)
byte=$((e * 1024))
c=$(clusters 0 "$d" N/A | sed -n "$((byte / cluster + 1))p")
printf 'resident\t%s\t-\t%s\n' $((c * spc + byte % cluster / 512)) "$(names "$e" "")" >>"$work/truth"
# Eight records of the table that the reads will fail: the fillers' records, deleted by now.
c=$(clusters 0 "$d" N/A | sed -n "$((1024 * 1024 / cluster + 1)),$((1032 * 1024 / cluster))p" | paste -sd' ')
[ "$c" = "$(seq -s' ' "${c%% *}" $((${c%% *} + 8 * 1024 / cluster - 1)))" ] || { echo "records 1,024-1,031 are apart" >&2; exit 1; }
printf 'unreadable\t%s\t16\tMFT records 1,024–1,031 unreadable: the files there are unknown\n' $((${c%% *} * spc)) >>"$work/truth"

mv "$work/ntfs.img" "$img"
mv "$work/truth" "$truth"
