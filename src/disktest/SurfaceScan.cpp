#include "disktest/SurfaceScan.h"

#include "diskinfo/DiskInfo.h"
#include "diskinfo/Volumes.h"
#include "kernel/KernelResources.h"
#include "text/BoundedText.h"

#include <winioctl.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <optional>
#include <utility>
#include <vector>

namespace {

static_assert(IOCTL_DISK_GET_DRIVE_GEOMETRY_EX == 0x700A0);
static_assert(offsetof(DISK_GEOMETRY_EX, Geometry) == 0 && offsetof(DISK_GEOMETRY, BytesPerSector) == 20);
static_assert(SurfaceScan::kBlockSize % SurfaceScan::kPieceSize == 0);
static_assert(ERROR_SEM_TIMEOUT == ScanRecord::kErrorTimeout);

// The largest sector that keeps a block a whole number of sectors.
constexpr std::uint32_t kLargestSectorSize = 64u * 1024u;
constexpr LONGLONG kProgressPerSecond = 10;

// ERROR_NO_SUCH_DEVICE, which older SDK headers lack.
constexpr DWORD kErrorNoSuchDevice = 433;

// ERROR_DEVICE_REMOVED, which older SDK headers lack.
constexpr DWORD kErrorDeviceRemoved = 1617;

} // namespace

// Errors after which the drive no longer answers anything: the scan stops at once. The disk
// stack completes every request to a drive whose link failed with STATUS_NO_SUCH_DEVICE, which
// reaches the program as ERROR_FILE_NOT_FOUND (or, under some emulations, ERROR_NO_SUCH_DEVICE).
bool SurfaceScan::MeansDriveGone(std::uint32_t error)
{
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case kErrorDeviceRemoved:
    case ERROR_DEVICE_NOT_CONNECTED:
    case kErrorNoSuchDevice:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_NOT_READY:
    case ERROR_INVALID_HANDLE:
        return true;
    default:
        return false;
    }
}

namespace {

class ExclusiveLock {
public:
    explicit ExclusiveLock(SRWLOCK& lock) noexcept : m_lock(lock) { AcquireSRWLockExclusive(&m_lock); }
    ExclusiveLock(const ExclusiveLock&) = delete;
    ExclusiveLock& operator=(const ExclusiveLock&) = delete;
    ~ExclusiveLock() { ReleaseSRWLockExclusive(&m_lock); }

private:
    SRWLOCK& m_lock;
};

// The scan's thread handle, closed exactly once.
class ThreadHandle {
public:
    ThreadHandle() = default;
    ThreadHandle(const ThreadHandle&) = delete;
    ThreadHandle& operator=(const ThreadHandle&) = delete;
    ~ThreadHandle() { Reset(); }

