#pragma once

#include "diskinfo/DiskInfo.h"
#include "report/DetailsText.h"

#include <string>
#include <vector>

// The partitions section of the details view, as text: the table's style, one row per
// partition with the volume on it, and its lines of the copied text. Free of <windows.h>, so
// it is tested natively and fuzzed.
class PartitionText {
public:
    PartitionText() = delete;

    // "GPT, disk GUID {...}", "MBR, disk signature 0x...", "RAW (no partition table)", or that
    // the drive did not answer.
    static std::wstring StyleText(const DriveDetails& details);

    // One row per partition that has a length; no columns when there is none. The copy shows
    // the start in bytes besides.
    enum class Purpose { Window, Copy };
    static DetailsText::Table BuildTable(const DriveDetails& details, Purpose purpose = Purpose::Window);

    // The section as the clipboard takes it, cell by cell: its title and style, then the table.
    static std::vector<std::vector<std::wstring>> CopyLines(const DriveDetails& details);

    // The common name of a partition's type, else its GUID or "0x"-hex type byte.
    static std::wstring TypeName(DriveLayout::Style style, const DriveLayout::Partition& partition);
    static std::wstring GuidText(const DriveLayout::Guid& guid); // "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}"
};
