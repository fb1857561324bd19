#include "ui/PartitionText.h"

#include "ui/BoundedText.h"

#include <algorithm>
#include <array>
#include <string_view>
#include <utility>

namespace {

constexpr double kBytesPerGiB = 1073741824.0;
constexpr std::size_t kCellCapacity = 64;
constexpr wchar_t kNone[] = L"-";

template <class... Args>
std::wstring Text(const wchar_t* format, Args... args)
{
    return BoundedText::Formatted<kCellCapacity>(format, args...);
}

std::wstring Gigabytes(std::int64_t bytes)
{
    return bytes < 0 ? std::wstring(kNone) : Text(L"%.1f", static_cast<double>(bytes) / kBytesPerGiB);
}

constexpr std::array<std::pair<std::wstring_view, std::wstring_view>, 12> kGptTypes{{
    {L"{C12A7328-F81F-11D2-BA4B-00A0C93EC93B}", L"EFI System"},
    {L"{E3C9E316-0B5C-4DB8-817D-F92DF00215AE}", L"Microsoft reserved"},
    {L"{EBD0A0A2-B9E5-4433-87C0-68B6B72699C7}", L"Basic data"},
    {L"{DE94BBA4-06D1-4D40-A16A-BFD50179D6AC}", L"Windows Recovery"},
    {L"{5808C8AA-7E8F-42E0-85D2-E1E90434CFB3}", L"LDM metadata"},
    {L"{AF9B60A0-1431-4F62-BC68-3311714A69AD}", L"LDM data"},
    {L"{E75CAF8F-F680-4CEE-AFA3-B001E56EFC2D}", L"Storage Spaces"},
    {L"{0FC63DAF-8483-4772-8E79-3D69D8477DE4}", L"Linux filesystem"},
    {L"{0657FD6D-A4AB-43C4-84E5-0933C84B4F4F}", L"Linux swap"},
    {L"{E6D6D379-F507-44C2-A23C-238F2A3DF928}", L"Linux LVM"},
    {L"{7C3457EF-0000-11AA-AA11-00306543ECAC}", L"Apple APFS"},
    {L"{48465300-0000-11AA-AA11-00306543ECAC}", L"Apple HFS+"},
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
    table.columns = {L"#", L"Start (GB)", L"Size (GB)", L"Type", L"Name", L"Volume", L"File System", L"Label",
                     L"Capacity (GB)", L"Free (GB)"};
    if (copy) {
        table.columns.insert(table.columns.begin() + 2, L"Start (bytes)");
    }
    for (const DriveLayout::Partition& partition : details.layout->partitions) {
        std::vector<std::wstring> row{Text(L"%u", static_cast<unsigned>(partition.number)), Gigabytes(partition.start),
                                      Gigabytes(partition.length), TypeName(details.layout->style, partition),
                                      OrNone(partition.name)};
        if (copy) {
            row.insert(row.begin() + 2, Text(L"%lld", static_cast<long long>(partition.start)));
        }
        if (const DriveLayout::Volume* volume = VolumeAt(details, partition)) {
            row.insert(row.end(), {PathsText(*volume), OrNone(volume->fileSystem), OrNone(volume->label),
                                   Gigabytes(volume->sizeBytes), Gigabytes(volume->freeBytes)});
        } else {
            row.insert(row.end(), 5, kNone);
        }
        table.rows.push_back(std::move(row));
        table.styles.push_back(DetailsText::RowStyle::Normal);
    }
    return table;
}

std::vector<std::vector<std::wstring>> PartitionText::CopyLines(const DriveDetails& details)
{
    std::vector<std::vector<std::wstring>> lines{{L"Partitions", StyleText(details)}};
    DetailsText::Table table = BuildTable(details, Purpose::Copy);
    if (!table.columns.empty()) {
        lines.push_back(std::move(table.columns));
    }
    std::move(table.rows.begin(), table.rows.end(), std::back_inserter(lines));
    return lines;
}

std::wstring PartitionText::TypeName(DriveLayout::Style style, const DriveLayout::Partition& partition)
{
    if (style == DriveLayout::Style::Gpt) {
        const std::wstring guid = GuidText(partition.gptType);
        const auto it = std::find_if(kGptTypes.begin(), kGptTypes.end(), [&](const auto& t) { return t.first == guid; });
        return it == kGptTypes.end() ? guid : std::wstring(it->second);
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
