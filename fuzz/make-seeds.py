#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

SMART pages are copied from a directory of real 512-byte ATA SMART READ DATA pages, and
storage-descriptor answers and trimming inputs are made from the identity strings that go
with them (identity.tsv, blank padding shown inside [ ]); cell-text records from those strings
and the values of the pages (expected.tsv); plus hand-made awkward cases of each.
Usage: fuzz/make-seeds.py [directory with *.bin pages, identity.tsv and expected.tsv]
                          [directory with NVMe health logs *.bin]
"""

import os
import pathlib
import struct
import subprocess
import sys
import tempfile

ANSWER_SIZE = 1024
HEADER_SIZE = 40  # STORAGE_DEVICE_DESCRIPTOR up to and including RawDeviceProperties[0]
PRODUCT_ID_FIELD, REVISION_FIELD, SERIAL_FIELD = 16, 20, 24
BUS_TYPE_SATA = 11
FAILURE_PREDICTED, NO_BUFFER = 1, 2


def descriptor(model, serial, firmware, tail=b""):
    """A descriptor answer whose strings follow the header, each NUL-terminated; a string of
    None gets offset 0. `tail` is appended after the 1024 bytes (an extra offset field)."""
    answer = bytearray(ANSWER_SIZE)
    struct.pack_into("<II", answer, 0, HEADER_SIZE, HEADER_SIZE)
    struct.pack_into("<I", answer, 28, BUS_TYPE_SATA)
    at = HEADER_SIZE
    for field, text in ((PRODUCT_ID_FIELD, model), (SERIAL_FIELD, serial), (REVISION_FIELD, firmware)):
        if text is None:
            continue
        struct.pack_into("<I", answer, field, at)
        answer[at:at + len(text)] = text
        at += len(text) + 1
    struct.pack_into("<I", answer, 4, at)
    return bytes(answer) + tail


def raw_offsets(offsets, fill=b"", fill_at=0):
    """A descriptor answer with the three offset fields set as given and `fill` placed at
    `fill_at`, for offsets that point anywhere."""
    answer = bytearray(ANSWER_SIZE)
    answer[fill_at:fill_at + len(fill)] = fill
    for field, offset in zip((PRODUCT_ID_FIELD, SERIAL_FIELD, REVISION_FIELD), offsets):
        struct.pack_into("<I", answer, field, offset)
    return bytes(answer[:ANSWER_SIZE])


def smart_page(entries):
    """A SMART page with (slot, id, raw bytes) entries in the attribute table."""
    page = bytearray(512)
    page[0:2] = b"\x10\x00"
    for slot, attribute, raw in entries:
        at = 2 + 12 * slot
        page[at] = attribute
        page[at + 3] = 100
        page[at + 4] = 100
        page[at + 5:at + 11] = raw
    return bytes(page)


def cell_case(column, capacity, index=0, size=0, temperature=-1, hours=-1, cycles=-1,
              strings=("Unknown", "Unknown", "Unknown", "Good"), flags=0):
    """A cell-text input: the header of fuzz_cell_texts.cpp, then the strings as UTF-16 units
    separated by 0xFFFF. Flags: FAILURE_PREDICTED, NO_BUFFER."""
    header = struct.pack("<bhBiqiqq", column, capacity, flags, index, size, temperature, hours, cycles)
    return header + b"\xff\xff".join(s.encode("utf-16-le") for s in strings)


NVME_LOG_SIZE = 512
NVME_DATA_START = 8  # STORAGE_PROTOCOL_DATA_DESCRIPTOR: Version, Size, then the protocol data


def nvme_answer(log, offset=40, length=NVME_LOG_SIZE, size=48 + NVME_LOG_SIZE):
    """A STORAGE_PROTOCOL_DATA_DESCRIPTOR answer of `size` bytes as the NVMe driver fills it
    (NVMe, log page 0x02), naming the returned data at `offset` with `length`; `log` is placed
    right behind the protocol data."""
    answer = bytearray(48) + log + bytes(max(0, size - 48 - len(log)))
    struct.pack_into("<II", answer, 0, 48, 48)
    struct.pack_into("<IIIIII", answer, NVME_DATA_START, 3, 2, 0x02, 0, offset, length)
    return bytes(answer[:size])


def nvme_log(kelvin, cycles, hours):
    """A health log with the composite temperature and the two 128-bit counts."""
    log = bytearray(NVME_LOG_SIZE)
    struct.pack_into("<H", log, 1, kelvin)
    log[112:128] = cycles.to_bytes(16, "little")
    log[128:144] = hours.to_bytes(16, "little")
    return bytes(log)


def nvme_seeds(root, nvme_pages):
    """The NVMe health-log answers: real drives' logs as the driver returns them, and returned
    offsets, lengths and counts at and around their limits."""
    target = root / "nvme_health_log"
    for page in sorted(nvme_pages.glob("*.bin")):
        write(target, page.name, nvme_answer(page.read_bytes()))
    typical = nvme_log(300, 4, 408)
    write(target, "empty.bin", b"")
    write(target, "all-zero.bin", bytes(48 + NVME_LOG_SIZE))
    write(target, "offset-0.bin", nvme_answer(typical, offset=0))
    write(target, "offset-one-past.bin", nvme_answer(typical, offset=41))
    write(target, "offset-wraps.bin", nvme_answer(typical, offset=0xFFFFFDF8, length=0x200))
    write(target, "length-511.bin", nvme_answer(typical, length=511))
    write(target, "length-513.bin", nvme_answer(typical, length=513))
    write(target, "longer-answer.bin", nvme_answer(typical, offset=80, size=600))
    write(target, "short-answer.bin", nvme_answer(typical, size=30))
    write(target, "0-kelvin.bin", nvme_answer(nvme_log(0, 1, 1)))
    write(target, "250-kelvin.bin", nvme_answer(nvme_log(250, 1, 1)))
    write(target, "65535-kelvin.bin", nvme_answer(nvme_log(65535, 1, 1)))
    write(target, "counts-at-cap.bin", nvme_answer(nvme_log(310, 2**48 - 1, 2**48)))
    write(target, "counts-above-64-bits.bin", nvme_answer(nvme_log(310, 2**127 + 5, 2**64)))


def guid(text):
    """A GUID's text as Windows keeps its 16 bytes: the first three fields little-endian."""
    parts = text.strip("{}").split("-")
    return (struct.pack("<IHH", int(parts[0], 16), int(parts[1], 16), int(parts[2], 16))
            + bytes.fromhex(parts[3] + parts[4]))