    HANDLE Get() const noexcept { return m_handle; }
    void Reset(HANDLE handle = nullptr) noexcept
    {
        if (const HANDLE old = std::exchange(m_handle, handle); old != nullptr) {
            Kernel::CloseHandle(old);
        }
    }

private:
    HANDLE m_handle = nullptr;
};

struct Shared {
    SRWLOCK lock = SRWLOCK_INIT;
    ScanRecord record;                  // under `lock`
    std::atomic<bool> stopAsked{false};
    std::atomic<bool> progressPending{false};
    ThreadHandle thread;                // the UI thread's alone
    std::int32_t driveNumber = 0;       // set before the thread starts
    std::vector<ScanRecord::LoggedLba> logged; // likewise: what a check of the logged LBAs reads
    std::vector<ScanRecord::Range> fileRanges; // likewise: whose files to name
    DriveFiles::Found files;            // under `lock`
    std::optional<SurfaceScan::Expected> expected; // likewise: the drive to check for first
    bool checkLogged = false;                      // likewise: the check reads the logs' LBAs
    std::optional<std::vector<ScanRecord::LoggedLba>> logsRead; // under `lock`
    HWND window = nullptr;
    UINT message = 0;
};

// A namespace-scope object, not a function's static: guarding the first call of a function's
// static would link in a whole threads library.
Shared g_shared;

Shared& S()
{
    return g_shared;
}

// Runs `change` on the record under the lock.
template <class Change>
auto WithRecord(Change change)
{
    const ExclusiveLock lock(S().lock);
    return change(S().record);
}

template <class Change>
auto WithFiles(Change change)
{
    const ExclusiveLock lock(S().lock);
    return change(S().files);
}

// 0, or the error of the capacity request, with `geometry` untouched. An empty reader may
// answer a length of 0: it has no medium.
DWORD ReadGeometryOf(HANDLE device, SurfaceScan::Geometry& geometry)
{
    GET_LENGTH_INFORMATION length{};
    DWORD returned = 0;
    if (Kernel::DeviceIoControl(device, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &length, sizeof(length), &returned,
                                nullptr) == FALSE) {
        return ::GetLastError();
    }
    if (length.Length.QuadPart <= 0) {
        return ERROR_NO_MEDIA_IN_DRIVE;
    }
    std::uint32_t sectorSize = SurfaceScan::kDefaultSectorSize;
    DISK_GEOMETRY_EX disk{};
    if (Kernel::DeviceIoControl(device, IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, nullptr, 0, &disk, sizeof(disk), &returned,
                                nullptr) != FALSE) {
        // Unbuffered reads come in whole sectors, and a block must be a whole number of them:
        // a size that is no power of two in that range is taken for the common one.
        const DWORD sector = disk.Geometry.BytesPerSector;
        if (sector >= SurfaceScan::kDefaultSectorSize && sector <= kLargestSectorSize && (sector & (sector - 1)) == 0) {
            sectorSize = sector;
        }
    }
    geometry = {static_cast<std::uint64_t>(length.Length.QuadPart) / sectorSize * sectorSize, sectorSize};
    return 0;
}

KernelHandle OpenForScan(std::int32_t driveNumber)
{
    const std::wstring path = DiskManager::PhysicalDrivePath(driveNumber);
    return KernelHandle(Kernel::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                            OPEN_EXISTING, FILE_FLAG_NO_BUFFERING, nullptr));
}

// The performance counter's time in milliseconds.
class Stopwatch {
public:
    Stopwatch()
    {
        LARGE_INTEGER frequency{};
        Kernel::QueryPerformanceFrequency(&frequency);
        m_frequency = frequency.QuadPart > 0 ? frequency.QuadPart : 1;
        m_start = Now();
    }
    LONGLONG Now() const
    {
        LARGE_INTEGER count{};
        Kernel::QueryPerformanceCounter(&count);
        return count.QuadPart;
    }
    double Milliseconds(LONGLONG from, LONGLONG to) const
    {
        return static_cast<double>(to - from) * 1000.0 / static_cast<double>(m_frequency);
    }
    double SecondsSinceStart(LONGLONG now) const { return Milliseconds(m_start, now) / 1000.0; }
    LONGLONG Frequency() const { return m_frequency; }

private:
    LONGLONG m_frequency = 1;
    LONGLONG m_start = 0;
};

// One read at `offset`, named in the OVERLAPPED so that a read that failed never moves the
// next one. The error is 0 when the whole length came back.
struct ReadOutcome {
    ScanRecord::Read read;
    DWORD error = 0;
};

// Whether a block that failed is read again in pieces: not one that timed out, whose pieces
// would each wait the whole timeout again.
bool Narrows(const ReadOutcome& block)
{
    return !block.read.succeeded && block.error != ScanRecord::kErrorTimeout;
}

ReadOutcome ReadAt(HANDLE device, void* buffer, std::uint64_t offset, std::uint32_t length, const Stopwatch& clock)
{
    OVERLAPPED position{};
    position.Offset = static_cast<DWORD>(offset);
    position.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD transferred = 0;
    const LONGLONG start = clock.Now();
    const BOOL ok = Kernel::ReadFile(device, buffer, length, &transferred, &position);
    const DWORD error = ok == FALSE ? ::GetLastError() : (transferred == length ? 0 : DWORD{ERROR_HANDLE_EOF});
    const LONGLONG end = clock.Now();
    return {{offset, length, clock.Milliseconds(start, end), error == 0, error}, error};
}

