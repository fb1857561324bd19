#include "filesystems/ClusterVolume.h"
#include "filesystems/FileOwners.h"

#include "diskinfo/LittleEndian.h"
#include "text/Decimal.h"

#include <algorithm>
#include <string_view>

// exFAT: a boot region with its checksum (and a backup of it), a FAT that links only the
// clusters of fragmented files, an allocation bitmap that alone says which clusters are in use,
// and directories of entry sets: a File entry, its Stream Extension (where the data is, and
// whether it lies in a row with no chain in the FAT) and its File Name entries.
namespace FileOwners {

namespace {

using namespace Clusters;

// The boot sector.
constexpr std::size_t kName = 3;
constexpr std::size_t kMustBeZero = 11;
constexpr std::size_t kMustBeZeroLength = 53;
constexpr std::size_t kVolumeLength = 72;
constexpr std::size_t kFatOffset = 80;
constexpr std::size_t kFatLength = 84;
constexpr std::size_t kClusterHeapOffset = 88;
constexpr std::size_t kClusterCount = 92;
constexpr std::size_t kRootCluster = 96;
constexpr std::size_t kVolumeFlags = 106;
constexpr std::size_t kBytesPerSectorShift = 108;
constexpr std::size_t kSectorsPerClusterShift = 109;
constexpr std::size_t kFatCount = 110;
constexpr std::size_t kPercentInUse = 112;
constexpr std::size_t kBootSignature = 510;
static_assert(kMustBeZero + kMustBeZeroLength == 64);
constexpr std::uint64_t kActiveFat = 0x1;
// The main boot region's twelve sectors, then the backup's; the last of each holds the checksum
// of the eleven before it, repeated.
constexpr std::uint64_t kBootRegionSectors = 12;
constexpr std::uint64_t kFirstFatSector = 2 * kBootRegionSectors;

// Directory entries: the type's top bit says the entry is in use, the next that it is secondary.
constexpr std::size_t kEntrySize = 32;
constexpr std::uint8_t kEndOfDirectory = 0x00;
constexpr std::uint8_t kInUse = 0x80;
constexpr std::uint8_t kBitmapEntry = 0x81;
constexpr std::uint8_t kUpcaseEntry = 0x82;
constexpr std::uint8_t kFileEntry = 0x85;
constexpr std::uint8_t kStreamEntry = 0xC0;
constexpr std::uint8_t kNameEntry = 0xC1;
constexpr std::size_t kSecondaryCount = 1;
constexpr std::size_t kFileAttributes = 4;
constexpr std::size_t kFlags = 1; // the secondary entries' and the bitmap's
constexpr std::size_t kNameLength = 3;
constexpr std::size_t kFirstCluster = 20;
constexpr std::size_t kDataLength = 24;
static_assert(kDataLength + 8 == kEntrySize);
constexpr std::size_t kNameChars = 2;
constexpr std::size_t kCharsPerNameEntry = 15;
constexpr std::uint8_t kNoFatChain = 0x2;
constexpr std::uint64_t kDirectoryAttribute = 0x10;
// A directory holds at most 256 MiB of entries.
constexpr std::uint64_t kMostDirectoryBytes = 256 << 20;

struct Boot {
    std::uint64_t bytesPerSector = 0;
    std::uint64_t volumeSectors = 0;
    std::uint64_t fatOffset = 0;
    std::uint64_t fatLength = 0;
    std::uint64_t fats = 0;
    std::uint64_t activeFat = 0;
    std::uint32_t rootCluster = 0;
    std::uint64_t percentInUse = 0;
    Heap heap;
};

std::uint32_t BootChecksum(std::span<const std::uint8_t> sectors)
{
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < sectors.size(); ++i) {
        if (i != kVolumeFlags && i != kVolumeFlags + 1 && i != kPercentInUse) {
            sum = ((sum & 1) != 0 ? 0x80000000U : 0) + (sum >> 1) + sectors[i];
        }
    }
    return sum;
}

// The boot region at byte `start` (the main one at 0, or its backup twelve sectors on), when it
// checks out.
std::optional<Boot> ReadBoot(Reader& reader, std::uint64_t start)
{
    std::vector<std::uint8_t> bytes(512);
    if (!reader.Read(start, bytes)) {
        return std::nullopt;
    }
    const std::uint64_t shift = bytes[kBytesPerSectorShift];
    const std::uint64_t clusterShift = bytes[kSectorsPerClusterShift];
    const bool zero = std::all_of(bytes.begin() + kMustBeZero, bytes.begin() + kMustBeZero + kMustBeZeroLength,
                                  [](std::uint8_t b) { return b == 0; });
    if (!std::equal(bytes.begin() + kName, bytes.begin() + kName + 8, std::string_view("EXFAT   ").begin()) ||
        !zero || ReadLe(bytes, kBootSignature, 2) != 0xAA55 || shift < 9 || shift > 12 || clusterShift > 25 - shift) {
        return std::nullopt;
    }
    Boot boot;
    boot.bytesPerSector = std::uint64_t{1} << shift;
    if (start != 0 && start != kBootRegionSectors * boot.bytesPerSector) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> region(kBootRegionSectors * boot.bytesPerSector);
    if (!reader.Read(start, region)) {
        return std::nullopt;
    }
    const std::uint32_t sum = BootChecksum(std::span(region).first((kBootRegionSectors - 1) * boot.bytesPerSector));
    for (std::uint64_t at = (kBootRegionSectors - 1) * boot.bytesPerSector; at < region.size(); at += 4) {
        if (ReadLe(region, at, 4) != sum) {
            return std::nullopt;
        }
    }
    boot.volumeSectors = ReadLe(region, kVolumeLength, 8);
    boot.fatOffset = ReadLe(region, kFatOffset, 4);
    boot.fatLength = ReadLe(region, kFatLength, 4);
    boot.fats = region[kFatCount];
    boot.activeFat = ReadLe(region, kVolumeFlags, 2) & kActiveFat;
    boot.rootCluster = static_cast<std::uint32_t>(ReadLe(region, kRootCluster, 4));
    boot.percentInUse = region[kPercentInUse];
    const std::uint64_t heapSector = ReadLe(region, kClusterHeapOffset, 4);
    boot.heap.offset = heapSector * boot.bytesPerSector;
    boot.heap.clusterSize = boot.bytesPerSector << clusterShift;
    boot.heap.count = static_cast<std::uint32_t>(ReadLe(region, kClusterCount, 4));
    const bool fits = boot.fatOffset >= kFirstFatSector && (boot.fats == 1 || boot.fats == 2) &&
                      (boot.heap.count + std::uint64_t{2}) * 4 <= boot.fatLength * boot.bytesPerSector &&
                      heapSector >= boot.fatOffset + boot.fatLength * boot.fats &&
                      heapSector + (std::uint64_t{boot.heap.count} << clusterShift) <= boot.volumeSectors &&
                      boot.heap.Valid(boot.rootCluster) && boot.activeFat < boot.fats;
    return fits ? std::optional(boot) : std::nullopt;
}

// A table that the root directory lists, with its first cluster and length.
struct Table {
    bool listed = false;
    std::uint32_t first = 0;
    std::uint64_t length = 0;
};

// Where the allocation bitmap and the up-case table lie: the root directory lists them.
struct Tables {
    Table bitmap;
    Table upcase;
};

Tables FindTables(Reader& reader, std::span<const Extent> root, std::uint64_t activeFat, std::vector<std::wstring>& notes)
{
    Tables tables;
    DirectoryEntries entries(reader, root, L"\\", notes);
    for (std::span<const std::uint8_t> entry; !(tables.bitmap.listed && tables.upcase.listed) && entries.Next(entry);) {
        if (entry.empty()) {
            continue;
        }
        if (entry[0] == kEndOfDirectory) {
            break;
        }
        const Table table{true, static_cast<std::uint32_t>(ReadLe(entry, kFirstCluster, 4)), ReadLe(entry, kDataLength, 8)};
        // With two FATs there are two bitmaps, one for each.
        if (entry[0] == kBitmapEntry && (entry[kFlags] & 1) == activeFat) {
            tables.bitmap = table;
        } else if (entry[0] == kUpcaseEntry) {
            tables.upcase = table;
        }
    }
    return tables;
}

// The allocation bitmap, one bit a cluster, read a piece at a time where asked clusters lie.
class Bitmap {
public:
    Bitmap(Reader& reader, const Heap& heap, std::vector<Run> runs, std::vector<std::wstring>& notes)
        : reader_(reader), heap_(heap), runs_(std::move(runs)), notes_(notes)
    {
    }

