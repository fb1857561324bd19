#!/usr/bin/env bash
# The console program as it ships, on a rig drive that carries a real NTFS volume with an
# unreadable stretch inside a file: `scan 0 --files` names that file and the offset in it, as the
# volume's own tables say through sleuthkit (istat, ifind, ffind), never the program.
# Usage: files_test.sh ostrevane-cli.exe WINE_RUN_SCRIPT OUTPUT_DIR
set -euo pipefail
cli=$1 wine_run=$2 out=$3
here=$(cd "$(dirname "$0")" && pwd)
fail() { echo "FAIL: $*" >&2; exit 1; }
mkdir -p "$out"
disk="$out/disk.img"
"$here/make-ntfs-disk.sh" "$disk" || exit $?
start=$(sfdisk -d "$disk" | sed -n 's/.*start= *\([0-9]*\),.*/\1/p' | head -n 1)
per_cluster=$(($(fsstat -o "$start" "$disk" | sed -n 's/^Cluster Size: //p') / 512))
path=Users/Ann/Documents/report.docx
inode=$(fls -r -p -o "$start" "$disk" | awk -F'\t' -v p="$path" '$2 == p { split($1, a, " "); split(a[2], b, "-"); print b[1] }')
# The file's clusters in the order of its data, from its unnamed $DATA attribute.
mapfile -t clusters < <(istat -o "$start" "$disk" "$inode" |
  awk '/^Type: \$DATA/ { data = 1; next } /^Type:/ { data = 0 } data && /^[0-9 ]+$/ { for (i = 1; i <= NF; i++) print $i }')
[ ${#clusters[@]} -gt 64 ] || fail "istat gave no clusters of $path"
# EIO on 8 sectors in the middle of the file; the scan reports the 64 KiB piece (128 LBAs) round them.
bad=$((start + clusters[${#clusters[@]} / 2] * per_cluster + 3))
first=$((bad / 128 * 128))
index=-1
for i in "${!clusters[@]}"; do
  [ $(( (first - start) / per_cluster )) -ne "${clusters[$i]}" ] || index=$i
done
[ "$index" -ge 0 ] && [ $((index + 128 / per_cluster)) -le ${#clusters[@]} ] || fail "the piece at $first is not within $path"
for lba in $first $((first + 127)); do
  owner=$(ffind -o "$start" "$disk" "$(ifind -o "$start" -d $(( (lba - start) / per_cluster )) "$disk")")
  [ "$owner" = "/$path" ] || fail "sleuthkit names $owner at LBA $lba, not /$path"
done
offset=$((index * per_cluster * 512 + (first - start) % per_cluster * 512))
printf 'image %s\nmodel RIG NTFS DISK\nserial RIGNTFS01\nunreadable %d 8\n' "$disk" "$bad" >"$out/files.rules"

status=0
"$here/rig.sh" "$out/files.rules" -- bash -c '"$1" "$2" scan 0 --files >"$3" 2>"$3.err"' - \
  "$wine_run" "$cli" "$out/scan.txt" || status=$?
[ $status -ne 77 ] || exit 77
tr -d '\r' <"$out/scan.txt" >"$out/scan.lf"
[ $((status & 32)) -ne 0 ] || fail "exit status $status lacks bit 32 (unreadable blocks)"
grep -qx "Unreadable	$first	128	error 23" "$out/scan.lf" || fail "the scan did not report $first+128: $(cat "$out/scan.lf")"
grep -qx "LBA	Sectors	Partition	Volume	File System	File	Offset" "$out/scan.lf" || fail "no files header"
want="$first	128	1	NTFS	\\${path//\//\\}	$offset"
got=$(awk -F'\t' -v OFS='\t' '$1 ~ /^[0-9]+$/ && NF == 7 { print $1, $2, $3, $5, $6, $7 }' "$out/scan.lf")
[ "$got" = "$want" ] || fail "the files lines are"$'\n'"$got"$'\n'"not"$'\n'"$want"
echo "ok: scan --files names $want"