// Tells the window of progress, unless it has not taken the last message yet (or there is none).
void Tell()
{
    if (S().window != nullptr && !S().progressPending.exchange(true)) {
        PostMessageW(S().window, S().message, 0, 0);
    }
}

// Why the scan ends on `outcome`, when it does: the drive is gone, or Stop cancelled the read.
bool EndsScan(const ReadOutcome& outcome)
{
    if (outcome.error != 0 && SurfaceScan::MeansDriveGone(outcome.error)) {
        WithRecord([&](ScanRecord& record) { record.DriveGone(outcome.read.offset, outcome.error); });
        return true;
    }
    if (S().stopAsked) {
        WithRecord([](ScanRecord& record) { record.Stop(); });
        return true;
    }
    return false;
}

// Every block in order or, in a check of the logged LBAs, only the blocks that hold them.
void Scan(HANDLE device, void* buffer, std::uint64_t capacity, const std::vector<std::uint64_t>& only, bool checks)
{
    const Stopwatch clock;
    LONGLONG lastTold = clock.Now();
    std::vector<ScanRecord::Read> pieces;
    auto next = only.begin();
    std::uint64_t offset = checks ? (next == only.end() ? capacity : *next++) : 0;
    while (offset < capacity) {
        if (S().stopAsked) {
            WithRecord([](ScanRecord& record) { record.Stop(); });
            return;
        }
        const auto length = static_cast<std::uint32_t>(std::min<std::uint64_t>(SurfaceScan::kBlockSize, capacity - offset));
        const ReadOutcome block = ReadAt(device, buffer, offset, length, clock);
        if (block.error != 0 && EndsScan(block)) {
            return;
        }
        pieces.clear();
        for (std::uint32_t done = 0; Narrows(block) && done < length; done += SurfaceScan::kPieceSize) {
            const ReadOutcome piece =
                ReadAt(device, buffer, offset + done, std::min(SurfaceScan::kPieceSize, length - done), clock);
            if (piece.error != 0 && SurfaceScan::MeansDriveGone(piece.error)) {
                // The unreadable pieces found before the drive went away stay in the result.
                const bool pieceFailed =
                    std::any_of(pieces.begin(), pieces.end(), [](const ScanRecord::Read& read) { return !read.succeeded; });
                WithRecord([&](ScanRecord& record) {
                    if (pieceFailed) {
                        record.AddBlock({offset, done, block.read.milliseconds, false}, pieces);
                    }
                    record.DriveGone(piece.read.offset, piece.error);
                });
                return;
            }
            if (S().stopAsked) {
                WithRecord([](ScanRecord& record) { record.Stop(); });
                return;
            }
            pieces.push_back(piece.read);
        }
        const LONGLONG now = clock.Now();
        const bool goesOn = WithRecord([&](ScanRecord& record) {
            record.SetElapsed(clock.SecondsSinceStart(now));
            return record.AddBlock(block.read, pieces);
        });
        if (!goesOn) {
            return;
        }
        if (now - lastTold >= clock.Frequency() / kProgressPerSecond) {
            lastTold = now;
            Tell();
        }
        offset = !checks ? offset + length : next == only.end() ? capacity : *next++;
    }
    WithRecord([](ScanRecord& record) { record.Finish(); });
}

// Ends the scan for `reason`, unless Stop was asked meanwhile: then the failure is the
// cancelled request, and the scan ends as stopped.
void EndWith(std::wstring reason)
{
    WithRecord([&](ScanRecord& record) {
        if (S().stopAsked) {
            record.Stop();
        } else {
            record.End(ScanRecord::State::StoppedByItself, std::move(reason));
        }
    });
}