    ClusterState State(std::uint32_t cluster)
    {
        const std::uint64_t byte = (cluster - 2) / 8;
        const std::uint64_t start = byte / kPiece * kPiece;
        if (start != pieceStart_ || !loaded_) {
            Load(start);
        }
        if (byte - start >= piece_.size()) {
            return ClusterState::Unknown;
        }
        return (piece_[byte - start] >> ((cluster - 2) % 8) & 1) != 0 ? ClusterState::Used : ClusterState::Free;
    }

private:
    // The bitmap's bytes [start, start + kPiece), through its runs; empty when any part fails.
    void Load(std::uint64_t start)
    {
        pieceStart_ = start;
        loaded_ = true;
        const std::uint64_t length = std::min(kPiece, (heap_.count + std::uint64_t{7}) / 8 - std::min(start, (heap_.count + std::uint64_t{7}) / 8));
        piece_.assign(length, 0);
        std::uint64_t filled = 0;
        for (const Run& run : runs_) {
            const std::uint64_t runStart = run.index * heap_.clusterSize;
            const std::uint64_t runEnd = runStart + run.count * heap_.clusterSize;
            const std::uint64_t from = std::max(runStart, start + filled);
            const std::uint64_t to = std::min(runEnd, start + length);
            if (from >= to || from != start + filled) {
                continue;
            }
            if (!reader_.Read(heap_.ByteOf(run.first) + (from - runStart), std::span(piece_).subspan(filled, to - from))) {
                break;
            }
            filled += to - from;
        }
        if (filled < length) {
            if (!reader_.Ended()) {
                notes_.push_back(L"Allocation bitmap bytes " + Decimal(start) + L"–" + Decimal(start + length - 1) +
                                 L" unreadable: whether clusters " + Decimal(2 + start * 8) + L"–" +
                                 Decimal(1 + (start + length) * 8) + L" are in use is unknown");
            }
            piece_.clear();
        }
    }

