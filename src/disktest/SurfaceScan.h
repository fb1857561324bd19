#pragma once

#include "disktest/DriveFiles.h"
#include "disktest/ScanRecord.h"

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The read-only surface scan: every sector of one drive read once, in order, in timed blocks of
// 1 MiB, a block that fails read again in pieces of 64 KiB to find what cannot be read. It runs
// on a thread of its own, so the window that shows it stays responsive; the window reads what
// it has found so far through Snapshot. One scan at a time.
class SurfaceScan {
public:
    SurfaceScan() = delete;

    static constexpr std::uint32_t kBlockSize = ScanRecord::kBlockSize;
    static constexpr std::uint32_t kPieceSize = 64u * 1024u;
    static constexpr std::uint32_t kDefaultSectorSize = 512;

    struct Geometry {
        std::uint64_t capacityBytes = 0;
        std::uint32_t sectorSize = kDefaultSectorSize;
    };
    // The capacity and logical sector size of the drive, on a handle opened only for the
    // question; or why there are none: the drive did not open, or opened and told no capacity
    // (a card reader without a card), with the error of the failed call.
    struct GeometryAnswer {
        enum class Outcome { Read, NotOpened, NoCapacity };
        Outcome outcome = Outcome::NotOpened;
        Geometry geometry;
        std::uint32_t error = 0;
    };
    static GeometryAnswer ReadGeometry(std::int32_t driveNumber);

    // Starts a scan of the drive from LBA 0 or, given `logged`, a check of only the blocks that
    // hold those LBAs, with the same reads. `window` is posted `message` when there is progress
    // to show (at most ten times a second, and one at a time until Acknowledge) and when the
    // scan has ended. False when a scan is still running or its thread could not be started.
    static bool Start(std::int32_t driveNumber, HWND window, UINT message,
                      std::vector<ScanRecord::LoggedLba> logged = {});
    // The drive a scan must find: the serial number and capacity the window's heading names.
    struct Expected {
        std::wstring serialNumber;
        Geometry geometry;
    };
    // The same, but the scan's thread first asks the drive whether it is still `expected` and
    // which failing LBAs its logs name ("Checking the drive…"): a drive behind a USB bridge can
    // take many seconds over that, and a window must not wait. Then it scans the whole drive or,
    // given `checkLogged`, the blocks that hold those LBAs; it ends without a read when the
    // drive is another or, for a check, its logs name none.
    static bool Start(std::int32_t driveNumber, HWND window, UINT message, const Expected& expected, bool checkLogged);
    // The failing LBAs the drive's logs named when the last scan checked the drive; nothing when
    // it did not get that far.
    static std::optional<std::vector<ScanRecord::LoggedLba>> LoggedLbas();
    // The check of `logged` on the caller's thread, for a caller without a window: what it found,
    // once it has ended; nothing when a scan runs or there is nothing to check.
    static ScanRecord CheckLoggedLbas(std::int32_t driveNumber, std::vector<ScanRecord::LoggedLba> logged);
    // Starts naming what lies on `ranges` of the drive (its LBAs, in order), with the scan's reads
    // on its thread: the partition table, then the file table of each partition that holds one
    // of them, through the drive's read-only handle. Progress, Stop and IsRunning are the scan's;
    // the last scan's record stays as it was.
    static bool StartFindingFiles(std::int32_t driveNumber, HWND window, UINT message,
                                  std::vector<ScanRecord::Range> ranges);
    // What the current (or last) finding of files has found so far.
    static DriveFiles::Found FilesSnapshot();
    // Asks the running scan to stop and cancels the request it waits on; returns at once. A
    // cancel that lands between two reads finds nothing to cancel, and a drive retrying a sector
    // may not take one at all: ask again, now and then, until IsRunning says the thread ended.
    static void Stop();
    // Whether the scan's thread has not ended yet. Once it has, it has freed everything and its
    // handle is closed.
    static bool IsRunning();
    // Whether a request that failed with `error` means the drive has gone from its link.
    static bool MeansDriveGone(std::uint32_t error);
    // What the current (or last) scan has found so far.
    static ScanRecord Snapshot();
    // The window has taken the last progress message; the next may come.
    static void Acknowledge();
};
