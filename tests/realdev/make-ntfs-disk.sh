#!/usr/bin/env bash
# A disk image holding one NTFS volume, made by the real tools: an MBR (sfdisk) with one NTFS
# partition from LBA 2048, the volume made by mkntfs and filled through ntfs-3g (FUSE), with a
# few files in folders. Needs root and /dev/fuse; exits 77 without them.
#   make-ntfs-disk.sh IMAGE
set -euo pipefail
image=$1
if [ "$(id -u)" -ne 0 ] || [ ! -c /dev/fuse ] || ! command -v mkntfs >/dev/null || ! command -v sfdisk >/dev/null; then
  echo "SKIP: an NTFS image needs root, /dev/fuse, mkntfs (ntfs-3g) and sfdisk (fdisk)" >&2
  exit 77
fi
work=$(mktemp -d "${TMPDIR:-/tmp}/ostrevane-ntfs.XXXXXX")
trap 'fusermount3 -u -z "$work/mnt" 2>/dev/null || umount -l "$work/mnt" 2>/dev/null || true; rm -rf "$work"' EXIT
# 64 MiB: the partition from 1 MiB to the end, clusters of 4 KiB.
truncate -s 63M "$work/volume"
mkntfs -F -Q -q -s 512 -c 4096 -p 2048 -H 255 -S 63 -L DATA "$work/volume"
mkdir "$work/mnt"
ntfs-3g -o streams_interface=windows "$work/volume" "$work/mnt"
mkdir -p "$work/mnt/Users/Ann/Documents" "$work/mnt/Photos"
# Contents from a fixed seed: the same image every time.
bytes() ( set +o pipefail; openssl enc -aes-128-ctr -nosalt -pass "pass:$1" -pbkdf2 </dev/zero 2>/dev/null | head -c "$2" )
bytes report 3145728 >"$work/mnt/Users/Ann/Documents/report.docx"
bytes holiday 2097152 >"$work/mnt/Photos/holiday.jpg"
bytes ledger 1048576 >"$work/mnt/Users/Ann/ledger.xlsx"
fusermount3 -u "$work/mnt" 2>/dev/null || umount "$work/mnt"
truncate -s 64M "$image.part"
dd if="$work/volume" of="$image.part" bs=1M seek=1 conv=notrunc status=none
printf 'label: dos\nlabel-id: 0x0572a0b1\nstart=2048, type=7\n' | sfdisk -q "$image.part"
mv "$image.part" "$image"