std::wstring WithError(const wchar_t* text, DWORD error)
{
    std::array<wchar_t, 24> code{};
    BoundedText::Format(code, L" (error %lu)", static_cast<unsigned long>(error));
    return text + std::wstring(code.data());
}

// The scan of an open drive, to its end or to why it stopped.
void ScanDevice(HANDLE device)
{
    SurfaceScan::Geometry geometry;
    if (const DWORD error = ReadGeometryOf(device, geometry); error != 0) {
        EndWith(WithError(L"The drive did not tell its capacity", error));
        return;
    }
    const std::vector<std::uint64_t> blocks = WithRecord([&](ScanRecord& record) {
        record = ScanRecord(geometry.capacityBytes, geometry.sectorSize, S().logged);
        return record.LoggedBlocks();
    });
    const PageBuffer buffer(SurfaceScan::kBlockSize);
    if (!buffer) {
        EndWith(L"No memory for the read buffer");
        return;
    }
    Scan(device, buffer.Get(), geometry.capacityBytes, blocks, !S().logged.empty());
}

// Whether the drive is still the one expected, when one is, and the LBAs its logs name: true
// when the scan goes on.
bool CheckDrive()
{
    if (!S().expected) {
        return true;
    }
    DriveDetails now;
    if (!DiskManager::GetDriveHealth(S().driveNumber, now)) {
        EndWith(WithError(L"The drive could not be opened", ::GetLastError()));
        return false;
    }
    if (S().stopAsked) {
        WithRecord([](ScanRecord& record) { record.Stop(); });
        return false;
    }
    std::vector<ScanRecord::LoggedLba> logged = ScanRecord::LoggedLbasOf(now);
    const SurfaceScan::Geometry& expected = S().expected->geometry;
    const std::uint64_t size = now.info.sizeBytes > 0 ? static_cast<std::uint64_t>(now.info.sizeBytes) : 0;
    const bool same = now.info.serialNumber == S().expected->serialNumber &&
                      size / expected.sectorSize * expected.sectorSize == expected.capacityBytes;
    const bool nothingToCheck = S().checkLogged && logged.empty();
    WithRecord([&](ScanRecord& record) {
        S().logsRead = logged;
        if (!same) {
            record.AnotherDrive(S().driveNumber);
        } else if (nothingToCheck) {
            record.End(ScanRecord::State::StoppedByItself, L"The drive's logs name no failing LBA");
        }
    });
    if (S().checkLogged) {
        S().logged = std::move(logged);
    }
    return same && !nothingToCheck;
}

DWORD WINAPI RunScan(void*)
{
    if (CheckDrive()) {
        const KernelHandle device = OpenForScan(S().driveNumber);
        if (device) {
            ScanDevice(device.Get());
        } else {
            EndWith(WithError(L"The drive could not be opened", ::GetLastError()));
        }
    }
    // Everything is freed before the window hears of the end.
    S().progressPending = false;
    Tell();
    return 0;
}

void EndFilesWith(DriveFiles::State state, std::wstring reason = {})
{
    WithFiles([&](DriveFiles::Found& found) {
        found.state = S().stopAsked ? DriveFiles::State::Stopped : state;
        found.reason = found.state == DriveFiles::State::StoppedByItself ? std::move(reason) : std::wstring();
    });
}

