#include "diskinfo/DriveLayout.h"

#include "diskinfo/LittleEndian.h"

#include <algorithm>

namespace {

std::int64_t ReadSigned64(std::span<const std::uint8_t> bytes, std::size_t at)
{
    return static_cast<std::int64_t>(ReadLe(bytes, at, 8));
}

DriveLayout::Guid ReadGuid(std::span<const std::uint8_t> bytes, std::size_t at)
{
    DriveLayout::Guid guid;
    guid.data1 = static_cast<std::uint32_t>(ReadLe(bytes, at, 4));
    guid.data2 = static_cast<std::uint16_t>(ReadLe(bytes, at + 4, 2));
    guid.data3 = static_cast<std::uint16_t>(ReadLe(bytes, at + 6, 2));
    std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(at + 8), guid.data4.size(), guid.data4.begin());
    return guid;
}

// The GPT name up to its first NUL; 36 UTF-16 units at most.
std::wstring ReadName(std::span<const std::uint8_t> bytes, std::size_t at)
{
    std::wstring name;
    for (std::size_t i = 0; i < DriveLayout::kGptNameLength; ++i) {
        const auto unit = static_cast<wchar_t>(ReadLe(bytes, at + 2 * i, 2));
        if (unit == L'\0') {
            break;
        }
        name += unit;
    }
    return name;
}

// How many entries of `size` bytes from `first` on lie whole inside `answer`, at most `count`.
std::size_t WholeEntries(std::span<const std::uint8_t> answer, std::size_t first, std::size_t size,
                         std::uint64_t count)
{
    const std::size_t room = answer.size() > first ? (answer.size() - first) / size : 0;
    return static_cast<std::size_t>(std::min<std::uint64_t>(count, room));
}

} // namespace

std::optional<DriveLayout::Layout> DriveLayout::Read(std::span<const std::uint8_t> answer)
{
    if (answer.size() < kEntriesField) {
        return std::nullopt;
    }
    Layout layout;
    const auto style = static_cast<std::uint32_t>(ReadLe(answer, kStyleField, 4));
    if (style > static_cast<std::uint32_t>(Style::Raw)) {
        return std::nullopt;
    }
    layout.style = static_cast<Style>(style);
    if (layout.style == Style::Raw) {
        return layout;
    }
    if (layout.style == Style::Gpt) {
        layout.gptDiskId = ReadGuid(answer, kDiskField);
    } else {
        layout.mbrSignature = static_cast<std::uint32_t>(ReadLe(answer, kDiskField, 4));
    }
    const std::size_t count = WholeEntries(answer, kEntriesField, kEntrySize, ReadLe(answer, kCountField, 4));
    for (std::size_t i = 0; i < count; ++i) {
        const auto entry = answer.subspan(kEntriesField + i * kEntrySize, kEntrySize);
        Partition partition;
        partition.start = ReadSigned64(entry, kEntryStartField);
        partition.length = ReadSigned64(entry, kEntryLengthField);
        partition.number = static_cast<std::uint32_t>(ReadLe(entry, kEntryNumberField, 4));
        if (partition.length <= 0) {
            continue; // an unused slot of an MBR table
        }
        if (layout.style == Style::Gpt) {
            partition.gptType = ReadGuid(entry, kEntryDetailField);
            partition.name = ReadName(entry, kEntryDetailField + kGptNameField);
        } else {
            partition.mbrType = entry[kEntryDetailField];
            if (i >= kMbrEntriesPerTable && IsExtended(partition.mbrType)) {
                continue;
            }
        }
        layout.partitions.push_back(std::move(partition));
    }
    return layout;
}

bool DriveLayout::IsExtended(std::uint8_t mbrType)
{
    return mbrType == 0x05 || mbrType == 0x0F || mbrType == 0x85;
}

std::vector<DriveLayout::Extent> DriveLayout::ReadExtents(std::span<const std::uint8_t> answer)
{
    if (answer.size() < kExtentsField) {
        return {};
    }
    std::vector<Extent> extents(WholeEntries(answer, kExtentsField, kExtentSize, ReadLe(answer, 0, 4)));
    for (std::size_t i = 0; i < extents.size(); ++i) {
        const std::size_t at = kExtentsField + i * kExtentSize;
        extents[i] = {static_cast<std::uint32_t>(ReadLe(answer, at, 4)), ReadSigned64(answer, at + kExtentStartField),
                      ReadSigned64(answer, at + kExtentLengthField)};
    }
    return extents;
}

std::wstring DriveLayout::MountName(const std::wstring& path)
{
    if (path.size() > 1 && path.back() == L'\\') {
        return path.substr(0, path.size() - 1);
    }
    return path;
}

bool DriveLayout::LiesOn(const Volume& volume, std::uint32_t disk, std::optional<std::int64_t> start)
{
    return std::any_of(volume.extents.begin(), volume.extents.end(), [disk, start](const Extent& extent) {
        return extent.disk == disk && (!start || extent.start == *start);
    });
}

std::wstring DriveLayout::MountNames(const std::vector<Volume>& volumes, std::uint32_t disk,
                                     std::optional<std::int64_t> start)
{
    const auto isLetter = [](const std::wstring& path) { return path.size() == 3 && path[1] == L':'; };
    std::vector<std::wstring> names;
    for (const Volume& volume : volumes) {
        if (!LiesOn(volume, disk, start)) {
            continue;
        }
        const bool hasLetter = std::any_of(volume.paths.begin(), volume.paths.end(), isLetter);
        for (const std::wstring& path : volume.paths) {
            if (isLetter(path) == hasLetter) {
                // A handful of names: kept in order as they come, which costs less code than a sort.
                std::wstring name = MountName(path);
                names.insert(std::upper_bound(names.begin(), names.end(), name), std::move(name));
            }
        }
    }
    std::wstring text;
    for (const std::wstring& name : names) {
        text += (text.empty() ? L"" : L" ") + name;
    }
    return text;
}
