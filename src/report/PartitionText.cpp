#include "report/PartitionText.h"

#include "text/BoundedText.h"

#include <algorithm>
#include <array>
#include <string_view>
#include <utility>

namespace {

constexpr double kBytesPerGiB = 1073741824.0;
constexpr std::size_t kCellCapacity = 64;
constexpr wchar_t kNone[] = L"-";

// The table's columns; the start in bytes only in the copy.
constexpr std::array<const wchar_t*, 8> kColumns{L"#",    L"Start (GB)", L"Start (bytes)", L"Size (GB)",
                                                 L"Type", L"Name",       L"Volume",        L"File System"};
constexpr std::size_t kStartBytesColumn = 2;

template <class... Args>
std::wstring Text(const wchar_t* format, Args... args)
{
    return BoundedText::Formatted<kCellCapacity>(format, args...);
}

std::wstring Gigabytes(std::int64_t bytes)
{
    return bytes < 0 ? std::wstring(kNone) : Text(L"%.1f", static_cast<double>(bytes) / kBytesPerGiB);
}

using Guid = DriveLayout::Guid;
constexpr std::array<std::pair<Guid, std::wstring_view>, 12> kGptTypes{{
    {{0xC12A7328, 0xF81F, 0x11D2, {0xBA, 0x4B, 0x00, 0xA0, 0xC9, 0x3E, 0xC9, 0x3B}}, L"EFI System"},
    {{0xE3C9E316, 0x0B5C, 0x4DB8, {0x81, 0x7D, 0xF9, 0x2D, 0xF0, 0x02, 0x15, 0xAE}}, L"Microsoft reserved"},
    {{0xEBD0A0A2, 0xB9E5, 0x4433, {0x87, 0xC0, 0x68, 0xB6, 0xB7, 0x26, 0x99, 0xC7}}, L"Basic data"},
    {{0xDE94BBA4, 0x06D1, 0x4D40, {0xA1, 0x6A, 0xBF, 0xD5, 0x01, 0x79, 0xD6, 0xAC}}, L"Windows Recovery"},
    {{0x5808C8AA, 0x7E8F, 0x42E0, {0x85, 0xD2, 0xE1, 0xE9, 0x04, 0x34, 0xCF, 0xB3}}, L"LDM metadata"},
    {{0xAF9B60A0, 0x1431, 0x4F62, {0xBC, 0x68, 0x33, 0x11, 0x71, 0x4A, 0x69, 0xAD}}, L"LDM data"},
    {{0xE75CAF8F, 0xF680, 0x4CEE, {0xAF, 0xA3, 0xB0, 0x01, 0xE5, 0x6E, 0xFC, 0x2D}}, L"Storage Spaces"},
    {{0x0FC63DAF, 0x8483, 0x4772, {0x8E, 0x79, 0x3D, 0x69, 0xD8, 0x47, 0x7D, 0xE4}}, L"Linux filesystem"},
    {{0x0657FD6D, 0xA4AB, 0x43C4, {0x84, 0xE5, 0x09, 0x33, 0xC8, 0x4B, 0x4F, 0x4F}}, L"Linux swap"},
    {{0xE6D6D379, 0xF507, 0x44C2, {0xA2, 0x3C, 0x23, 0x8F, 0x2A, 0x3D, 0xF9, 0x28}}, L"Linux LVM"},
    {{0x7C3457EF, 0x0000, 0x11AA, {0xAA, 0x11, 0x00, 0x30, 0x65, 0x43, 0xEC, 0xAC}}, L"Apple APFS"},
    {{0x48465300, 0x0000, 0x11AA, {0xAA, 0x11, 0x00, 0x30, 0x65, 0x43, 0xEC, 0xAC}}, L"Apple HFS+"},
}};

constexpr std::array<std::pair<std::uint8_t, std::wstring_view>, 11> kMbrTypes{{
    {0x05, L"Extended"},
    {0x07, L"NTFS / exFAT"},
    {0x0B, L"FAT32"},
    {0x0C, L"FAT32"},
    {0x0E, L"FAT16"},
    {0x0F, L"Extended"},
    {0x27, L"Windows Recovery"},
    {0x42, L"LDM"},
    {0x82, L"Linux swap"},
    {0x83, L"Linux"},
    {0xEE, L"GPT protective"},
}};

// The volume that starts where the partition starts on this drive, if any.
const DriveLayout::Volume* VolumeAt(const DriveDetails& details, const DriveLayout::Partition& partition)
{
    const auto disk = static_cast<std::uint32_t>(details.info.index);
    const auto it = std::find_if(details.volumes.begin(), details.volumes.end(), [&](const DriveLayout::Volume& v) {
        return DriveLayout::LiesOn(v, disk, partition.start);
    });
    return it == details.volumes.end() ? nullptr : &*it;
}

std::wstring PathsText(const DriveLayout::Volume& volume)
{
    std::wstring text;
    for (const std::wstring& path : volume.paths) {
        text += (text.empty() ? L"" : L", ") + DriveLayout::MountName(path);
    }
    return text.empty() ? L"(no letter)" : text;
}

std::wstring OrNone(const std::wstring& text)
{
    return text.empty() ? std::wstring(kNone) : text;
}

} // namespace