// Whole sectors for a file system's reader, read as the scan reads: through the page-aligned
// buffer in pieces of at most a block, each an unbuffered read on the read-only handle. A drive
// that has gone and a Stop end the reader at once.
FileOwners::ReadResult ReadForFiles(HANDLE device, const PageBuffer& buffer, const DriveFiles::Volume& volume,
                                    std::uint32_t sectorSize, std::uint64_t first, std::span<std::uint8_t> into,
                                    const Stopwatch& clock)
{
    using Outcome = FileOwners::ReadResult::Outcome;
    if (into.size() % sectorSize != 0 || first > volume.sectors || into.size() / sectorSize > volume.sectors - first) {
        return {Outcome::Unreadable, ERROR_INVALID_PARAMETER};
    }
    for (std::size_t done = 0; done < into.size();) {
        if (S().stopAsked) {
            EndFilesWith(DriveFiles::State::Stopped);
            return {Outcome::Ended, ERROR_OPERATION_ABORTED};
        }
        const auto length = static_cast<std::uint32_t>(std::min<std::size_t>(SurfaceScan::kBlockSize, into.size() - done));
        const std::uint64_t offset = (volume.firstLba + first) * sectorSize + done;
        const ReadOutcome read = ReadAt(device, buffer.Get(), offset, length, clock);
        if (read.error != 0 && SurfaceScan::MeansDriveGone(read.error)) {
            ScanRecord gone(0, sectorSize);
            gone.DriveGone(offset, read.error);
            EndFilesWith(DriveFiles::State::StoppedByItself, gone.ResultText());
            return {Outcome::Ended, read.error};
        }
        if (S().stopAsked) {
            EndFilesWith(DriveFiles::State::Stopped);
            return {Outcome::Ended, read.error};
        }
        if (read.error != 0) {
            return {Outcome::Unreadable, read.error};
        }
        std::memcpy(into.data() + done, buffer.Get(), length);
        done += length;
    }
    return {Outcome::Read, 0};
}

// The partition table, then each partition's file table, to the end or to why it stopped.
void FindFilesOn(HANDLE device)
{
    SurfaceScan::Geometry geometry;
    if (const DWORD error = ReadGeometryOf(device, geometry); error != 0) {
        EndFilesWith(DriveFiles::State::StoppedByItself, WithError(L"The drive did not tell its capacity", error));
        return;
    }
    const PageBuffer buffer(SurfaceScan::kBlockSize);
    if (!buffer) {
        EndFilesWith(DriveFiles::State::StoppedByItself, L"No memory for the read buffer");
        return;
    }
    const std::uint32_t sectorSize = geometry.sectorSize;
    DriveFiles::Plan plan =
        DriveFiles::PlanFor(S().fileRanges, Volumes::QueryLayout(device), Volumes::Discover(),
                            static_cast<std::uint32_t>(S().driveNumber), sectorSize, geometry.capacityBytes / sectorSize);
    WithFiles([&](DriveFiles::Found& found) { found.rows = std::move(plan.rows); });
    const Stopwatch clock;
    for (const DriveFiles::Volume& part : plan.volumes) {
        WithFiles([&](DriveFiles::Found& found) {
            found.partition = part.number;
            found.percent = 0;
        });
        Tell();
        FileOwners::Volume volume;
        volume.sectorCount = part.sectors;
        volume.sectorSize = sectorSize;
        volume.read = [&](std::uint64_t first, std::span<std::uint8_t> into) {
            return ReadForFiles(device, buffer, part, sectorSize, first, into, clock);
        };
        volume.progress = [](int percent) {
            WithFiles([&](DriveFiles::Found& found) { found.percent = percent; });
            Tell();
        };
        const FileOwners::Map map = FileOwners::FindOwners(volume, part.ranges);
        WithFiles([&](DriveFiles::Found& found) { DriveFiles::Add(found, part, map); });
        if (map.outcome == FileOwners::Map::Outcome::Ended) {
            return;
        }
    }
    EndFilesWith(DriveFiles::State::Finished);
}

DWORD WINAPI RunFindingFiles(void*)
{
    {
        const KernelHandle device = OpenForScan(S().driveNumber);
        if (device) {
            FindFilesOn(device.Get());
        } else {
            EndFilesWith(DriveFiles::State::StoppedByItself, WithError(L"The drive could not be opened", ::GetLastError()));
        }
    }
    S().progressPending = false;
    Tell();
    return 0;
}

} // namespace

SurfaceScan::GeometryAnswer SurfaceScan::ReadGeometry(std::int32_t driveNumber)
{
    GeometryAnswer answer;
    const KernelHandle device = OpenForScan(driveNumber);
    if (!device) {
        answer.error = ::GetLastError();
        return answer;
    }
    answer.error = ReadGeometryOf(device.Get(), answer.geometry);
    answer.outcome = answer.error == 0 ? GeometryAnswer::Outcome::Read : GeometryAnswer::Outcome::NoCapacity;
    return answer;
}