    Reader& reader_;
    const Heap& heap_;
    std::vector<Run> runs_;
    std::vector<std::wstring>& notes_;
    std::vector<std::uint8_t> piece_;
    std::uint64_t pieceStart_ = 0;
    bool loaded_ = false;
};

std::vector<Run> RunsOf(Fat& fat, const Heap& heap, std::uint32_t first, std::uint64_t most)
{
    std::vector<Run> runs;
    Run run;
    for (Chain chain(fat, heap, first, most, false); chain.Next(run);) {
        runs.push_back(run);
    }
    return runs;
}

// Only the bitmap says a cluster is in use (a contiguous file's clusters have no FAT entries),
// and a directory's entries come in sets: a File entry, then as many secondary entries as it
// says, the Stream Extension first. A set broken off by an entry not in use, a gap or another
// primary entry owns nothing.
class ExfatRules final : public Rules {
public:
    ExfatRules(Fat& fat, Bitmap& bitmap, bool bitmapKnown) : fat_(fat), bitmap_(bitmap), bitmapKnown_(bitmapKnown) {}

    ClusterState StateOf(std::uint32_t cluster) override
    {
        const ClusterState state = bitmapKnown_ ? bitmap_.State(cluster) : ClusterState::Unknown;
        return state == ClusterState::Used && fat_.Entry(cluster) == fat_.BadCluster() ? ClusterState::Bad : state;
    }

    void Restart() override { remaining_ = 0; }

    bool Take(std::span<const std::uint8_t> entry, std::vector<Found>& found) override
    {
        if (entry.empty()) {
            remaining_ = 0;
            return true;
        }
        const std::uint8_t type = entry[0];
        if (type == kEndOfDirectory) {
            return false;
        }
        if (type == kFileEntry) {
            remaining_ = entry[kSecondaryCount];
            item_ = Found{};
            item_.directory = (ReadLe(entry, kFileAttributes, 2) & kDirectoryAttribute) != 0;
            nameLength_ = 0;
            return true;
        }
        if (remaining_ == 0 || (type & kInUse) == 0 || (type & 0x40) == 0) {
            remaining_ = 0;
            return true;
        }
        if (type == kStreamEntry) {
            item_.contiguous = (entry[kFlags] & kNoFatChain) != 0;
            item_.first = static_cast<std::uint32_t>(ReadLe(entry, kFirstCluster, 4));
            item_.length = ReadLe(entry, kDataLength, 8);
            nameLength_ = entry[kNameLength];
        } else if (type == kNameEntry) {
            for (std::size_t i = 0; i < kCharsPerNameEntry && item_.name.size() < nameLength_; ++i) {
                item_.name += static_cast<wchar_t>(ReadLe(entry, kNameChars + 2 * i, 2));
            }
        }
        if (--remaining_ == 0 && item_.first != 0) {
            found.push_back(std::move(item_));
        }
        return true;
    }

private:
    Fat& fat_;
    Bitmap& bitmap_;
    bool bitmapKnown_;
    std::size_t remaining_ = 0;
    std::size_t nameLength_ = 0;
    Found item_;
};

std::uint64_t ClustersOf(std::uint64_t bytes, const Heap& heap)
{
    return (bytes + heap.clusterSize - 1) / heap.clusterSize;
}

} // namespace

