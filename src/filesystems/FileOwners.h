#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

// Which files lie on given sectors of one volume, read raw from the drive: nothing is mounted
// (a mount writes), and only the sectors that the file tables need are read. One reader per file
// system (NtfsOwners, ExfatOwners, FatOwners), each free of <windows.h>, so they build natively
// under the sanitizers and are fuzzed; the caller supplies the reads, through the drive's
// read-only handle, with its own classes of error.
namespace FileOwners {

// What one read of whole sectors came to. `Ended` means the drive has gone or the user stopped:
// the reader gives up at once and says so.
struct ReadResult {
    enum class Outcome { Read, Unreadable, Ended };
    Outcome outcome = Outcome::Read;
    std::uint32_t error = 0; // the read's error code, when it was not Read
};

// A volume as the readers see it: its length and the drive's logical sector size, and the one
// way to read it. Sector numbers are relative to the volume's first sector; `into` is a whole
// number of sectors long.
struct Volume {
    std::uint64_t sectorCount = 0;
    std::uint32_t sectorSize = 512;
    std::function<ReadResult(std::uint64_t firstSector, std::span<std::uint8_t> into)> read;
    // How far the reading of the file table has come, 0 to 100; may be empty.
    std::function<void(int percent)> progress;
};

// Sectors of the volume, relative to its first.
struct SectorRange {
    std::uint64_t first = 0;
    std::uint64_t count = 0;
};

// One piece of an asked range and what lies there. Every sector of every asked range (inside the
// volume) is in a piece: a file, "(free space)", a piece of the file system's own structures by
// the name a technician knows ("\$MFT", "(FAT)", "(boot sector)"), or "(unknown)" where the
// tables that would tell could not be read. A sector may be in more than one piece where more
// than one thing lies there: a sector of NTFS's file table is "\$MFT" and also every file whose
// record (with its resident data) it holds.
struct Owner {
    std::uint64_t first = 0; // relative to the volume's first sector
    std::uint64_t count = 0;
    // From the root, with backslashes and no drive letter: "\Users\Ann\report.docx", a named
    // stream as "\file.txt:name", a directory's index as "\Users (index)"; or one of the
    // bracketed names above.
    std::wstring file;
    // The byte offset in the file of the piece's first sector; none for free space, the file
    // system's areas, and compressed or encrypted data ("-").
    std::optional<std::uint64_t> offset;
    friend bool operator==(const Owner&, const Owner&) = default;
};

struct Map {
    enum class Outcome {
        Mapped,        // `owners` tells
        Encrypted,     // BitLocker: "encrypted: files unknown"
        NotRead,       // a file system with no reader here (ReFS, ext...): "not read"
        NotRecognised, // a boot sector that does not check out: "file system not recognised"
        Ended,         // the drive went away or the user stopped
    };
    Outcome outcome = Outcome::NotRecognised;
    std::wstring fileSystem; // "NTFS", "exFAT", "FAT32"...; as BootSector names it
    std::vector<Owner> owners; // in order of `first`, then of `file`
    // What could not be read and what it leaves unknown, e.g. "MFT records 1,024–1,279
    // unreadable: the files there are unknown".
    std::vector<std::wstring> notes;
};

// The positions of `keys` in the order of their values, equal ones in the order they come: the
// one sort that the readers and the drive's rows all go through, rather than one for each type.
// Inline, so that the drive's rows need no link to the readers: the copies are one.
inline std::vector<std::size_t> Order(std::span<const std::uint64_t> keys)
{
    std::vector<std::size_t> order(keys.size());
    for (std::size_t index = 0; index < order.size(); ++index) {
        order[index] = index;
    }
    std::sort(order.begin(), order.end(),
              [&](std::size_t a, std::size_t b) { return keys[a] != keys[b] ? keys[a] < keys[b] : a < b; });
    return order;
}

// The ranges inside the volume (cut at its end), in order and merged where they overlap, and
// where they touch when `touching`. The readers' shared first step.
std::vector<SectorRange> Merged(const Volume& volume, std::span<const SectorRange> ranges, bool touching);

// The readers. Each expects the volume's boot sector to name its file system, and answers
// NotRecognised when it does not check out.
Map FindNtfsOwners(const Volume& volume, std::span<const SectorRange> ranges);
Map FindExfatOwners(const Volume& volume, std::span<const SectorRange> ranges);
Map FindFatOwners(const Volume& volume, std::span<const SectorRange> ranges);

// Reads the volume's first 4 KiB, tells its file system and hands the ranges to its reader.
Map FindOwners(const Volume& volume, std::span<const SectorRange> ranges);

} // namespace FileOwners
