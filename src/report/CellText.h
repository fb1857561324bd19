#pragma once

#include "diskinfo/DiskInfo.h"

#include <array>

// The text of one cell of the drive list: the list view keeps no text of its own and asks for
// each cell while it paints, handing over its buffer.
class CellText {
public:
    CellText() = delete;

    // Column positions, left to right.
    enum Column : int {
        kDrive,
        kModel,
        kSerialNumber,
        kFirmware,
        kSize,
        kHealth,
        kTemperature,
        kPowerOnHours,
        kPowerCycles,
        kSpeed,
        kVolumes,
        kColumnCount
    };

    // The column titles, left to right.
    static constexpr std::array<const wchar_t*, kColumnCount> kTitles{
        L"Drive", L"Model", L"Serial Number", L"Firmware", L"Size (GB)",
        L"Health", L"Temp", L"Power(h)", L"Cycles", L"Speed", L"Volumes"};

    // Writes the text of `column` for `drive` into `out`, which holds `capacity` wide
    // characters including the terminator. Identity strings, the health and "-" are cut to
    // fit; a number that does not fit leaves the cell empty. Returns whether the column's text
    // (or its cut start) is in `out`; false with nothing written for a null `out`, a capacity
    // of 0 or less, or a column outside the list, and false with an empty cell when a number
    // did not fit.
    static bool Write(const DriveInfo& drive, int column, wchar_t* out, int capacity);
};
