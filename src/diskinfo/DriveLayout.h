#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

// Which volume lies where: readers of the partition table a disk driver hands out
// (DRIVE_LAYOUT_INFORMATION_EX) and of the disk extents a volume lies on (VOLUME_DISK_EXTENTS),
// and the names a technician knows the volumes of a drive by. Drivers fill these answers with
// counts of their own, so every reader stays inside the bytes it is given. Free of
// <windows.h>: built natively under the sanitizers and fuzzed.
class DriveLayout {
public:
    DriveLayout() = delete;

    // A GUID as Windows keeps it: the first three fields little-endian, the last eight bytes as they come.
    struct Guid {
        std::uint32_t data1 = 0;
        std::uint16_t data2 = 0;
        std::uint16_t data3 = 0;
        std::array<std::uint8_t, 8> data4{};
        friend bool operator==(const Guid&, const Guid&) = default;
    };

    // PARTITION_STYLE
    enum class Style : std::uint32_t { Mbr = 0, Gpt = 1, Raw = 2 };

    // DRIVE_LAYOUT_INFORMATION_EX: style, count, the MBR or GPT disk fields, then the entries.
    static constexpr std::size_t kStyleField = 0;
    static constexpr std::size_t kCountField = 4;
    static constexpr std::size_t kDiskField = 8; // MBR signature or GPT disk GUID
    static constexpr std::size_t kEntriesField = 48;
    // PARTITION_INFORMATION_EX, each entry; its MBR or GPT fields from kEntryDetailField on.
    static constexpr std::size_t kEntrySize = 144;
    static constexpr std::size_t kEntryStartField = 8;
    static constexpr std::size_t kEntryLengthField = 16;
    static constexpr std::size_t kEntryNumberField = 24;
    static constexpr std::size_t kEntryDetailField = 32;
    static constexpr std::size_t kGptIdField = 16;   // after the type GUID at 0
    static constexpr std::size_t kGptNameField = 40; // after the attributes
    static constexpr std::size_t kGptNameLength = 36;
    static constexpr std::size_t kMbrEntriesPerTable = 4;
    // MBR types of an extended partition, which holds the logical ones.
    static bool IsExtended(std::uint8_t mbrType);

    struct Partition {
        std::uint32_t number = 0;
        std::int64_t start = 0;
        std::int64_t length = 0;
        std::uint8_t mbrType = 0; // MBR only
        Guid gptType;             // GPT only
        std::wstring name;        // GPT only
        std::wstring fileSystem;  // as its first sectors tell it, for the details only
    };
    struct Layout {
        Style style = Style::Raw;
        std::uint32_t mbrSignature = 0;
        Guid gptDiskId;
        std::vector<Partition> partitions; // those with a length, in table order
    };
    // nullopt when the answer is shorter than its header or names no known style. Only the
    // entries that lie whole inside `answer` are read, whatever the count says. Windows hands
    // out an MBR disk's tables four entries each, the MBR's first and then one per logical
    // partition; an extended entry after the first four only links to the next of those, and is
    // left out.
    static std::optional<Layout> Read(std::span<const std::uint8_t> answer);

    // VOLUME_DISK_EXTENTS: a count, then DISK_EXTENT entries from kExtentsField on.
    static constexpr std::size_t kExtentsField = 8;
    static constexpr std::size_t kExtentSize = 24;
    static constexpr std::size_t kExtentStartField = 8;
    static constexpr std::size_t kExtentLengthField = 16;
    struct Extent {
        std::uint32_t disk = 0;
        std::int64_t start = 0;
        std::int64_t length = 0;
        friend bool operator==(const Extent&, const Extent&) = default;
    };
    // The extents that lie whole inside `answer`, at most as many as its count names.
    static std::vector<Extent> ReadExtents(std::span<const std::uint8_t> answer);

    // A volume as Windows names it, without anything its file system would have to answer.
    struct Volume {
        std::wstring name;               // "\\?\Volume{...}\"
        std::vector<std::wstring> paths; // its letters and folders: "C:\", "C:\Mount\Data\"
        std::vector<Extent> extents;
    };

    // "C:" for a drive letter's root, a folder without its closing backslash.
    static std::wstring MountName(const std::wstring& path);
    // Whether `volume` has an extent on disk `disk`, starting at `start` when that is given.
    static bool LiesOn(const Volume& volume, std::uint32_t disk, std::optional<std::int64_t> start = std::nullopt);
    // The volumes of disk `disk` (those that start at `start` there, when it is given) by name, in
    // order and blank-separated: each volume's letters, or its folders when it has no letter.
    // Empty when none is mounted there.
    static std::wstring MountNames(const std::vector<Volume>& volumes, std::uint32_t disk,
                                   std::optional<std::int64_t> start = std::nullopt);
};
