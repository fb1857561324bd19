#include "FuzzCheck.h"

#include "diskinfo/DriveLayout.h"
#include "ui/PartitionText.h"

#include <algorithm>

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

// The partitions are the entries with a length, in order, each field from its published place;
// the details' table has a row of whole cells for each.
void CheckLayout(std::span<const std::uint8_t> answer)
{
    const auto layout = DriveLayout::Read(answer);
    const std::uint64_t style = answer.size() >= 4 ? FuzzReadLe(answer, 4) : 0;
    FUZZ_CHECK(layout.has_value() == (answer.size() >= kHeaderSize && style <= 2));
    if (!layout) {
        return;
    }
    // The disk's own field by the style: the MBR signature or the GPT disk GUID, never both.
    FUZZ_CHECK(layout->mbrSignature == (style == 0 ? FuzzReadLe(answer.subspan(8), 4) : 0));
    FUZZ_CHECK(style == 1 ? layout->gptDiskId.data1 == FuzzReadLe(answer.subspan(8), 4)
                          : layout->gptDiskId == DriveLayout::Guid{});
    std::size_t kept = 0;
    const std::size_t entries = style == 2 ? 0 : Entries(answer, kHeaderSize, kEntrySize, 4);
    for (std::size_t i = 0; i < entries; ++i) {
        const auto entry = answer.subspan(kHeaderSize + i * kEntrySize, kEntrySize);
        const auto length = static_cast<std::int64_t>(FuzzReadLe(entry.subspan(16), 8));
        if (length <= 0) {
            continue;
        }
        FUZZ_CHECK(kept < layout->partitions.size());
        const DriveLayout::Partition& partition = layout->partitions[kept++];
        FUZZ_CHECK(partition.length == length);
        FUZZ_CHECK(partition.start == static_cast<std::int64_t>(FuzzReadLe(entry.subspan(8), 8)));
        FUZZ_CHECK(partition.number == FuzzReadLe(entry.subspan(24), 4));
        FUZZ_CHECK(style != 0 || partition.mbrType == entry[32]);
        FUZZ_CHECK(style != 1 || partition.gptType.data1 == FuzzReadLe(entry.subspan(32), 4));
        FUZZ_CHECK(partition.name.size() <= 36);
    }
    FUZZ_CHECK(kept == layout->partitions.size());

    DriveDetails details;
    details.layout = layout;
    details.volumes.push_back({L"\\\\?\\Volume{1}\\", {L"C:\\"}, {{0, kept > 0 ? layout->partitions[0].start : 0, 1}},
                               L"NTFS", L"", 1, 0});
    FUZZ_CHECK(!PartitionText::StyleText(details).empty());
    const DetailsText::Table table = PartitionText::BuildTable(details);
    FUZZ_CHECK(table.rows.size() == kept && table.styles.size() == kept);
    for (const auto& row : table.rows) {
        FUZZ_CHECK(row.size() == table.columns.size());
        FUZZ_CHECK(std::none_of(row.begin(), row.end(), [](const std::wstring& cell) { return cell.empty(); }));
    }
    FUZZ_CHECK(kept == 0 || table.rows[0][5] == L"C:");
}

// The extents that lie whole in the answer, no more than its count, each field from its place.
void CheckExtents(std::span<const std::uint8_t> answer)
{
    const auto extents = DriveLayout::ReadExtents(answer);
    FUZZ_CHECK(extents.size() == Entries(answer, kExtentsHeaderSize, kExtentSize, 0));
    for (std::size_t i = 0; i < extents.size(); ++i) {
        const auto extent = answer.subspan(kExtentsHeaderSize + i * kExtentSize, kExtentSize);
        FUZZ_CHECK(extents[i].disk == FuzzReadLe(extent, 4));
        FUZZ_CHECK(extents[i].start == static_cast<std::int64_t>(FuzzReadLe(extent.subspan(8), 8)));
        FUZZ_CHECK(extents[i].length == static_cast<std::int64_t>(FuzzReadLe(extent.subspan(16), 8)));
    }
    const DriveLayout::Volume volume{L"\\\\?\\Volume{2}\\", {L"E:\\", L"C:\\Mount\\"}, extents, L"", L"", -1, -1};
    for (const DriveLayout::Extent& extent : extents) {
        FUZZ_CHECK(DriveLayout::MountNames({volume}, extent.disk) == L"E:");
    }
}

} // namespace

// The input is one answer of exactly its own size, read both as a partition table and as a
// volume's extents: whatever their counts say, AddressSanitizer sees any read past its end.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const ExactAnswer<std::uint8_t> answer(std::span<const std::uint8_t>(data, size), size);
    CheckLayout(answer.Bytes());
    CheckExtents(answer.Bytes());
    return 0;
}
