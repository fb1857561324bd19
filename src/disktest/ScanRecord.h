#pragma once

#include "diskinfo/DiskInfo.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

// What a surface scan has found so far, made from the timed results of its reads: the blocks'
// time classes and their counts, the unreadable ranges, a map of the drive and a rate plot. The
// map, the plot and the counts have a fixed size whatever the drive's capacity; only the
// unreadable ranges grow, with what they report. A check of the LBAs that the drive's own logs
// name reads only the blocks that hold them, and tells for each what the drive does now. Free
// of <windows.h>, so it is tested natively.
class ScanRecord {
public:
    // Worst last, so that a map cell can keep the largest of its blocks' classes.
    enum class Class : std::uint8_t { Unscanned, UpTo50, UpTo150, UpTo500, Over500, Unreadable };
    static constexpr std::size_t kScannedClasses = 5;
    static constexpr std::size_t kMapCells = 10'000;
    static constexpr std::size_t kPlotPoints = 1'000; // one per 0.1 % of the drive
    static constexpr std::uint32_t kUnreadableRowLimit = 32;
    static constexpr double kBytesPerMiB = 1048576.0;
    static constexpr std::uint32_t kBlockSize = 1024u * 1024u;
    // ERROR_SEM_TIMEOUT: the drive did not answer the read in time. A drive that does so this
    // many blocks in a row has stopped answering.
    static constexpr std::uint32_t kErrorTimeout = 121;
    static constexpr std::uint32_t kTimeoutRowLimit = 3;

    // One read: where, how long, how it went, and the error of a read that failed.
    struct Read {
        std::uint64_t offset = 0;
        std::uint32_t length = 0;
        double milliseconds = 0;
        bool succeeded = false;
        std::uint32_t error = 0;
    };
    struct Range {
        std::uint64_t firstLba = 0;
        std::uint64_t sectors = 0;
        std::uint32_t error = 0;
        bool operator==(const Range&) const = default;
    };
    // Checking: the drive is asked whether it is still the one expected, before the first read.
    enum class State { NotStarted, Checking, Running, Finished, Stopped, StoppedByItself };

    // The drive's identity as the heading and the copy name it.
    struct Drive {
        std::int32_t number = 0;
        std::wstring model;
        std::wstring serialNumber;
    };

    // A failing LBA that the drive's own logs name, and what reading it gave.
    struct LoggedLba {
        enum class Now : std::uint8_t { NotRead, Readable, Unreadable };
        std::uint64_t lba = 0;
        std::wstring source; // "Self-test #1", "Error #14": every entry that names it
        Now now = Now::NotRead;
        double milliseconds = 0;
    };
    // The first failing LBA of each failed self-test (ATA or NVMe) and the LBA of each
    // uncorrectable or sector-not-found error, in LBA order, each LBA once; an LBA of which the
    // log kept only the low bits is left out.
    static std::vector<LoggedLba> LoggedLbasOf(const DriveDetails& details);

    ScanRecord() = default;
    // A scan from LBA 0 of `capacityBytes` (whole sectors of `sectorSize` bytes), running; with
    // `logged` (in LBA order, as LoggedLbasOf gives them), a check of only the blocks that hold
    // those LBAs.
    ScanRecord(std::uint64_t capacityBytes, std::uint32_t sectorSize, std::vector<LoggedLba> logged = {});
    // A scan that checks the drive before its first read.
    static ScanRecord Checking();

    static Class ClassOf(double milliseconds);

    // A block's read and, when it failed, the reads of its pieces. The block is Unreadable when
    // it failed and a piece failed again (or it was not read in pieces), and in the class of its
    // time otherwise; each failed piece, or the failed block without pieces, is an unreadable
    // range with its error, and each logged LBA in it is what its block or piece was. False when
    // the block ends the scan: the last of a row of unreadable blocks too long to go on grinding
    // a dying drive, or of timeouts that say the drive no longer answers.
    bool AddBlock(const Read& block, std::span<const Read> pieces);
    void SetElapsed(double seconds) { m_elapsedSeconds = seconds; }
    void Finish() { End(State::Finished, {}); }
    void Stop() { End(State::Stopped, {}); }
    // The scan ended by itself before its end, for `reason`.
    void End(State state, std::wstring reason);
    void DriveGone(std::uint64_t offset, std::uint32_t error);
    // The drive did not have the serial number and capacity expected of drive `number`.
    void AnotherDrive(std::int32_t number);
    bool FoundAnotherDrive() const { return m_anotherDrive; }

