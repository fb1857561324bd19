#!/usr/bin/env bash
# The demo's failing drive's NTFS volumes, made by the real tools at build time: for each of the
# first three unreadable ranges of drive 1 in the surfaces file, an 8 MiB volume (mkntfs) with one
# file copied in (ntfscp, no mount), and the LBA its partition must start at for the range's 64 KiB
# pieces, as the scan reports them, to lie in that file: 128 KiB into it, or, for the second, over
# its last 64 KiB and the free space after it. The file's clusters come from sleuthkit's istat.
#   make-demo-volumes.sh SURFACES.tsv OUTPUT_DIR
# OUTPUT_DIR/volumes.tsv: partition number, first LBA, sectors, the file's name and first LBA in
# the volume, and the volume's pages file: each 4 KiB page that is not all zeros, as its byte
# offset (8 bytes, little-endian) and its bytes.
set -euo pipefail
surfaces=$1 out=$2
mkdir -p "$out"
work=$(mktemp -d "${TMPDIR:-/tmp}/ostrevane-demo.XXXXXX")
trap 'rm -rf "$work"' EXIT
names=("Thesis final.docx" "Family photos 2019.zip" "Accounts 2024.xlsx")
sizes=(1048576 524288 1048576)
# 64 KiB pieces into the file where the range's first piece lies.
into=(2 7 2)
mapfile -t ranges < <(awk -F'\t' '$1 == 1 && $2 == "unreadable" { print $3, $4 }' "$surfaces" | head -n 3)
[ ${#ranges[@]} -eq 3 ] || { echo "drive 1 has not three unreadable ranges in $surfaces" >&2; exit 1; }
: >"$out/volumes.tsv.part"
for i in 0 1 2; do
  read -r first _ <<<"${ranges[$i]}"
  piece=$((first / 128 * 128))
  volume="$work/volume$i"
  truncate -s 8M "$volume"
  mkntfs -F -Q -q -s 512 -c 4096 -H 255 -S 63 -L "DATA$i" "$volume" 2>/dev/null
  (set +o pipefail; openssl enc -aes-128-ctr -nosalt -pass "pass:${names[$i]}" -pbkdf2 </dev/zero 2>/dev/null |
    head -c "${sizes[$i]}") >"$work/file"
  ntfscp -q "$volume" "$work/file" "${names[$i]}"
  inode=$(fls -p "$volume" | awk -F'\t' -v n="${names[$i]}" '$2 == n { split($1, a, " "); split(a[2], b, "-"); print b[1] }')
  cluster=$(istat "$volume" "$inode" | awk '/^Type: \$DATA/ { data = 1; next } data && /^[0-9 ]+$/ { print $1; exit }')
  start=$((piece - cluster * 8 - into[i] * 128))
  printf '%d\t%d\t%d\t%s\t%d\tvolume%d.pages\n' $((i + 1)) "$start" 16384 "${names[$i]}" $((cluster * 8)) "$i" \
    >>"$out/volumes.tsv.part"
  python3 - "$volume" "$out/volume$i.pages" <<'PY'
import struct, sys
with open(sys.argv[1], 'rb') as volume, open(sys.argv[2], 'wb') as pages:
    offset = 0
    while page := volume.read(4096):
        if page.count(0) != len(page):
            pages.write(struct.pack('<Q', offset) + page)
        offset += len(page)
PY
done
mv "$out/volumes.tsv.part" "$out/volumes.tsv"
