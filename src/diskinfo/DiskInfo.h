#pragma once

#include "diskinfo/DriveLayout.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Everything the program knows about one physical drive. A query that did not answer leaves
// its field at the "not available" value that GetDriveInfo sets first: "Unknown", 0, false,
// "Good", or -1 for the three SMART values (which are never negative when real).
struct DriveInfo {
    std::int32_t index = 0;
    std::wstring model;
    std::wstring serialNumber;
    std::wstring firmware;
    std::int64_t sizeBytes = 0;
    bool failurePredicted = false;
    std::wstring health;
    std::int32_t temperature = 0;
    std::int64_t powerOnHours = 0;
    std::int64_t powerCycles = 0;
    std::wstring volumes; // the names of its volumes, blank-separated; empty when none is mounted
};

// Where a drive's health figures came from.
enum class SmartSource {
    None,          // the drive answered no SMART data
    Ata,           // the disk driver's ATA SMART requests
    UsbBridge,     // ATA PASS-THROUGH to the drive behind a USB bridge
    Nvme,          // the NVMe SMART / Health Information log
    NvmeUsbBridge, // the same log, through a USB bridge's vendor command
    Csmi,          // ATA SMART through a RAID driver's CSMI pass-through
    NvmeRst,       // the same log, through the Intel RST driver's NVMe pass-through
};

// Identity strings: behind a USB bridge, the descriptor's are the bridge's.
struct DriveIdentity {
    std::wstring model;
    std::wstring serialNumber;
    std::wstring firmware;
};

// What the details view shows of one drive, read only when asked for: its record, the bus it
// hangs on, and the raw pages that its health figures come from.
struct DriveDetails {
    using Page = std::array<std::uint8_t, 512>;
    // STORAGE_BUS_TYPE of a drive behind a RAID controller's driver (RAID, RST, VMD), which
    // fails the SMART and NVMe requests: none is sent there.
    static constexpr std::uint32_t kBusTypeRaid = 8;
    bool BehindRaid() const { return busType == kBusTypeRaid; }

    DriveInfo info;
    std::optional<std::uint32_t> busType; // STORAGE_BUS_TYPE of the storage device descriptor
    bool rstRefused = false;              // the RST driver refused its NVMe pass-through
    bool predictionAnswered = false;      // whether info.failurePredicted is the drive's answer
    bool virtualDisk = false;             // a hypervisor's disk, which keeps no SMART data: none was asked
    bool standardOnly = false;            // probed with standard requests only: no vendor route was tried
    SmartSource source = SmartSource::None;
    std::optional<Page> smartData;        // ATA SMART READ DATA
    std::optional<Page> smartThresholds;  // ATA SMART READ THRESHOLDS; absent when not answered
    std::optional<Page> nvmeLog;          // NVMe SMART / Health Information log
    std::optional<DriveLayout::Layout> layout;  // the partition table; absent when not answered
    std::vector<DriveLayout::Volume> volumes;   // the volumes on the drive
    // The bridge's own strings, where the record's are the drive's from behind it (ATA IDENTIFY
    // DEVICE or NVMe Identify Controller through the bridge).
    std::optional<DriveIdentity> bridgeIdentity;

    // What the drive recorded over its life, as it gave it; each absent (or empty) where the
    // drive keeps none or refused it.
    std::optional<Page> identify;             // ATA IDENTIFY DEVICE, where it was read
    std::optional<Page> selfTestLog;          // ATA SMART self-test log, or the extended one's first page
    std::optional<Page> errorLog;             // ATA summary SMART error log, or the extended comprehensive one's
    bool selfTestLogExtended = false;         // selfTestLog is 07h, with 48-bit LBAs
    bool errorLogExtended = false;            // errorLog is 03h, with 48-bit LBAs
    std::vector<std::uint8_t> statistics;     // ATA device statistics, pages 0 .. n-1
    std::vector<std::uint8_t> nvmeSelfTests;  // NVMe device self-test log, 564 bytes
    std::vector<std::uint8_t> nvmeErrors;     // NVMe error information log, 64 bytes an entry

    // Behind a RAID driver: the name it gave itself, where it did; and, where the drive is an
    // array, its member drives, each as the details of a drive of its own.
    std::wstring raidDriver;
    std::vector<DriveDetails> members;
};

class DiskManager {
public:
    DiskManager() = delete;

    static constexpr int kMaxDrives = 32;

    // One record per drive number 0..31 that opens, in ascending drive number, with its volumes.
    static std::vector<DriveInfo> EnumerateDrives();

    // False, with `info` untouched, when the drive does not open; otherwise every field is set,
    // the volumes left empty: the refresh finds them for all drives at once.
    static bool GetDriveInfo(std::int32_t driveNumber, DriveInfo& info);

    // GetDriveInfo's record with the pages and logs its health was judged by, without what
    // only the details view asks for. False, with `details` untouched, when the drive does not open.
    static bool GetDriveHealth(std::int32_t driveNumber, DriveDetails& details);

    // GetDriveInfo's record and, besides it, what only the details view asks for: without
    // `fileSystems`, all but the partitions' file systems, which a window reads apart. False,
    // with `details` untouched, when the drive does not open.
    static bool GetDriveDetails(std::int32_t driveNumber, DriveDetails& details, bool fileSystems = true);

    // Each partition's file system in `layout`, from its first sectors, read unbuffered on a
    // read-only handle of its own: reads that a struggling drive can keep waiting.
    static void ReadFileSystems(std::int32_t driveNumber, DriveLayout::Layout& layout);

    // Device 8-bit text, blanks (" \t\r\n") trimmed at both ends, in the ANSI code page.
    static std::wstring TrimString(const char* text, std::uint64_t length);

    // Whether only the requests that Windows documents for every disk are sent: no vendor request
    // (a RAID driver's pass-through, a USB bridge's tunnel). Set once, before the first inventory.
    static void SetStandardRequestsOnly(bool standardOnly);
    static bool StandardRequestsOnly();

    // "\\.\PhysicalDriveN", the device path of drive number N.
    static std::wstring PhysicalDrivePath(std::int32_t driveNumber);
};
