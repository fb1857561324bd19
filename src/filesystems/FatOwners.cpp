#include "filesystems/ClusterVolume.h"
#include "filesystems/FileOwners.h"

#include "diskinfo/FatLayout.h"
#include "diskinfo/LittleEndian.h"

#include <algorithm>
#include <array>

// FAT12, FAT16 and FAT32: the BIOS parameter block, the FATs, the root directory (a fixed area
// before the heap on FAT12/16, a chain on FAT32) and directories of 32-byte entries, long names
// in entries of their own before the 8.3 entry they belong to.
namespace FileOwners {

namespace {

using namespace Clusters;

using namespace FatLayout;

// FAT32's part of the BIOS parameter block.
constexpr std::size_t kJump = 0;
constexpr std::size_t kExtendedFlags = 40;
constexpr std::size_t kRootCluster = 44;
constexpr std::size_t kFsInfoSector = 48;
// FAT32's FSInfo sector counts the free clusters, which tells how far the walk has come.
constexpr std::size_t kFsInfoFreeCount = 488;
constexpr std::uint64_t kFsInfoLeadSignature = 0x41615252;
constexpr std::size_t kFsInfoSignature = 484;
constexpr std::uint64_t kFsInfoStructSignature = 0x61417272;
constexpr std::size_t kBpbSize = 512;
static_assert(kBootSignature + 2 == kBpbSize);
// FAT32 may keep one FAT active alone: bit 7 of its flags, the active one's number below.
constexpr std::uint64_t kOneFatActive = 0x80;

// A directory entry.
constexpr std::size_t kAttributes = 11;
constexpr std::size_t kCaseFlags = 12;
constexpr std::size_t kClusterHigh = 20;
constexpr std::size_t kClusterLow = 26;
constexpr std::size_t kFileSize = 28;
constexpr std::uint8_t kEndOfDirectory = 0x00;
constexpr std::uint8_t kDeleted = 0xE5;
constexpr std::uint8_t kKanjiE5 = 0x05; // a first byte of E5h, stored so as not to read as deleted
constexpr std::uint8_t kLongName = 0x0F;
constexpr std::uint8_t kVolumeLabel = 0x08;
constexpr std::uint8_t kDirectory = 0x10;
constexpr std::uint8_t kLowerBase = 0x08;
constexpr std::uint8_t kLowerExtension = 0x10;
// A long-name entry: its order (0x40 on the last, which comes first), its checksum of the 8.3
// name, and where its thirteen UTF-16 characters lie.
constexpr std::uint8_t kLastLongEntry = 0x40;
constexpr std::size_t kLongChecksum = 13;
constexpr std::size_t kMostLongEntries = 20;
constexpr std::size_t kCharsPerLongEntry = 13;
constexpr std::array<std::size_t, kCharsPerLongEntry> kLongChars{1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
// A directory holds at most 65,536 entries of 32 bytes.
constexpr std::uint64_t kMostDirectoryBytes = 65536 * 32;

bool IsPowerOfTwo(std::uint64_t value)
{
    return value != 0 && (value & (value - 1)) == 0;
}

struct Bpb {
    std::uint64_t bytesPerSector = 0;
    std::uint64_t sectorsPerCluster = 0;
    std::uint64_t reserved = 0;
    std::uint64_t fats = 0;
    std::uint64_t rootEntries = 0;
    std::uint64_t totalSectors = 0;
    std::uint64_t fatSize = 0;
    std::uint64_t activeFat = 0; // FAT32's only active copy, when mirroring is off
    bool mirrored = true;
    std::uint32_t rootCluster = 0;
    std::uint64_t fsInfo = 0; // FAT32's FSInfo sector
    unsigned bits = 0;
    std::uint64_t clusters = 0;
};

// The parameters, when they are FAT's: the kind by the count of data clusters, the one rule
// that tells them apart, and a FAT long enough for them.
std::optional<Bpb> ReadBpb(std::span<const std::uint8_t> sector)
{
    Bpb bpb;
    bpb.bytesPerSector = ReadLe(sector, kBytesPerSector, 2);
    bpb.sectorsPerCluster = sector[kSectorsPerCluster];
    bpb.reserved = ReadLe(sector, kReservedSectors, 2);
    bpb.fats = sector[kFatCount];
    bpb.rootEntries = ReadLe(sector, kRootEntries, 2);
    bpb.totalSectors = ReadLe(sector, kTotalSectors16, 2);
    bpb.totalSectors = bpb.totalSectors != 0 ? bpb.totalSectors : ReadLe(sector, kTotalSectors32, 4);
    bpb.fatSize = ReadLe(sector, kFatSize16, 2);
    const bool fat32Layout = bpb.fatSize == 0;
    bpb.fatSize = fat32Layout ? ReadLe(sector, kFatSize32, 4) : bpb.fatSize;
    if ((sector[kJump] != 0xEB && sector[kJump] != 0xE9) || ReadLe(sector, kBootSignature, 2) != 0xAA55 ||
        bpb.bytesPerSector < 512 || bpb.bytesPerSector > 4096 || !IsPowerOfTwo(bpb.bytesPerSector) ||
        !IsPowerOfTwo(bpb.sectorsPerCluster) || bpb.reserved == 0 || bpb.fats == 0 || bpb.fatSize == 0) {
        return std::nullopt;
    }
    const std::uint64_t rootSectors = (bpb.rootEntries * 32 + bpb.bytesPerSector - 1) / bpb.bytesPerSector;
    const std::uint64_t overhead = bpb.reserved + bpb.fats * bpb.fatSize + rootSectors;
    if (overhead >= bpb.totalSectors) {
        return std::nullopt;
    }
    bpb.clusters = (bpb.totalSectors - overhead) / bpb.sectorsPerCluster;
    bpb.bits = bpb.clusters <= kMostFat12Clusters ? 12 : bpb.clusters <= kMostFat16Clusters ? 16 : 32;
    if (bpb.bits == 32) {
        const std::uint64_t flags = ReadLe(sector, kExtendedFlags, 2);
        bpb.mirrored = (flags & kOneFatActive) == 0;
        bpb.activeFat = flags & 0xF;
        bpb.rootCluster = static_cast<std::uint32_t>(ReadLe(sector, kRootCluster, 4) & 0x0FFFFFFF);
        bpb.fsInfo = ReadLe(sector, kFsInfoSector, 2);
    }
    const bool fits = (bpb.clusters + 2) * bpb.bits <= bpb.fatSize * bpb.bytesPerSector * 8;
    const bool layoutAgrees = (bpb.bits == 32) == (fat32Layout && bpb.rootEntries == 0);
    if (!fits || !layoutAgrees || bpb.activeFat >= bpb.fats || (bpb.bits == 32 && bpb.rootCluster < 2)) {
        return std::nullopt;
    }
    return bpb;
}

// The 8.3 name, lower case where the entry's flags say so, as Windows shows it.
std::wstring ShortName(std::span<const std::uint8_t> entry)
{
    const auto part = [&](std::size_t from, std::size_t length, bool lower) {
        std::wstring text;
        for (std::size_t i = from; i < from + length; ++i) {
            auto c = static_cast<wchar_t>(i == 0 && entry[i] == kKanjiE5 ? kDeleted : entry[i]);
            text += lower && c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c;
        }
        return text.substr(0, text.find_last_not_of(L' ') + 1);
    };
    const std::wstring base = part(0, 8, (entry[kCaseFlags] & kLowerBase) != 0);
    const std::wstring extension = part(8, 3, (entry[kCaseFlags] & kLowerExtension) != 0);
    return extension.empty() ? base : base + L"." + extension;
}

std::uint8_t ShortNameChecksum(std::span<const std::uint8_t> entry)
{
    std::uint8_t sum = 0;
    for (std::size_t i = 0; i < 11; ++i) {
        sum = static_cast<std::uint8_t>(((sum & 1) << 7) + (sum >> 1) + entry[i]);
    }
    return sum;
}

// The FAT's word on each cluster, and the entries of a directory: a long name is gathered over
// its entries and kept only when they come in order and their checksum is the 8.3 entry's;
// otherwise the 8.3 name stands.
class FatRules final : public Rules {
public:
    FatRules(Fat& fat, bool fat32) : fat_(fat), fat32_(fat32) {}

    ClusterState StateOf(std::uint32_t cluster) override
    {
        const std::optional<std::uint32_t> entry = fat_.Entry(cluster);
        return !entry ? ClusterState::Unknown
               : *entry == 0 ? ClusterState::Free
               : *entry == fat_.BadCluster() ? ClusterState::Bad
                                             : ClusterState::Used;
    }

    void Restart() override { next_ = kNone; }

    bool Take(std::span<const std::uint8_t> entry, std::vector<Found>& found) override
    {
        if (entry.empty() || entry[0] == kDeleted) {
            next_ = kNone;
            return true;
        }
        if (entry[0] == kEndOfDirectory) {
            return false;
        }
        if ((entry[kAttributes] & 0x3F) == kLongName) {
            LongPart(entry);
            return true;
        }
        const bool longName = next_ == 0 && checksum_ == ShortNameChecksum(entry);
        next_ = kNone;
        if ((entry[kAttributes] & kVolumeLabel) != 0 || entry[0] == '.') {
            return true;
        }
        std::uint32_t first = static_cast<std::uint32_t>(ReadLe(entry, kClusterLow, 2));
        if (fat32_) {
            first |= static_cast<std::uint32_t>(ReadLe(entry, kClusterHigh, 2) << 16);
        }
        if (first != 0) {
            std::wstring name = ShortName(entry);
            if (longName) {
                name.assign(chars_.begin(), std::find(chars_.begin(), chars_.end(), L'\0'));
            }
            found.push_back({std::move(name), first, ReadLe(entry, kFileSize, 4), false,
                             (entry[kAttributes] & kDirectory) != 0});
        }
        return true;
    }

private:
    static constexpr std::size_t kNone = ~std::size_t{0};

    void LongPart(std::span<const std::uint8_t> entry)
    {
        const std::size_t order = entry[0] & 0x1F;
        if ((entry[0] & kLastLongEntry) != 0) {
            next_ = order == 0 || order > kMostLongEntries ? kNone : order;
            chars_.assign(order * kCharsPerLongEntry, L'\0');
            checksum_ = entry[kLongChecksum];
        }
        if (next_ == kNone || order == 0 || order != next_ || entry[kLongChecksum] != checksum_) {
            next_ = kNone;
            return;
        }
        for (std::size_t i = 0; i < kCharsPerLongEntry; ++i) {
            chars_[(order - 1) * kCharsPerLongEntry + i] = static_cast<wchar_t>(ReadLe(entry, kLongChars[i], 2));
        }
        next_ = order - 1;
    }

    Fat& fat_;
    bool fat32_;
    std::size_t next_ = kNone; // the order of the long-name entry expected next; 0 once complete
    std::uint8_t checksum_ = 0;
    std::wstring chars_;
};

// As FSInfo counts them when it does, or else all of them.
std::uint64_t ClustersInUse(Reader& reader, const Bpb& bpb)
{
    std::vector<std::uint8_t> info(bpb.bytesPerSector);
    if (bpb.bits != 32 || bpb.fsInfo == 0 || bpb.fsInfo >= bpb.reserved ||
        !reader.Read(bpb.fsInfo * bpb.bytesPerSector, info) || ReadLe(info, 0, 4) != kFsInfoLeadSignature ||
        ReadLe(info, kFsInfoSignature, 4) != kFsInfoStructSignature) {
        return bpb.clusters;
    }
    const std::uint64_t free = ReadLe(info, kFsInfoFreeCount, 4);
    return free <= bpb.clusters ? bpb.clusters - free : bpb.clusters;
}

} // namespace

Map FindFatOwners(const Volume& volume, std::span<const SectorRange> ranges)
{
    Map result;
    Reader reader(volume);
    std::vector<std::uint8_t> sector(kBpbSize);
    const bool read = reader.Read(0, sector);
    if (reader.Ended()) {
        result.outcome = Map::Outcome::Ended;
        return result;
    }
    const std::optional<Bpb> bpb = read ? ReadBpb(sector) : std::nullopt;
    if (!bpb) {
        return result;
    }
    result.fileSystem = bpb->bits == 12 ? L"FAT12" : bpb->bits == 16 ? L"FAT16" : L"FAT32";
    const std::uint64_t bytes = bpb->bytesPerSector;
    const std::uint64_t fatStart = bpb->reserved * bytes;
    const std::uint64_t rootStart = fatStart + bpb->fats * bpb->fatSize * bytes;
    const std::uint64_t rootLength = bpb->rootEntries * 32;
    Heap heap;
    heap.offset = rootStart + (rootLength + bytes - 1) / bytes * bytes;
    heap.clusterSize = bpb->sectorsPerCluster * bytes;
    heap.count = static_cast<std::uint32_t>(bpb->clusters);
    const std::uint64_t heapEnd = heap.ByteOf(heap.count + std::uint64_t{2});

    OwnerMap map(volume, ranges);
    map.Claim(0, bytes, L"(boot sector)");
    map.Claim(bytes, fatStart - bytes, L"(reserved)");
    map.Claim(fatStart, rootStart - fatStart, L"(FAT)");
    map.Claim(rootStart, heap.offset - rootStart, L"(root directory)");
    map.Claim(heapEnd, volume.sectorCount * volume.sectorSize - std::min(heapEnd, volume.sectorCount * volume.sectorSize),
              L"(unused)");

    Fat::Layout layout;
    for (std::uint64_t copy = 0; copy < bpb->fats; ++copy) {
        if (bpb->mirrored || copy == bpb->activeFat) {
            const std::uint64_t at = fatStart + copy * bpb->fatSize * bytes;
            layout.copies.push_back(at);
        }
    }
    layout.length = bpb->fatSize * bytes;
    layout.bits = bpb->bits;
    layout.mask = bpb->bits == 32 ? 0x0FFFFFFF : 0xFFFFFFFF;
    layout.badCluster = bpb->bits == 12 ? 0xFF7 : bpb->bits == 16 ? 0xFFF7 : 0x0FFFFFF7;
    Fat fat(reader, std::move(layout), result.notes);
    FatRules rules(fat, bpb->bits == 32);
    ClaimUnallocated(map, heap, reader, rules);

    Progress progress(volume, ClustersInUse(reader, *bpb));
    Directory root;
    root.first = bpb->rootCluster;
    root.fixed = {rootStart, rootLength};
    Walk walk{reader, fat, heap, map, progress, result, rules,
              (kMostDirectoryBytes + heap.clusterSize - 1) / heap.clusterSize};
    walk.From(std::move(root));
    return result;
}

} // namespace FileOwners