def layout(style, entries, count=None, disk=b""):
    """A DRIVE_LAYOUT_INFORMATION_EX answer: (number, start, length, type byte or GUID text,
    name) entries, its count that of the entries unless given."""
    answer = bytearray(48)
    struct.pack_into("<II", answer, 0, style, len(entries) if count is None else count)
    answer[8:8 + len(disk)] = disk
    for number, start, length, kind, name in entries:
        entry = bytearray(144)
        struct.pack_into("<I4xqqI", entry, 0, style, start, length, number)
        if style == 1:
            entry[32:48] = guid(kind)
            encoded = name.encode("utf-16-le")[:72]
            entry[72:72 + len(encoded)] = encoded
        else:
            entry[32] = kind
        answer += entry
    return bytes(answer)


def layout_seeds(root):
    """Partition tables of the three styles and volumes' extents, with counts past the bytes."""
    target = root / "drive_layout"
    mib, gib = 1 << 20, 1 << 30
    gpt = [(1, mib, 100 * mib, "{C12A7328-F81F-11D2-BA4B-00A0C93EC93B}", "EFI system partition"),
           (2, 101 * mib, 16 * mib, "{E3C9E316-0B5C-4DB8-817D-F92DF00215AE}", "Microsoft reserved partition"),
           (3, 117 * mib, 200 * gib, "{EBD0A0A2-B9E5-4433-87C0-68B6B72699C7}", "Basic data partition"),
           (4, 201 * gib, 600 * mib, "{DE94BBA4-06D1-4D40-A16A-BFD50179D6AC}", "")]
    write(target, "gpt-windows.bin", layout(1, gpt, disk=guid("{6A1B2C3D-1111-4222-8333-444455556666}")))
    mbr = [(1, mib, 100 * gib, 0x07, ""), (0, 101 * gib, 50 * gib, 0x0F, ""), (0, 0, 0, 0, ""), (0, 0, 0, 0, ""),
           (5, 101 * gib + mib, 20 * gib, 0x0B, ""), (0, 121 * gib, 29 * gib, 0x05, ""), (0, 0, 0, 0, ""),
           (0, 0, 0, 0, ""), (6, 121 * gib + mib, 29 * gib - mib, 0x83, ""), (0, 0, 0, 0, ""), (0, 0, 0, 0, ""),
           (0, 0, 0, 0, "")]
    write(target, "mbr-extended.bin", layout(0, mbr, disk=struct.pack("<I", 0x1A2B3C4D)))
    write(target, "raw.bin", layout(2, []))
    write(target, "count-past-bytes.bin", layout(1, gpt[:2], count=128))
    write(target, "count-max.bin", layout(0, mbr[:1], count=0xFFFFFFFF))
    write(target, "header-only.bin", layout(1, [])[:47])
    extents = struct.pack("<I4x", 2) + struct.pack("<I4xqq", 0, mib, gib) + struct.pack("<I4xqq", 1, mib, gib)
    write(target, "extents-spanned.bin", extents)
    write(target, "extents-count-past-bytes.bin", struct.pack("<I4x", 1000) + extents[8:32])
    full = [(n, n * mib, mib, "{EBD0A0A2-B9E5-4433-87C0-68B6B72699C7}", "Basic data partition") for n in range(1, 29)]
    write(target, "gpt-as-many-as-fit.bin", layout(1, full)[:4096])
    for name, data in file_system_starts().items():
        write(target, "first-sectors-" + name + ".bin", data)


