#pragma once

#include <cstdint>
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
};

class DiskManager {
public:
    DiskManager() = delete;

    static constexpr int kMaxDrives = 32;

    // One record per drive number 0..31 that opens, in ascending drive number.
    static std::vector<DriveInfo> EnumerateDrives();

    // False, with `info` untouched, when the drive does not open; otherwise every field is set.
    static bool GetDriveInfo(std::int32_t driveNumber, DriveInfo& info);

    // Device 8-bit text, blanks (" \t\r\n") trimmed at both ends, in the ANSI code page.
    static std::wstring TrimString(const char* text, std::uint64_t length);

    // "\\.\PhysicalDriveN", the device path of drive number N.
    static std::wstring PhysicalDrivePath(std::int32_t driveNumber);
};
