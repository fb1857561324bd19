#include "filesystems/FileOwners.h"

#include "diskinfo/BootSector.h"

#include <algorithm>

namespace FileOwners {

std::vector<SectorRange> Merged(const Volume& volume, std::span<const SectorRange> ranges, bool touching)
{
    std::vector<SectorRange> inside;
    std::vector<std::uint64_t> firsts;
    for (const SectorRange& range : ranges) {
        if (range.first < volume.sectorCount && range.count != 0) {
            inside.push_back({range.first, std::min(range.count, volume.sectorCount - range.first)});
            firsts.push_back(range.first);
        }
    }
    std::vector<SectorRange> merged;
    for (const std::size_t index : Order(firsts)) {
        const SectorRange& range = inside[index];
        if (!merged.empty() && (range.first < merged.back().first + merged.back().count ||
                                (touching && range.first == merged.back().first + merged.back().count))) {
            SectorRange& last = merged.back();
            last.count = std::max(last.first + last.count, range.first + range.count) - last.first;
        } else {
            merged.push_back(range);
        }
    }
    return merged;
}

Map FindOwners(const Volume& volume, std::span<const SectorRange> ranges)
{
    Map map;
    if (volume.sectorSize == 0 || volume.sectorCount == 0 || !volume.read) {
        return map;
    }
    // Whole sectors, at least as far as the boot sector's reader looks; past a short volume's
    // end the bytes stay zero.
    const std::uint64_t sectors = (BootSector::kReadSize + volume.sectorSize - 1) / volume.sectorSize;
    std::vector<std::uint8_t> start(static_cast<std::size_t>(sectors * volume.sectorSize));
    const std::uint64_t readable = std::min(sectors, volume.sectorCount);
    const ReadResult read = volume.read(0, std::span(start).first(static_cast<std::size_t>(readable * volume.sectorSize)));
    if (read.outcome == ReadResult::Outcome::Ended) {
        map.outcome = Map::Outcome::Ended;
        return map;
    }
    if (read.outcome == ReadResult::Outcome::Unreadable) {
        map.notes.push_back(L"The boot sector is unreadable");
        return map;
    }
    map.fileSystem = BootSector::FileSystemOf(start);
    Map (*const reader)(const Volume&, std::span<const SectorRange>) =
        map.fileSystem == L"NTFS"            ? FindNtfsOwners
        : map.fileSystem == L"exFAT"         ? FindExfatOwners
        : map.fileSystem.starts_with(L"FAT") ? FindFatOwners
                                             : nullptr;
    if (reader) {
        return reader(volume, ranges);
    }
    map.outcome = map.fileSystem.empty()            ? Map::Outcome::NotRecognised
                  : map.fileSystem == L"BitLocker" ? Map::Outcome::Encrypted
                                                    : Map::Outcome::NotRead;
    return map;
}

} // namespace FileOwners
