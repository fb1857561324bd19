#pragma once

#include "disktest/ScanRecord.h"

#include <windows.h>

#include <cstdint>
#include <optional>

// The read-only surface scan: every sector of one drive read once, in order, in timed blocks of
// 1 MiB, a block that fails read again in pieces of 64 KiB to find what cannot be read. It runs
// on a thread of its own, so the window that shows it stays responsive; the window reads what
// it has found so far through Snapshot. One scan at a time.
class SurfaceScan {
public:
    SurfaceScan() = delete;

    static constexpr std::uint32_t kBlockSize = 1024u * 1024u;
    static constexpr std::uint32_t kPieceSize = 64u * 1024u;
    static constexpr std::uint32_t kDefaultSectorSize = 512;

    struct Geometry {
        std::uint64_t capacityBytes = 0;
        std::uint32_t sectorSize = kDefaultSectorSize;
    };
    // The capacity and logical sector size of the drive, on a handle opened only for the
    // question; nullopt when the drive does not open or tells no capacity.
    static std::optional<Geometry> ReadGeometry(std::int32_t driveNumber);

    // Starts a scan of the drive from LBA 0. `window` is posted `message` when there is progress
    // to show (at most ten times a second, and one at a time until Acknowledge) and when the
    // scan has ended. False when a scan is still running or its thread could not be started.
    static bool Start(std::int32_t driveNumber, HWND window, UINT message);
    // Asks the running scan to stop and cancels the read it waits on; returns at once.
    static void Stop();
    // Stops the scan, if one runs, and waits until its thread has ended and freed everything.
    static void StopAndWait();
    // Whether the scan's thread has not ended yet.
    static bool IsRunning();
    // What the current (or last) scan has found so far.
    static ScanRecord Snapshot();
    // The window has taken the last progress message; the next may come.
    static void Acknowledge();
};