    // Whether this is a check of the logged LBAs; the offsets of the blocks it reads, each once,
    // in order, within the drive.
    bool ChecksLogged() const { return m_checksLogged; }
    std::vector<std::uint64_t> LoggedBlocks() const;
    const std::vector<LoggedLba>& LoggedLbas() const { return m_logged; }
    // "Unreadable", "Readable in 12 ms" or "Not read".
    static std::wstring NowText(const LoggedLba& logged);
    // The share of what it has to read that it has read, 0 to 1.
    double Progress() const;

    State GetState() const { return m_state; }
    bool IsRunning() const { return m_state == State::Running || m_state == State::Checking; }
    std::uint64_t CapacityBytes() const { return m_capacity; }
    std::uint32_t SectorSize() const { return m_sectorSize; }
    std::uint64_t ScannedBytes() const { return m_scanned; }
    double ElapsedSeconds() const { return m_elapsedSeconds; }
    std::uint64_t Count(Class scanned) const;
    const std::vector<Range>& UnreadableRanges() const { return m_ranges; }
    // The worst class of the stored cells that display cell `cell` of `cells` covers.
    Class MapCell(std::size_t cell, std::size_t cells) const;
    struct PlotPoint {
        double positionGiB = 0;
        double mibPerSecond = 0;
    };
    // The points scanned so far, in position order.
    std::vector<PlotPoint> PlotPoints() const;

    // "Finished", "Stopped", "Running", or why the scan stopped by itself.
    std::wstring ResultText() const;
    // "Scanned 123.4 of 1863.0 GB (6.6 %)   142 MB/s   elapsed 0:14:32   left 3:24:10"; once the
    // scan has ended, its result before the figures, and no time left.
    std::wstring StatusLine() const;
    // What the status line says while a Stop waits, `seconds` after it was asked, for the
    // drive to answer the read the scan is in: "Stopping: waiting for the drive to answer the
    // current read (m:ss)".
    static std::wstring StoppingText(double seconds);
    // The whole result, tab-separated, one item a line, as scripts and spreadsheets read it;
    // each logged LBA as "Logged LBA", the LBA, its source and what it is now.
    std::wstring CopyText(const Drive& drive) const;

    // The top of the rate plot's y axis, a round figure above `highest`, and how many equal
    // steps its grid lines make of it.
    struct Scale {
        double top = 0;
        int steps = 0;
    };
    static Scale PlotScale(double highest);
    // The label of the rate plot's x axis at `quarter` (0 to 4) of a drive of `capacityBytes`:
    // "932 GB", or in MB on a drive under 1 GB.
    static std::wstring AxisLabel(std::uint64_t capacityBytes, int quarter);
    // "error 23"
    static std::wstring ErrorText(std::uint32_t error);
    // h:mm:ss
    static std::wstring Duration(double seconds);

private:
    std::size_t CellOf(std::uint64_t offset) const;
    bool IsOnDrive(const LoggedLba& logged) const;
    void AddRange(std::uint64_t offset, std::uint32_t length, std::uint32_t error);
    double AverageMiBPerSecond() const;

    struct PointSum {
        std::uint32_t blocks = 0;
        std::uint32_t readable = 0;
        double rates = 0;
    };

    State m_state = State::NotStarted;
    std::wstring m_reason;
    std::uint64_t m_capacity = 0;
    std::uint64_t m_toRead = 0;
    std::uint32_t m_sectorSize = 512;
    bool m_checksLogged = false;
    std::vector<LoggedLba> m_logged;
    std::uint64_t m_scanned = 0;
    double m_elapsedSeconds = 0;
    std::uint32_t m_unreadableRow = 0;
    std::uint32_t m_timeoutRow = 0;
    bool m_anotherDrive = false;
    std::array<std::uint64_t, kScannedClasses> m_counts{};
    std::vector<Class> m_map = std::vector<Class>(kMapCells, Class::Unscanned);
    std::vector<PointSum> m_points = std::vector<PointSum>(kPlotPoints);
    std::vector<Range> m_ranges;
};
