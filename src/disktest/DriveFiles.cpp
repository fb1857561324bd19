#include "disktest/DriveFiles.h"

#include <algorithm>
#include <limits>

namespace {

// A GPT's entries take 16 KiB at each end of the drive, after the header at the start and before
// the backup header at the end, whatever the sector size; the protective MBR comes first.
constexpr std::uint64_t kGptEntriesBytes = 16 * 1024;

struct Area {
    std::uint64_t first = 0;
    std::uint64_t end = 0;
    std::size_t volume = 0; // in the plan's volumes; kTable for the partition table's sectors
};
constexpr std::size_t kTable = std::numeric_limits<std::size_t>::max();

std::vector<Area> TableAreas(DriveLayout::Style style, std::uint32_t sectorSize, std::uint64_t driveSectors)
{
    if (style == DriveLayout::Style::Mbr) {
        return {{0, 1, kTable}};
    }
    if (style != DriveLayout::Style::Gpt) {
        return {};
    }
    const std::uint64_t entries = kGptEntriesBytes / sectorSize;
    const std::uint64_t backup = std::min(driveSectors, entries + 1);
    return {{0, std::min(driveSectors, entries + 2), kTable}, {driveSectors - backup, driveSectors, kTable}};
}

} // namespace

DriveFiles::Plan DriveFiles::PlanFor(std::span<const ScanRecord::Range> ranges,
                                     const std::optional<DriveLayout::Layout>& layout,
                                     const std::vector<DriveLayout::Volume>& volumes, std::uint32_t disk,
                                     std::uint32_t sectorSize, std::uint64_t driveSectors)
{
    Plan plan;
    std::vector<Area> areas;
    if (layout) {
        areas = TableAreas(layout->style, sectorSize, driveSectors);
        for (const DriveLayout::Partition& partition : layout->partitions) {
            // An extended partition only holds the logical ones, which are in the table too.
            if ((layout->style == DriveLayout::Style::Mbr && DriveLayout::IsExtended(partition.mbrType)) ||
                partition.start < 0 || partition.length <= 0 || partition.start % sectorSize != 0) {
                continue;
            }
            const std::uint64_t first = static_cast<std::uint64_t>(partition.start) / sectorSize;
            const std::uint64_t sectors = static_cast<std::uint64_t>(partition.length) / sectorSize;
            areas.push_back({first, first + sectors, plan.volumes.size()});
            plan.volumes.push_back({partition.number, DriveLayout::MountNames(volumes, disk, partition.start), first, sectors, {}});
        }
    }
    const auto off = [&](std::uint64_t first, std::uint64_t end, Kind kind) {
        plan.rows.push_back({first, end - first, std::nullopt, {}, {}, kind, {}, std::nullopt});
    };
    for (const ScanRecord::Range& range : ranges) {
        const std::uint64_t end = range.firstLba + std::min(range.sectors, ~range.firstLba);
        for (std::uint64_t at = range.firstLba; at < end;) {
            const auto in = std::find_if(areas.begin(), areas.end(), [at](const Area& a) { return a.first <= at && at < a.end; });
            if (in == areas.end()) {
                std::uint64_t next = end;
                for (const Area& area : areas) {
                    if (area.first > at) {
                        next = std::min(next, area.first);
                    }
                }
                off(at, next, Kind::NoPartition);
                at = next;
                continue;
            }
            const std::uint64_t pieceEnd = std::min(end, in->end);
            if (in->volume == kTable) {
                off(at, pieceEnd, Kind::PartitionTable);
            } else {
                Volume& volume = plan.volumes[in->volume];
                volume.ranges.push_back({at - volume.firstLba, pieceEnd - at});
            }
            at = pieceEnd;
        }
    }
    // Only the partitions that hold an asked LBA have their file tables read.
    std::vector<Volume> all = std::move(plan.volumes);
    plan.volumes.clear();
    for (std::size_t index = 0; index < all.size(); ++index) {
        if (!all[index].ranges.empty()) {
            plan.volumes.push_back(std::move(all[index]));
        }
    }
    return plan;
}

void DriveFiles::Add(Found& found, const Volume& volume, const FileOwners::Map& map)
{
    const auto row = [&](std::uint64_t first, std::uint64_t count, Kind kind) {
        return Row{volume.firstLba + first, count, volume.number, volume.names, map.fileSystem, kind, {}, std::nullopt};
    };
    switch (map.outcome) {
    case FileOwners::Map::Outcome::Mapped:
        for (const FileOwners::Owner& owner : map.owners) {
            Row& added = found.rows.emplace_back(row(owner.first, owner.count, Kind::Owner));
            added.file = owner.file;
            added.offset = owner.offset;
        }
        break;
    case FileOwners::Map::Outcome::Encrypted:
    case FileOwners::Map::Outcome::NotRead:
    case FileOwners::Map::Outcome::NotRecognised: {
        const Kind kind = map.outcome == FileOwners::Map::Outcome::Encrypted ? Kind::Encrypted
                          : map.outcome == FileOwners::Map::Outcome::NotRead ? Kind::NotRead
                                                                              : Kind::NotRecognised;
        for (const FileOwners::SectorRange& range : volume.ranges) {
            found.rows.push_back(row(range.first, range.count, kind));
        }
        break;
    }
    case FileOwners::Map::Outcome::Ended:
        break;
    }
    for (const std::wstring& note : map.notes) {
        found.notes.push_back({volume.number, note});
    }
    // Rows of one LBA keep the order they came in.
    std::vector<std::uint64_t> firsts;
    for (const Row& each : found.rows) {
        firsts.push_back(each.firstLba);
    }
    std::vector<Row> sorted;
    sorted.reserve(firsts.size());
    for (const std::size_t index : FileOwners::Order(firsts)) {
        sorted.push_back(std::move(found.rows[index]));
    }
    found.rows = std::move(sorted);
}