def file_system_starts():
    """A partition's first 4 KiB for each file system the details name by its signature."""
    def start(*fields):
        data = bytearray(4096)
        for at, value in fields:
            data[at:at + len(value)] = value
        return bytes(data)
    boot = (510, b"\x55\xaa")
    fat32 = struct.pack("<HBHB", 512, 8, 32, 2) + bytes(15) + struct.pack("<II", 2 ** 22, 4000)
    fat16 = struct.pack("<HBHBHHxHH", 512, 4, 1, 2, 512, 0, 200, 0) + bytes(6) + struct.pack("<I", 200000)
    return {
        "ntfs": start((0, b"\xeb\x52\x90NTFS    "), boot),
        "exfat": start((0, b"\xeb\x76\x90EXFAT   "), boot),
        "refs": start((3, b"ReFS\0\0\0\0FSRS")),
        "bitlocker": start((0, b"\xeb\x58\x90-FVE-FS-"), boot),
        "fat32": start((0, b"\xeb\x58\x90MSDOS5.0"), (11, fat32), (82, b"FAT32   "), boot),
        "fat16": start((0, b"\xeb\x3c\x90MSDOS5.0"), (11, fat16), (54, b"FAT16   "), boot),
        "ext4": start((1080, b"\x53\xef"), (1116, struct.pack("<II", 0x3C, 0x2C2))),
        "swap": start((4086, b"SWAPSPACE2")),
        "luks": start((0, b"LUKS\xba\xbe\0\x02")),
    }


def read_expected(pages):
    rows = (pages / "expected.tsv").read_text().splitlines()[1:]
    return {name: tuple(int(v) for v in values) for name, *values in (row.split("\t") for row in rows)}


def read_identities(pages):
    rows = (pages / "identity.tsv").read_text(encoding="latin-1").splitlines()[1:]
    for row in rows:
        name, *fields = row.split("\t")
        yield name, [f[1:-1].encode("latin-1") for f in fields]


