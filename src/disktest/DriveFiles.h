#pragma once

#include "diskinfo/DriveLayout.h"
#include "disktest/ScanRecord.h"
#include "filesystems/FileOwners.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

// What lies on given LBAs of a drive: each range cut where the partitions begin and end, the
// pieces off every partition named as the partition table's sectors or as no partition's, and
// each partition's pieces handed to its file system's reader. Free of <windows.h>, so it is
// tested natively; SurfaceScan does the reading, on its thread.
class DriveFiles {
public:
    DriveFiles() = delete;

    // What a row stands for: a piece that the reader named, or why none is named.
    enum class Kind : std::uint8_t { Owner, NoPartition, PartitionTable, Encrypted, NotRead, NotRecognised };

    struct Row {
        std::uint64_t firstLba = 0; // the drive's
        std::uint64_t sectors = 0;
        std::optional<std::uint32_t> partition; // its number; none off the partitions
        std::wstring volume;                    // its letters or folders, blank-separated
        std::wstring fileSystem;                // as the reader names it
        Kind kind = Kind::Owner;
        std::wstring file; // the reader's name of the owner
        std::optional<std::uint64_t> offset;
        friend bool operator==(const Row&, const Row&) = default;
    };
    // What a reader could not read, on which partition.
    struct Note {
        std::uint32_t partition = 0;
        std::wstring text;
        friend bool operator==(const Note&, const Note&) = default;
    };

    enum class State { NotStarted, Running, Finished, Stopped, StoppedByItself };
    struct Found {
        State state = State::NotStarted;
        std::wstring reason; // why it stopped by itself
        std::vector<Row> rows; // in order of the drive's LBA
        std::vector<Note> notes;
        std::uint32_t partition = 0; // while running: whose file table is being read
        int percent = 0;
        bool IsRunning() const { return state == State::Running; }
    };

    // One partition's share of the ranges, in its own sectors.
    struct Volume {
        std::uint32_t number = 0;
        std::wstring names; // its letters or folders
        std::uint64_t firstLba = 0;
        std::uint64_t sectors = 0;
        std::vector<FileOwners::SectorRange> ranges;
    };
    struct Plan {
        std::vector<Row> rows; // the pieces off every partition
        std::vector<Volume> volumes;
    };
    // `ranges` of a drive of `driveSectors` sectors of `sectorSize` bytes, numbered `disk`, cut
    // by its partition table (none when the drive did not answer one: every range is then off
    // the partitions), each partition named by the volumes that start where it starts.
    static Plan PlanFor(std::span<const ScanRecord::Range> ranges, const std::optional<DriveLayout::Layout>& layout,
                        const std::vector<DriveLayout::Volume>& volumes, std::uint32_t disk, std::uint32_t sectorSize,
                        std::uint64_t driveSectors);

    // The rows and notes of a volume's map, other than Ended; and the rows in LBA order again.
    static void Add(Found& found, const Volume& volume, const FileOwners::Map& map);
};