Map FindExfatOwners(const Volume& volume, std::span<const SectorRange> ranges)
{
    Map result;
    Reader reader(volume);
    std::optional<Boot> boot = ReadBoot(reader, 0);
    // The backup's place depends on the sector size, which only a boot sector says.
    for (std::uint64_t shift = 9; shift <= 12 && !boot && !reader.Ended(); ++shift) {
        boot = ReadBoot(reader, kBootRegionSectors << shift);
    }
    if (reader.Ended()) {
        result.outcome = Map::Outcome::Ended;
        return result;
    }
    if (!boot) {
        return result;
    }
    result.fileSystem = L"exFAT";
    const Heap& heap = boot->heap;
    const std::uint64_t bytes = boot->bytesPerSector;
    const std::uint64_t heapEnd = heap.ByteOf(heap.count + std::uint64_t{2});
    const std::uint64_t volumeEnd = volume.sectorCount * volume.sectorSize;

    OwnerMap map(volume, ranges);
    map.Claim(0, kFirstFatSector * bytes, L"(boot region)");
    map.Claim(boot->fatOffset * bytes, boot->fats * boot->fatLength * bytes, L"(FAT)");
    map.Claim(kFirstFatSector * bytes, heap.offset - kFirstFatSector * bytes, L"(reserved)");
    map.Claim(heapEnd, volumeEnd - std::min(heapEnd, volumeEnd), L"(unused)");

    Fat::Layout layout;
    for (std::uint64_t copy : {boot->activeFat, 1 - boot->activeFat}) {
        if (copy < boot->fats) {
            const std::uint64_t at = (boot->fatOffset + copy * boot->fatLength) * bytes;
            layout.copies.push_back(at);
        }
    }
    layout.length = boot->fatLength * bytes;
    layout.badCluster = 0xFFFFFFF7;
    Fat fat(reader, std::move(layout), result.notes);

    const std::uint64_t mostInDirectory = ClustersOf(kMostDirectoryBytes, heap);
    std::vector<Extent> root;
    for (const Run& run : RunsOf(fat, heap, boot->rootCluster, mostInDirectory)) {
        root.push_back({heap.ByteOf(run.first), run.count * heap.clusterSize});
    }
    const Tables tables = FindTables(reader, root, boot->activeFat, result.notes);
    std::vector<Run> bitmapRuns;
    if (tables.bitmap.listed) {
        bitmapRuns = RunsOf(fat, heap, tables.bitmap.first, ClustersOf(tables.bitmap.length, heap));
    } else if (!reader.Ended()) {
        result.notes.push_back(L"The allocation bitmap is not listed: which clusters are free is unknown");
    }
    const bool bitmapKnown = !bitmapRuns.empty();
    Bitmap bitmap(reader, heap, std::move(bitmapRuns), result.notes);
    ExfatRules rules(fat, bitmap, bitmapKnown);
    ClaimUnallocated(map, heap, reader, rules);
    for (const auto& [table, name] : {std::pair{&tables.bitmap, L"(allocation bitmap)"}, {&tables.upcase, L"(up-case table)"}}) {
        if (table->listed) {
            for (const Run& run : RunsOf(fat, heap, table->first, ClustersOf(table->length, heap))) {
                map.Claim(heap.ByteOf(run.first), run.count * heap.clusterSize, name);
            }
        }
    }

    const std::uint64_t inUse = boot->percentInUse <= 100 ? heap.count * boot->percentInUse / 100 : heap.count;
    Progress progress(volume, inUse);
    Directory start;
    start.first = boot->rootCluster;
    Walk walk{reader, fat, heap, map, progress, result, rules, mostInDirectory};
    walk.From(std::move(start));
    return result;
}

} // namespace FileOwners
