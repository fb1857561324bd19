#include "FuzzCheck.h"

#include "diskinfo/BootSector.h"
#include "diskinfo/DriveLayout.h"
#include "disktest/DriveFiles.h"
#include "report/PartitionText.h"

#include <algorithm>
#include <string_view>

namespace {

constexpr std::size_t kHeaderSize = 48; // DRIVE_LAYOUT_INFORMATION_EX up to its first entry
constexpr std::size_t kEntrySize = 144; // PARTITION_INFORMATION_EX
constexpr std::size_t kExtentsHeaderSize = 8;
constexpr std::size_t kExtentSize = 24;

// How many entries the reader may look at: what the count says, but only those whole in the answer.
std::size_t Entries(std::span<const std::uint8_t> answer, std::size_t header, std::size_t size, std::size_t countAt)
{
    if (answer.size() < header) {
        return 0;
    }
    return static_cast<std::size_t>(std::min<std::uint64_t>(FuzzReadLe(answer.subspan(countAt), 4),
                                                            (answer.size() - header) / size));
}

// A GUID's four fields from their places: three little-endian, then eight bytes as they come.
bool GuidAt(const DriveLayout::Guid& guid, std::span<const std::uint8_t> bytes)
{
    return guid.data1 == FuzzReadLe(bytes, 4) && guid.data2 == FuzzReadLe(bytes.subspan(4), 2) &&
           guid.data3 == FuzzReadLe(bytes.subspan(6), 2) && std::equal(guid.data4.begin(), guid.data4.end(), &bytes[8]);
}

// The GPT name: the UTF-16 units before the first NUL, 36 at most.
bool NameAt(const std::wstring& name, std::span<const std::uint8_t> bytes)
{
    std::size_t length = 0;
    while (length < 36 && FuzzReadLe(bytes.subspan(2 * length), 2) != 0) {
        ++length;
    }
    if (name.size() != length) {
        return false;
    }
    for (std::size_t i = 0; i < length; ++i) {
        if (static_cast<std::uint64_t>(name[i]) != FuzzReadLe(bytes.subspan(2 * i), 2)) {
            return false;
        }
    }
    return true;
}

bool IsExtended(std::uint8_t type)
{
    return type == 0x05 || type == 0x0F || type == 0x85;
}

// Ranges round each partition's start cut by the table: every asked sector once, in a row off the
// partitions or in a partition's share, and that share inside the partition.
void CheckPlan(const DriveLayout::Layout& layout)
{
    constexpr std::uint64_t kDriveSectors = std::uint64_t{1} << 40;
    std::vector<ScanRecord::Range> ranges{{0, 40}};
    for (const DriveLayout::Partition& partition : layout.partitions) {
        const std::uint64_t first = static_cast<std::uint64_t>(partition.start) / 512;
        ranges.push_back({first > 3 ? first - 3 : 0, 10});
    }
    const DriveFiles::Plan plan = DriveFiles::PlanFor(ranges, layout, {}, 0, 512, kDriveSectors);
    std::uint64_t found = 0;
    for (const DriveFiles::Row& row : plan.rows) {
        FUZZ_CHECK(row.sectors > 0);
        found += row.sectors;
    }
    for (const DriveFiles::Volume& volume : plan.volumes) {
        for (const FileOwners::SectorRange& range : volume.ranges) {
            FUZZ_CHECK(range.count > 0 && range.first < volume.sectors && range.count <= volume.sectors - range.first);
            found += range.count;
        }
    }
    FUZZ_CHECK(found == 40 + 10 * layout.partitions.size());
}

// The partitions are the entries with a length, in order, each field from its published place;
// an MBR entry after the first four whose type is extended links tables and is no partition.
// For the inputs that choose it, the details' table has a row of whole cells for each, with the
// file system the partition's first sectors named.
void CheckLayout(std::span<const std::uint8_t> answer, bool view)
{
    auto layout = DriveLayout::Read(answer);
    const std::uint64_t style = answer.size() >= 4 ? FuzzReadLe(answer, 4) : 0;
    FUZZ_CHECK(layout.has_value() == (answer.size() >= kHeaderSize && style <= 2));
    if (!layout) {
        return;
    }
    // The disk's own field by the style: the MBR signature or the GPT disk GUID, never both.
    FUZZ_CHECK(layout->mbrSignature == (style == 0 ? FuzzReadLe(answer.subspan(8), 4) : 0));
    FUZZ_CHECK(style == 1 ? GuidAt(layout->gptDiskId, answer.subspan(8)) : layout->gptDiskId == DriveLayout::Guid{});
    std::size_t kept = 0;
    const std::size_t entries = style == 2 ? 0 : Entries(answer, kHeaderSize, kEntrySize, 4);
    for (std::size_t i = 0; i < entries; ++i) {
        const auto entry = answer.subspan(kHeaderSize + i * kEntrySize, kEntrySize);
        const auto length = static_cast<std::int64_t>(FuzzReadLe(entry.subspan(16), 8));
        if (length <= 0 || (style == 0 && i >= 4 && IsExtended(entry[32]))) {
            continue;
        }
        FUZZ_CHECK(kept < layout->partitions.size());
        const DriveLayout::Partition& partition = layout->partitions[kept++];
        FUZZ_CHECK(partition.length == length);
        FUZZ_CHECK(partition.start == static_cast<std::int64_t>(FuzzReadLe(entry.subspan(8), 8)));
        FUZZ_CHECK(partition.number == FuzzReadLe(entry.subspan(24), 4));
        FUZZ_CHECK(partition.mbrType == (style == 0 ? entry[32] : 0));
        FUZZ_CHECK(style == 1 ? GuidAt(partition.gptType, entry.subspan(32)) && NameAt(partition.name, entry.subspan(72))
                              : partition.gptType == DriveLayout::Guid{} && partition.name.empty());
        FUZZ_CHECK(partition.fileSystem.empty());
    }
    FUZZ_CHECK(kept == layout->partitions.size());
    if (!view) {
        return;
    }
    CheckPlan(*layout);

    // The answer's own bytes as the first partition's first sectors, when they are enough.
    const std::wstring_view fileSystem = BootSector::FileSystemOf(answer);
    if (kept > 0) {
        layout->partitions[0].fileSystem = fileSystem;
    }
    DriveDetails details;
    details.layout = layout;
    details.volumes.push_back({L"\\\\?\\Volume{1}\\", {L"C:\\"}, {{0, kept > 0 ? layout->partitions[0].start : 0, 1}}});
    FUZZ_CHECK(!PartitionText::StyleText(details).empty());
    const DetailsText::Table table = PartitionText::BuildTable(details);
    FUZZ_CHECK(table.rows.size() == kept && table.styles.size() == kept);
    for (const auto& row : table.rows) {
        FUZZ_CHECK(row.size() == table.columns.size());
        FUZZ_CHECK(std::none_of(row.begin(), row.end(), [](const std::wstring& cell) { return cell.empty(); }));
    }
    FUZZ_CHECK(kept == 0 || table.rows[0][5] == L"C:");
    FUZZ_CHECK(kept == 0 || table.rows[0][6] == (fileSystem.empty() ? L"-" : fileSystem));
}

// The extents that lie whole in the answer, no more than its count, each field from its place;
// for the inputs that choose it, a volume's name on the disk of its first and of its last extent.
void CheckExtents(std::span<const std::uint8_t> answer, bool view)
{
    const auto extents = DriveLayout::ReadExtents(answer);
    FUZZ_CHECK(extents.size() == Entries(answer, kExtentsHeaderSize, kExtentSize, 0));
    for (std::size_t i = 0; i < extents.size(); ++i) {
        const auto extent = answer.subspan(kExtentsHeaderSize + i * kExtentSize, kExtentSize);
        FUZZ_CHECK(extents[i].disk == FuzzReadLe(extent, 4));
        FUZZ_CHECK(extents[i].start == static_cast<std::int64_t>(FuzzReadLe(extent.subspan(8), 8)));
        FUZZ_CHECK(extents[i].length == static_cast<std::int64_t>(FuzzReadLe(extent.subspan(16), 8)));
    }
    if (view && !extents.empty()) {
        const std::vector<DriveLayout::Volume> volumes{{L"\\\\?\\Volume{2}\\", {L"E:\\", L"C:\\Mount\\"}, extents}};
        FUZZ_CHECK(DriveLayout::MountNames(volumes, extents.front().disk) == L"E:");
        FUZZ_CHECK(DriveLayout::MountNames(volumes, extents.back().disk) == L"E:");
    }
}

bool HasText(std::span<const std::uint8_t> bytes, std::size_t at, std::string_view text)
{
    return std::equal(text.begin(), text.end(), &bytes[at],
                      [](char c, std::uint8_t b) { return static_cast<std::uint8_t>(c) == b; });
}

// FAT's kind by its data clusters, worked out apart from the reader; empty where the parameters
// are no FAT's.
std::wstring_view FatKind(std::span<const std::uint8_t> bytes)
{
    const std::uint64_t sector = FuzzReadLe(bytes.subspan(11), 2);
    const std::uint64_t cluster = bytes[13];
    const std::uint64_t total = FuzzReadLe(bytes.subspan(19), 2) != 0 ? FuzzReadLe(bytes.subspan(19), 2)
                                                                      : FuzzReadLe(bytes.subspan(32), 4);
    const std::uint64_t fat = FuzzReadLe(bytes.subspan(22), 2) != 0 ? FuzzReadLe(bytes.subspan(22), 2)
                                                                    : FuzzReadLe(bytes.subspan(36), 4);
    const bool sane = FuzzReadLe(bytes.subspan(510), 2) == 0xAA55 &&
                      (sector == 512 || sector == 1024 || sector == 2048 || sector == 4096) &&
                      (cluster == 1 || cluster == 2 || cluster == 4 || cluster == 8 || cluster == 16 ||
                       cluster == 32 || cluster == 64 || cluster == 128) &&
                      FuzzReadLe(bytes.subspan(14), 2) != 0 && bytes[16] != 0 && fat != 0;
    const std::uint64_t used = sane ? FuzzReadLe(bytes.subspan(14), 2) + bytes[16] * fat +
                                          (FuzzReadLe(bytes.subspan(17), 2) * 32 + sector - 1) / sector
                                    : 0;
    if (!sane || used >= total) {
        return {};
    }
    const std::uint64_t clusters = (total - used) / cluster;
    return clusters < 4085 ? L"FAT12" : clusters < 65525 ? L"FAT16" : L"FAT32";
}

// The file system of a partition's first 4 KiB: each name only with its signature in place, the
// signatures taken in their order, FAT by its cluster count; nothing from fewer bytes.
void CheckBootSector(std::span<const std::uint8_t> exact, std::span<const std::uint8_t> whole)
{
    FUZZ_CHECK(exact.size() >= BootSector::kReadSize || BootSector::FileSystemOf(exact).empty());
    using namespace std::string_view_literals;
    const std::pair<std::wstring_view, bool> signatures[] = {
        {L"LUKS", HasText(whole, 0, "LUKS\xBA\xBE"sv)},
        {L"BitLocker", HasText(whole, 3, "-FVE-FS-"sv)},
        {L"NTFS", HasText(whole, 3, "NTFS    "sv)},
        {L"exFAT", HasText(whole, 3, "EXFAT   "sv)},
        {L"ReFS", HasText(whole, 3, "ReFS\0\0\0\0"sv)},
    };
    std::wstring_view expected;
    for (const auto& [name, found] : signatures) {
        if (found && expected.empty()) {
            expected = name;
        }
    }
    if (expected.empty()) {
        expected = FatKind(whole);
    }
    if (expected.empty() && FuzzReadLe(whole.subspan(1080), 2) == 0xEF53) {
        const bool ext4 = (FuzzReadLe(whole.subspan(1120), 4) & 0x2C0) != 0;
        expected = ext4 ? L"ext4" : (FuzzReadLe(whole.subspan(1116), 4) & 4) != 0 ? L"ext3" : L"ext2";
    }
    if (expected.empty() && (HasText(whole, 4086, "SWAPSPACE2"sv) || HasText(whole, 4086, "SWAP-SPACE"sv))) {
        expected = L"Linux swap";
    }
    FUZZ_CHECK(BootSector::FileSystemOf(whole) == expected);
}

} // namespace

// The input is one answer of exactly its own size, read both as a partition table and as a
// volume's extents: whatever their counts say, AddressSanitizer sees any read past its end. The
// same bytes, zero-filled to 4 KiB, are a partition's first sectors.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::span<const std::uint8_t> input(data, size);
    const ExactAnswer<std::uint8_t> answer(input, size);
    const bool view = ChecksView(input);
    CheckLayout(answer.Bytes(), view);
    CheckExtents(answer.Bytes(), view);
    static FixedAnswer<BootSector::kReadSize> sectors;
    CheckBootSector(answer.Bytes(), sectors.Fill(input));
    return 0;
}
