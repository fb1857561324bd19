#include "FuzzCheck.h"

#include "diskinfo/LittleEndian.h"
#include "filesystems/FileOwners.h"

#include <vector>

// A small volume and the ranges asked of it, through FindOwners to whichever reader the boot
// sector names. Layout (little-endian): the volume's 512-byte blocks (u16, at most kMostBlocks),
// the count of ranges (u8, at most 8), the 1-based number of the read that ends the map (u8, 0
// for none), a sector whose reads fail (u16), the sector size (u8: 4,096 when bit 0 is set, else
// 512), a spare byte; each range as first and count in sectors (u32, u32); then blocks as their
// number (u16) and 512 bytes. Blocks not given are zero, so a seed keeps only those that matter.
constexpr std::size_t kBlock = 512;
constexpr std::size_t kMostBlocks = 4096;
constexpr std::size_t kHeader = 8;
constexpr std::size_t kRange = 8;
constexpr std::size_t kMostRanges = 8;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < kHeader) {
        return 0;
    }
    const std::span<const std::uint8_t> input(data, size);
    const std::size_t blocks = std::min<std::size_t>(ReadLe(input, 0, 2), kMostBlocks);
    const std::size_t sectorSize = (data[6] & 1) != 0 ? 4096 : 512;
    const std::size_t sectors = blocks * kBlock / sectorSize;
    const std::size_t rangeCount = std::min<std::size_t>(data[2], kMostRanges);
    const std::uint64_t endingRead = data[3];
    const std::uint64_t failing = ReadLe(input, 4, 2);
    if (size < kHeader + rangeCount * kRange) {
        return 0;
    }
    std::vector<FileOwners::SectorRange> ranges;
    for (std::size_t r = 0; r < rangeCount; ++r) {
        const std::size_t range = kHeader + r * kRange;
        ranges.push_back({ReadLe(input, range, 4), ReadLe(input, range + 4, 4)});
    }
    // Made once: a fresh volume per input would cost more than the readers.
    static std::vector<std::uint8_t> image(kMostBlocks * kBlock);
    std::fill_n(image.begin(), blocks * kBlock, std::uint8_t{0});
    for (std::size_t at = kHeader + rangeCount * kRange; at + 2 + kBlock <= size; at += 2 + kBlock) {
        const std::size_t block = ReadLe(input, at, 2);
        if (block < blocks) {
            std::copy_n(data + at + 2, kBlock, image.begin() + static_cast<std::ptrdiff_t>(block * kBlock));
        }
    }

    FileOwners::Volume volume;
    volume.sectorCount = sectors;
    volume.sectorSize = static_cast<std::uint32_t>(sectorSize);
    std::uint64_t reads = 0;
    volume.read = [&](std::uint64_t first, std::span<std::uint8_t> into) {
        // Whole sectors inside the volume, as the drive's read-only handle takes them.
        FUZZ_CHECK(into.size() % sectorSize == 0 && !into.empty());
        FUZZ_CHECK(first <= sectors && into.size() / sectorSize <= sectors - first);
        if (++reads == endingRead) {
            return FileOwners::ReadResult{FileOwners::ReadResult::Outcome::Ended, 0};
        }
        if (failing >= first && failing < first + into.size() / sectorSize) {
            return FileOwners::ReadResult{FileOwners::ReadResult::Outcome::Unreadable, 23};
        }
        std::copy_n(image.begin() + static_cast<std::ptrdiff_t>(first * sectorSize), into.size(), into.begin());
        return FileOwners::ReadResult{};
    };
    volume.progress = [](int percent) { FUZZ_CHECK(percent >= 0 && percent <= 100); };

    const FileOwners::Map map = FileOwners::FindOwners(volume, ranges);
    FUZZ_CHECK(map.outcome == FileOwners::Map::Outcome::Mapped || map.owners.empty());
    // Every owner inside the volume and inside the asked sectors (the union of the ranges, which
    // may overlap), in order.
    std::sort(ranges.begin(), ranges.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<FileOwners::SectorRange> asked;
    for (const FileOwners::SectorRange& range : ranges) {
        if (!asked.empty() && range.first <= asked.back().first + asked.back().count) {
            asked.back().count = std::max(asked.back().count, range.first + range.count - asked.back().first);
        } else {
            asked.push_back(range);
        }
    }
    std::uint64_t previous = 0;
    // How far each asked stretch is covered by pieces without a gap.
    std::vector<std::uint64_t> reach;
    for (const FileOwners::SectorRange& range : asked) {
        reach.push_back(range.first);
    }
    for (const FileOwners::Owner& owner : map.owners) {
        FUZZ_CHECK(owner.count > 0 && owner.first < sectors && owner.count <= sectors - owner.first);
        FUZZ_CHECK(!owner.file.empty() && owner.first >= previous);
        previous = owner.first;
        const auto in = std::find_if(asked.begin(), asked.end(), [&](const FileOwners::SectorRange& range) {
            return owner.first >= range.first && owner.first + owner.count <= range.first + range.count;
        });
        FUZZ_CHECK(in != asked.end());
        std::uint64_t& covered = reach[static_cast<std::size_t>(in - asked.begin())];
        FUZZ_CHECK(owner.first <= covered);
        covered = std::max(covered, owner.first + owner.count);
    }
    // A mapped volume has every asked sector inside it in a piece.
    if (map.outcome == FileOwners::Map::Outcome::Mapped) {
        for (std::size_t i = 0; i < asked.size(); ++i) {
            FUZZ_CHECK(asked[i].first >= sectors || reach[i] >= std::min<std::uint64_t>(asked[i].first + asked[i].count, sectors));
        }
    }
    return 0;
}