namespace {

// What the scan and the finding of files start from.
void Begin(std::int32_t driveNumber, HWND window, UINT message)
{
    S().stopAsked = false;
    S().progressPending = false;
    S().driveNumber = driveNumber;
    S().window = window;
    S().message = message;
}

// Everything a scan starts from, the record emptied.
void Prepare(std::int32_t driveNumber, HWND window, UINT message, std::vector<ScanRecord::LoggedLba> logged,
             std::optional<SurfaceScan::Expected> expected = std::nullopt, bool checkLogged = false)
{
    Begin(driveNumber, window, message);
    S().logged = std::move(logged);
    S().checkLogged = checkLogged;
    WithRecord([&](ScanRecord& record) {
        record = expected ? ScanRecord::Checking() : ScanRecord(0, 0);
        S().logsRead.reset();
    });
    S().expected = std::move(expected);
}

bool StartThread()
{
    S().thread.Reset(Kernel::CreateThread(nullptr, 0, RunScan, nullptr, 0, nullptr));
    return S().thread.Get() != nullptr;
}

} // namespace

bool SurfaceScan::StartFindingFiles(std::int32_t driveNumber, HWND window, UINT message,
                                    std::vector<ScanRecord::Range> ranges)
{
    if (IsRunning()) {
        return false;
    }
    Begin(driveNumber, window, message);
    S().fileRanges = std::move(ranges);
    WithFiles([](DriveFiles::Found& found) {
        found = {};
        found.state = DriveFiles::State::Running;
    });
    S().thread.Reset(Kernel::CreateThread(nullptr, 0, RunFindingFiles, nullptr, 0, nullptr));
    if (S().thread.Get() == nullptr) {
        WithFiles([](DriveFiles::Found& found) { found = {}; });
        return false;
    }
    return true;
}

DriveFiles::Found SurfaceScan::FilesSnapshot()
{
    return WithFiles([](const DriveFiles::Found& found) { return found; });
}

bool SurfaceScan::Start(std::int32_t driveNumber, HWND window, UINT message, std::vector<ScanRecord::LoggedLba> logged)
{
    if (IsRunning()) {
        return false;
    }
    Prepare(driveNumber, window, message, std::move(logged));
    return StartThread();
}

bool SurfaceScan::Start(std::int32_t driveNumber, HWND window, UINT message, const Expected& expected, bool checkLogged)
{
    if (IsRunning()) {
        return false;
    }
    Prepare(driveNumber, window, message, {}, expected, checkLogged);
    return StartThread();
}

std::optional<std::vector<ScanRecord::LoggedLba>> SurfaceScan::LoggedLbas()
{
    const ExclusiveLock lock(S().lock);
    return S().logsRead;
}

ScanRecord SurfaceScan::CheckLoggedLbas(std::int32_t driveNumber, std::vector<ScanRecord::LoggedLba> logged)
{
    if (IsRunning() || logged.empty()) {
        return {};
    }
    Prepare(driveNumber, nullptr, 0, std::move(logged));
    RunScan(nullptr);
    return Snapshot();
}

void SurfaceScan::Stop()
{
    if (IsRunning()) {
        S().stopAsked = true;
        Kernel::CancelSynchronousIo(S().thread.Get());
    }
}

bool SurfaceScan::IsRunning()
{
    if (S().thread.Get() == nullptr) {
        return false;
    }
    if (Kernel::WaitForSingleObject(S().thread.Get(), 0) == WAIT_TIMEOUT) {
        return true;
    }
    S().thread.Reset();
    return false;
}

ScanRecord SurfaceScan::Snapshot()
{
    return WithRecord([](const ScanRecord& record) { return record; });
}

void SurfaceScan::Acknowledge()
{
    S().progressPending = false;
}