std::wstring PartitionText::StyleText(const DriveDetails& details)
{
    if (!details.layout) {
        return L"Not answered by the drive";
    }
    switch (details.layout->style) {
    case DriveLayout::Style::Gpt:
        return L"GPT, disk GUID " + GuidText(details.layout->gptDiskId);
    case DriveLayout::Style::Mbr:
        return Text(L"MBR, disk signature 0x%08X", static_cast<unsigned>(details.layout->mbrSignature));
    case DriveLayout::Style::Raw:
        break;
    }
    return L"RAW (no partition table)";
}

DetailsText::Table PartitionText::BuildTable(const DriveDetails& details, Purpose purpose)
{
    DetailsText::Table table;
    if (!details.layout || details.layout->partitions.empty()) {
        return table;
    }
    const bool copy = purpose == Purpose::Copy;
    for (std::size_t column = 0; column < kColumns.size(); ++column) {
        if (copy || column != kStartBytesColumn) {
            table.columns.emplace_back(kColumns[column]);
        }
    }
    for (const DriveLayout::Partition& partition : details.layout->partitions) {
        const DriveLayout::Volume* volume = VolumeAt(details, partition);
        const std::array<std::wstring, kColumns.size()> cells{
            Text(L"%u", static_cast<unsigned>(partition.number)),
            Gigabytes(partition.start),
            Text(L"%lld", static_cast<long long>(partition.start)),
            Gigabytes(partition.length),
            TypeName(details.layout->style, partition),
            OrNone(partition.name),
            volume != nullptr ? PathsText(*volume) : kNone,
            OrNone(partition.fileSystem),
        };
        std::vector<std::wstring>& row = table.rows.emplace_back();
        for (std::size_t column = 0; column < cells.size(); ++column) {
            if (copy || column != kStartBytesColumn) {
                row.push_back(cells[column]);
            }
        }
    }
    table.styles.assign(table.rows.size(), DetailsText::RowStyle::Normal);
    return table;
}

std::vector<std::vector<std::wstring>> PartitionText::CopyLines(const DriveDetails& details)
{
    std::vector<std::vector<std::wstring>> lines{{L"Partitions", StyleText(details)}};
    DetailsText::Table table = BuildTable(details, Purpose::Copy);
    if (!table.columns.empty()) {
        lines.push_back(std::move(table.columns));
    }
    for (std::vector<std::wstring>& row : table.rows) {
        lines.push_back(std::move(row));
    }
    return lines;
}

std::wstring PartitionText::TypeName(DriveLayout::Style style, const DriveLayout::Partition& partition)
{
    if (style == DriveLayout::Style::Gpt) {
        const auto it = std::find_if(kGptTypes.begin(), kGptTypes.end(),
                                     [&](const auto& t) { return t.first == partition.gptType; });
        return it == kGptTypes.end() ? GuidText(partition.gptType) : std::wstring(it->second);
    }
    const auto it = std::find_if(kMbrTypes.begin(), kMbrTypes.end(),
                                 [&](const auto& t) { return t.first == partition.mbrType; });
    return it == kMbrTypes.end() ? Text(L"0x%02X", static_cast<unsigned>(partition.mbrType)) : std::wstring(it->second);
}

std::wstring PartitionText::GuidText(const DriveLayout::Guid& guid)
{
    const auto& d = guid.data4;
    return Text(L"{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", static_cast<unsigned>(guid.data1),
                static_cast<unsigned>(guid.data2), static_cast<unsigned>(guid.data3), unsigned{d[0]}, unsigned{d[1]},
                unsigned{d[2]}, unsigned{d[3]}, unsigned{d[4]}, unsigned{d[5]}, unsigned{d[6]}, unsigned{d[7]});
}