def volume_seed(image, ranges, drop=(), ending_read=0, failing=0xFFFF, sector_size=512):
    """A file_owners input: header, ranges, then each sector that holds something (not zeros, not
    a journal's 0xFF fill, not an NTFS record out of use, none of `drop`) after its number."""
    data = image.read_bytes()
    sectors = len(data) // 512
    seed = struct.pack("<HBBHBx", sectors, len(ranges), ending_read, failing, sector_size == 4096)
    seed += b"".join(struct.pack("<II", first, count) for first, count in ranges)
    unused = set()
    for sector in range(sectors):
        chunk = data[sector * 512:(sector + 1) * 512]
        if chunk[:4] == b"FILE" and not chunk[0x16] & 1:
            unused |= set(range(sector, sector + struct.unpack_from("<I", chunk, 0x1C)[0] // 512))
        if sector not in drop and sector not in unused and chunk.strip(b"\0") and chunk.strip(b"\xff"):
            seed += struct.pack("<H", sector) + chunk
    return seed


def ntfs_sectors(image, entry):
    """The sectors of an NTFS entry's unnamed data, as sleuthkit lists its clusters."""
    listing = subprocess.run(["istat", str(image), str(entry)], capture_output=True, text=True, check=True).stdout
    data = listing.split("Type: $DATA")[1].splitlines()[1:]
    clusters = [int(c) for line in data if line[:1].isdigit() for c in line.split()]
    cluster = int(subprocess.run(["fsstat", str(image)], capture_output=True, text=True, check=True)
                  .stdout.split("Cluster Size: ")[1].split()[0])
    return {c * cluster // 512 + s for c in clusters for s in range(cluster // 512)}


def file_owner_seeds(root):
    """Small real volumes made by mkntfs (one filled through ntfs-3g where it can mount), asked
    whole and in pieces; $UpCase and the journal stay out, as nothing reads them to map files."""
    target = root / "file_owners"
    with tempfile.TemporaryDirectory() as work:
        work = pathlib.Path(work)
        quiet = {"stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL, "check": True}
        ntfs = work / "ntfs.img"
        ntfs.write_bytes(bytes(1100 * 1024))
        subprocess.run(["mkntfs", "-F", "-q", "-c", "512", str(ntfs)], **quiet)
        upcase = ntfs_sectors(ntfs, 10)
        sectors = ntfs.stat().st_size // 512
        write(target, "ntfs-pieces.bin", volume_seed(ntfs, [(0, 1), (30, 60), (300, 40), (sectors - 1, 9)], upcase))
        write(target, "ntfs-mft-unreadable.bin", volume_seed(ntfs, [(0, sectors)], upcase, failing=40, ending_read=90))
        ntfs4k = work / "ntfs4k.img"
        ntfs4k.write_bytes(bytes(1100 * 1024))
        subprocess.run(["mkntfs", "-F", "-q", "-s", "4096", "-c", "4096", str(ntfs4k)], **quiet)
        write(target, "ntfs-4k-sectors.bin", volume_seed(ntfs4k, [(0, sectors // 8)], ntfs_sectors(ntfs4k, 10), sector_size=4096))
        if os.geteuid() == 0 and os.path.exists("/dev/fuse"):
            mount = work / "m"
            mount.mkdir()
            subprocess.run(["ntfs-3g", "-o", "streams_interface=windows", str(ntfs), str(mount)], **quiet)
            (mount / "dir").mkdir()
            # Zeros, which the seed leaves out: only the tables matter to the readers.
            (mount / "dir" / "file.bin").write_bytes(bytes(9000))
            (mount / "dir" / "file.txt:stream").write_bytes(bytes(3000))
            for i in range(6):
                (mount / "dir" / f"name-{i}").write_bytes(bytes(600))
                (mount / "grown.bin").open("ab").write(bytes(700))
            subprocess.run(["umount", str(mount)], check=True)
            write(target, "ntfs-files.bin", volume_seed(ntfs, [(0, sectors)], upcase))


def statistics_log():
    """Device statistics pages 0-7 as one READ LOG returns them: page 0 lists all eight, each
    page a header naming it, and on page 5 the temperatures (one of them 80h, none), on page 7
    a percentage used with reserved bits above its byte; every value supported and valid."""
    log = bytearray(8 * 512)
    log[8] = 8
    log[9:17] = bytes(range(8))
    for page in range(8):
        struct.pack_into("<HBB", log, page * 512, 1, page, 0)
    valid = 0xC0 << 56
    for page, offset, value in ((1, 0x10, 9002), (1, 0x18, 2000000000), (5, 0x08, 26), (5, 0x20, 0x80),
                                (5, 0x28, 0xFB), (7, 0x08, 0x105)):
        struct.pack_into("<Q", log, page * 512 + offset, valid | value)
    return bytes(log)


def write(directory, name, data):
    directory.mkdir(parents=True, exist_ok=True)
    (directory / name).write_bytes(data)


def main():
    root = pathlib.Path(__file__).resolve().parent / "corpus"
    pages = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else
                         pathlib.Path(__file__).resolve().parents[2] / "shared" / "smart-pages")

    layout_seeds(root)
    file_owner_seeds(root)
    nvme_seeds(root, pathlib.Path(sys.argv[2] if len(sys.argv) > 2 else
                                  pathlib.Path(__file__).resolve().parents[2] / "shared" / "nvme-pages"))

    # Real pages with drive number 0 and their thresholds pages behind them.
    smart = root / "smart_attributes"
    for page in sorted(pages.glob("*.bin")):
        write(smart, page.name, page.read_bytes() + bytes(4) + (pages / "thresholds" / page.name).read_bytes())
    write(smart, "all-zero.bin", bytes(512))
    write(smart, "statistics-eight-pages.bin", statistics_log())
    write(smart, "full-table-max-raw.bin",
          smart_page([(slot, (9, 12, 190, 194)[slot % 4], b"\xff" * 6) for slot in range(30)]))
    write(smart, "temperature-190-after-194.bin",
          smart_page([(3, 194, b"\x2d\x00\x14\x00\x32\x00"), (7, 190, b"\x1e\x00\x00\x00\x00\x00")]))
    # A trailing drive number for the command: odd and negative.
    write(smart, "odd-negative-drive.bin", smart_page([(0, 9, b"\x64\x00\x00\x00\x01\x00")]) + b"\xfd\xff\xff\xff")

    # A real page and its thresholds page, then what a USB bridge returned with the page: flags
    # (bit 0 the request succeeded, bit 1 the thresholds command), SCSI status, transferred length.
    first = sorted(pages.glob("*.bin"))[0]
    answered = first.read_bytes() + bytes(4) + (pages / "thresholds" / first.name).read_bytes()
    write(smart, "bridge-good.bin", answered + struct.pack("<BBI", 1, 0, 512))
    write(smart, "bridge-check-condition.bin", answered + struct.pack("<BBI", 3, 2, 0))
    write(smart, "bridge-busy.bin", answered + struct.pack("<BBI", 1, 8, 512))
    write(smart, "bridge-nothing-transferred.bin", answered + struct.pack("<BBI", 1, 0, 0))
    write(smart, "bridge-511-bytes.bin", answered + struct.pack("<BBI", 1, 0, 511))
    write(smart, "bridge-request-failed.bin", answered + struct.pack("<BBI", 2, 0, 512))
    write(smart, "bridge-wrong-checksum.bin",
          bytes([answered[0] ^ 1]) + answered[1:] + struct.pack("<BBI", 1, 0, 512))
    # The same bytes as an NVMe bridge's answer (flag bits 2-3 the family, bit 4 Identify, bit 5
    # a "USB\VID_" device ID): a JMicron reply with and without a status, an Identify whose model
    # is text, a device ID of a known bridge.
    reply = bytearray(b"NVME" + bytes(508))
    write(smart, "nvme-jmicron-reply.bin", bytes(reply) + bytes(516) + struct.pack("<BBI", 0x09, 0, 512))
    struct.pack_into("<I", reply, 20, 0x00060000)
    write(smart, "nvme-jmicron-reply-status.bin", bytes(reply) + bytes(516) + struct.pack("<BBI", 0x09, 0, 512))
    identify = bytearray(512)
    identify[4:24] = b"S4EWNX0R123456      "
    identify[24:64] = b"NVME DRIVE 1TB".ljust(40)
    identify[64:72] = b"2B2QEXM7"
    write(smart, "nvme-identify.bin", bytes(identify) + bytes(516) + struct.pack("<BBI", 0x11, 0, 4096))
    write(smart, "nvme-device-id.bin", b"0BDA&PID_9210\\0123456789ABCDEF01" + bytes(996) + struct.pack("<BBI", 0x21, 0, 512))

    descriptors = root / "descriptor_strings"
    trims = root / "trim_blanks"
    for name, (model, serial, firmware) in read_identities(pages):
        write(descriptors, name + ".bin", descriptor(model, serial, firmware))
        for label, text in (("model", model), ("serial", serial), ("firmware", firmware)):
            write(trims, f"{name}-{label}.txt", text)

    write(descriptors, "no-serial.bin", descriptor(b"  Model  ", None, b"FW01"))
    write(descriptors, "all-blank.bin", descriptor(b" \t\r\n ", b"    ", b"\n"))
    write(descriptors, "empty-strings.bin", descriptor(b"", b"", b""))
    write(descriptors, "high-bytes.bin", descriptor(b"\xc4\xd6\xdc \xe9\xff", b"\x01\x7f\x80", b"\x0b\x0c"))
    write(descriptors, "all-zero.bin", bytes(ANSWER_SIZE))
    write(descriptors, "no-nul-to-end.bin", raw_offsets((1000, 1023, 1010), b"x" * 64, 960))
    write(descriptors, "offsets-past-end.bin", raw_offsets((1024, 0xFFFFFFFF, 0x80000400)))
    write(descriptors, "offsets-into-header.bin", raw_offsets((1, 16, 24)))
    write(descriptors, "shared-strings.bin", raw_offsets((100, 102, 100), b"  shared text  ", 100))
    for field in (1020, 1021, 0xFFFFFFFFFFFFFFFF):
        write(descriptors, f"offset-field-{field:x}.bin",
              descriptor(b"M", b"S", b"F", struct.pack("<Q", field)))

    cells = root / "cell_texts"
    expected = read_expected(pages)
    capacities = (260, 1, 2, 3, 4, 5, 8, 16, 20, 41)
    for number, (name, strings) in enumerate(read_identities(pages)):
        temperature, hours, cycles = expected[name]
        texts = [s.decode("latin-1").strip(" ") for s in strings] + ["Good" if number % 3 else "Caution / Bad"]
        column = number % 12 - 1
        write(cells, f"{name}-column{column}.bin",
              cell_case(column, capacities[number % len(capacities)], number, (number + 1) << 37,
                        temperature, hours, cycles, texts, FAILURE_PREDICTED if number % 3 == 0 else 0))
    for column in range(10):
        write(cells, f"not-available-column{column}.bin", cell_case(column, 260))
    write(cells, "zeros-column6.bin", cell_case(6, 260, temperature=0, hours=0, cycles=0))
    write(cells, "long-model-cut.bin", cell_case(1, 16, strings=("M" * 300, "S", "F", "Good")))
    write(cells, "no-buffer.bin", cell_case(1, 260, flags=NO_BUFFER))
    write(cells, "negative-capacity.bin", cell_case(0, -1))
    write(cells, "size-1.5-gib.bin", cell_case(4, 260, size=3 << 29))
    write(cells, "extremes-column7.bin", cell_case(7, 20, -2**31, 2**63 - 1, 2**31 - 1, 2**63 - 1, -2**63))

    for name, text in (("empty", b""), ("blanks", b" \t\r\n"), ("one-char", b"x"),
                       ("controls-kept", b"\v\f x \0\x1f"), ("inner-blanks", b"\ta  b\r\n"),
                       ("nul-padded", b"SAMSUNG HS122JC " + bytes(24))):
        write(trims, name + ".txt", text)


if __name__ == "__main__":
    main()
