#!/usr/bin/env bash
# Makes real FAT12, FAT16, FAT32 and exFAT volumes with the real tools (mkfs.vfat and mtools;
# mkfs.exfat and exfat-fuse on a loop device) and writes beside each IMAGE.img its truth,
# IMAGE.truth, taken from sleuthkit alone: one line per sector asked, "CASE SECTOR FILE OFFSET"
# tab-separated (OFFSET "-" where none). Where exFAT cannot be made (no root, /dev/fuse or loop
# devices) exfat.skip says why. Kept until this script changes.
#   make_fat_images.sh OUTPUT_DIR
set -euo pipefail
out=$1
stamp="$out/stamp"
[ -f "$stamp" ] && [ "$stamp" -nt "$0" ] && exit 0
rm -rf "$out" && mkdir -p "$out"
export MTOOLS_SKIP_CHECK=1
work=$(mktemp -d) loop="" mounted=""
cleanup() {
  [ -z "$mounted" ] || fusermount3 -u -z "$mounted" 2>/dev/null || umount -l "$mounted" 2>/dev/null || true
  [ -z "$loop" ] || losetup -d "$loop" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
bytes() { head -c "$1" /dev/urandom >"$work/data"; }
deep=(deep l2 l3 l4 l5 l6 l7 l8 l9 l10)
long="A long name, with many characters.txt"

# The sectors of inode $2, in the file's order, as istat lists them.
sectors() { timeout 60 istat "$1" "$2" | sed -n '/^Sectors:/,$p' | tail -n +2 | tr -s ' ' '\n' | grep -v '^0*$' || true; }
inode_of() { timeout 60 ifind -n "$2" "$1"; }
# CASE, then for inode $3 its first sector, the first after its first break, and its last, with
# their offsets in the file; FILE is sleuthkit's path with backslashes, then $4.
file_case() {
  local img=$1 name=$2 inode=$3 suffix=${4:-} path list i picks
  path=$(timeout 60 ffind "$img" "$inode" | head -n 1 | tr '/' '\\')
  mapfile -t list < <(sectors "$img" "$inode")
  [ ${#list[@]} -gt 0 ] || { echo "no sectors for $name ($inode) in $img" >&2; exit 1; }
  picks=(0 $((${#list[@]} - 1)))
  for ((i = 1; i < ${#list[@]}; i++)); do
    if [ "${list[i]}" -ne $((list[i - 1] + 1)) ]; then picks+=("$i"); break; fi
  done
  for i in "${picks[@]}"; do printf '%s\t%s\t%s%s\t%s\n' "$name" "${list[i]}" "$path" "$suffix" $((i * 512)); done
}
# A case whose sectors sleuthkit's blkstat must call unallocated: the deleted file's, free space.
free_case() {
  local img=$1 name=$2 sector
  shift 2
  for sector in "$@"; do
    timeout 60 blkstat "$img" "$sector" | grep -qx 'Not Allocated' || { echo "sector $sector of $img is allocated" >&2; exit 1; }
    printf '%s\t%s\t(free space)\t-\n' "$name" "$sector"
  done
}
area_case() { printf '%s\t%s\t%s\t-\n' "$1" "$2" "$3"; }
common_cases() { # IMAGE: the files every volume holds
  local img=$1 d
  file_case "$img" fragmented "$(inode_of "$img" /frag.bin)"
  file_case "$img" contiguous "$(inode_of "$img" /contig.bin)"
  d=$(IFS=/; echo "${deep[*]}")
  file_case "$img" "long name, deep path" "$(inode_of "$img" "/$d/$long")"
  file_case "$img" directory "$(inode_of "$img" "/$d")" " (directory)"
  # A deleted FAT entry has lost its first letter.
  mapfile -t gone < <(sectors "$img" "$(timeout 60 fls -r -p -d "$img" | sed -n 's/^r\/r \* \([0-9]*\):\t.one\.bin$/\1/p')")
  free_case "$img" "deleted file" "${gone[0]}" "${gone[-1]}"
  free_case "$img" "free space" $(($(stat -c %s "$img") / 512 - 200))
}

# FAT: mtools allocates the first free clusters, so a file written after one in the middle is
# deleted fills the hole and goes on after the next file. FAT32's FSInfo hint of the next free
# cluster is cleared first, as a volume that Windows repaired has it, or mtools would start there.
make_fat() { # NAME BITS MIB SECTORS_PER_CLUSTER
  local img="$out/$1.img" m=(-i "$out/$1.img") d="" part
  truncate -s "$3M" "$img"
  mkfs.vfat -F "$2" -s "$4" -n "${1^^}" "$img" >/dev/null
  bytes 20000 && mcopy "${m[@]}" "$work/data" ::a.bin
  bytes 30000 && mcopy "${m[@]}" "$work/data" ::mid.bin
  bytes 10000 && mcopy "${m[@]}" "$work/data" ::tail.bin
  mdel "${m[@]}" ::mid.bin
  [ "$2" != 32 ] || printf '\xff\xff\xff\xff' | dd of="$img" bs=1 seek=$((512 + 492)) conv=notrunc status=none
  bytes 70000 && mcopy "${m[@]}" "$work/data" ::frag.bin
  bytes 100000 && mcopy "${m[@]}" "$work/data" ::contig.bin
  for part in "${deep[@]}"; do d+="/$part"; mmd "${m[@]}" "::$d"; done
  bytes 30000 && mcopy "${m[@]}" "$work/data" "::$d/$long"
  bytes 9000 && mcopy "${m[@]}" "$work/data" ::gone.bin
  mdel "${m[@]}" ::gone.bin
  {
    common_cases "$img"
    local layout fat0 fat1 root
    layout=$(timeout 60 fsstat "$img")
    fat0=$(sed -n 's/^\* FAT 0: \([0-9]*\) - \([0-9]*\)$/\2/p' <<<"$layout")
    fat1=$(sed -n 's/^\* FAT 1: \([0-9]*\) - [0-9]*$/\1/p' <<<"$layout")
    area_case "boot sector" "$(sed -n 's/^\*\* Boot Sector: //p' <<<"$layout")" "(boot sector)"
    area_case FAT "$fat0" "(FAT)"
    area_case FAT "$fat1" "(FAT)"
    root=$(sed -n 's/^\** *Root Directory: \([0-9]*\) - [0-9]*$/\1/p' <<<"$layout")
    if [ "$2" = 32 ]; then
      printf 'root directory\t%s\t(root directory)\t0\n' "$root"
    else
      area_case "root directory" "$root" "(root directory)"
    fi
  } >"$out/$1.truth"
}
make_fat fat12 12 4 4
make_fat fat16 16 16 4
make_fat fat32 32 80 2

# The FAT16 volume broken as a failing drive breaks one: frag.bin's chain loops back to its
# first cluster, the deepest directory lists itself as a subdirectory, the long name there has
# lost its checksum, and a free cluster is marked in use with no file listing it. Its truth stays
# the unbroken volume's, but for that cluster, which sleuthkit then calls allocated, and the name
# of the file whose long name broke, which mtools gives (sleuthkit does not check the checksum).
cp "$out/fat16.img" "$out/fat16-loops.img"
cp "$out/fat16.truth" "$out/fat16-loops.truth"
mapfile -t frag < <(sectors "$out/fat16.img" "$(inode_of "$out/fat16.img" /frag.bin)")
mapfile -t dir < <(sectors "$out/fat16.img" "$(inode_of "$out/fat16.img" "/$(IFS=/; echo "${deep[*]}")")")
lost=$(($(stat -c %s "$out/fat16.img") / 512 - 400))
python3 - "$out/fat16-loops.img" "${frag[0]}" "${frag[-1]}" "${dir[0]}" "$lost" <<'EOF'
import struct, sys
name, first, last, directory, lost = sys.argv[1], *map(int, sys.argv[2:])
with open(name, 'r+b') as image:
    bpb = image.read(512)
    bps, spc, reserved, fats, roots, _, _, fat_size = struct.unpack_from('<HBHBHHBH', bpb, 11)
    heap = reserved + fats * fat_size + roots * 32 // bps
    cluster = lambda sector: (sector - heap) // spc + 2
    for copy in range(fats):
        image.seek((reserved + copy * fat_size) * bps + 2 * cluster(last))
        image.write(struct.pack('<H', cluster(first)))
        image.seek((reserved + copy * fat_size) * bps + 2 * cluster(lost))
        image.write(struct.pack('<H', 0xFFFF))
    image.seek(directory * bps)
    entries = image.read(spc * bps)
    for at in range(0, len(entries), 32):
        if entries[at + 11] == 0x0F:
            image.seek(directory * bps + at + 13)
            image.write(bytes([entries[at + 13] ^ 0x55]))
    free = next(at for at in range(0, len(entries), 32) if entries[at] == 0)
    image.seek(directory * bps + free)
    image.write(b'LOOP       ' + bytes([0x10]) + bytes(14) + struct.pack('<HI', cluster(directory), 0))
EOF
timeout 60 blkstat "$out/fat16-loops.img" "$lost" | grep -qx Allocated
printf 'lost clusters\t%s\t(lost clusters)\t-\n' "$lost" >>"$out/fat16-loops.truth"
short=$(mdir -b -i "$out/fat16-loops.img" "::/$(IFS=/; echo "${deep[*]}")" | grep -v '/$' | sed 's|^::||' | tr '/' '\\')
sed -i "s|^\(long name, deep path\t[0-9]*\t\)[^\t]*|\1${short//\\/\\\\}|" "$out/fat16-loops.truth"

# exFAT, written through the file system itself: the contiguous file has no FAT chain, and the
# fragmented one is appended to after the file behind it was deleted.
make_exfat() {
  local img="$out/exfat.img" m="$work/mnt" d
  if [ "$(id -u)" -ne 0 ] || [ ! -c /dev/fuse ] || [ ! -e /dev/loop-control ]; then
    echo "exFAT volumes are made on a loop device through FUSE: this needs root, /dev/fuse and loop devices" >"$out/exfat.skip"
    return
  fi
  truncate -s 64M "$img"
  mkfs.exfat -c 4096 "$img" >/dev/null
  mkdir -p "$m"
  if ! loop=$(losetup -f --show "$img") || ! mount.exfat-fuse "$loop" "$m"; then
    echo "exFAT volumes are made on a loop device through FUSE: attaching or mounting one failed here" >"$out/exfat.skip"
    return
  fi
  mounted=$m
  head -c 20000 /dev/urandom >"$m/frag.bin"
  head -c 30000 /dev/urandom >"$m/mid.bin"
  head -c 10000 /dev/urandom >"$m/tail.bin"
  sync && rm "$m/mid.bin" && sync
  head -c 50000 /dev/urandom >>"$m/frag.bin"
  head -c 100000 /dev/urandom >"$m/contig.bin"
  d=$(IFS=/; echo "${deep[*]}")
  mkdir -p "$m/$d"
  head -c 30000 /dev/urandom >"$m/$d/$long"
  head -c 9000 /dev/urandom >"$m/gone.bin"
  sync && rm "$m/gone.bin" && sync
  umount "$m" && mounted=""
  losetup -d "$loop" && loop=""
  {
    common_cases "$img"
    local virtual name
    virtual=$(timeout 60 fls "$img")
    for pair in 'ALLOC_BITMAP:(allocation bitmap)' 'UPCASE_TABLE:(up-case table)' 'FAT1:(FAT)'; do
      mapfile -t list < <(sectors "$img" "$(sed -n "s/^[rv]\/[rv] \([0-9]*\):\t\\\$${pair%%:*}$/\1/p" <<<"$virtual")")
      name=${pair#*:}
      area_case "${name//[()]/}" "${list[-1]}" "$name"
    done
    # The main boot region's checksum sector and the backup's first, where the layout puts them.
    area_case "boot region" 11 "(boot region)"
    area_case "boot region" 12 "(boot region)"
  } >"$out/exfat.truth"
}
make_exfat
touch "$stamp"
