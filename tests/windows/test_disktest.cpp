#include "DemoCapacities.h"
#include "DriveAnswers.h"
#include "FakeKernel.h"
#include "disktest/DiskTest.h"
#include "disktest/SurfaceScan.h"

#include <gtest/gtest.h>

#include <winioctl.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

namespace {

using Kind = KernelCall::Kind;

constexpr DWORD kChunk = 4u * 1024u * 1024u;
// 25 reads of this many ticks at the fake's default 10 MHz take half a second.
constexpr LONGLONG kTwentiethOfASecond = FakeKernel::kFrequency / 50;

std::vector<FakeRead> Reads(std::size_t count, FakeRead read)
{
    return std::vector<FakeRead>(count, read);
}

// Index in the call log of the first call of `kind` at or after `from`, or the log's size.
std::size_t IndexOf(Kind kind, std::size_t from = 0)
{
    const auto& calls = FakeKernel::Calls();
    const auto it = std::find_if(calls.begin() + static_cast<std::ptrdiff_t>(from), calls.end(),
                                 [kind](const KernelCall& call) { return call.kind == kind; });
    return static_cast<std::size_t>(it - calls.begin());
}

// The two counter readings enclose the 25 reads and nothing else; the open, the allocation,
// the frequency query and the release all lie outside them.
void ExpectOnlyReadsTimed()
{
    const auto& calls = FakeKernel::Calls();
    ASSERT_EQ(FakeKernel::CallsOf(Kind::Counter).size(), 2u);
    const std::size_t start = IndexOf(Kind::Counter);
    const std::size_t stop = IndexOf(Kind::Counter, start + 1);
    for (std::size_t i = start + 1; i < stop; ++i) {
        EXPECT_EQ(calls[i].kind, Kind::Read) << "call " << i << " lies inside the timed span";
    }
    EXPECT_EQ(stop - start - 1, 25u);
    EXPECT_LT(IndexOf(Kind::Open), start);
    EXPECT_LT(IndexOf(Kind::Alloc), start);
    EXPECT_LT(IndexOf(Kind::Frequency), start);
    EXPECT_GT(IndexOf(Kind::Free), stop);
    EXPECT_GT(IndexOf(Kind::Close), stop);
}

// What every run must leave behind: nothing open, nothing allocated, no request sent.
void ExpectNothingLeftAndNothingWritten()
{
    EXPECT_EQ(FakeKernel::OpenHandles(), 0);
    EXPECT_TRUE(FakeKernel::CallsOf(Kind::Control).empty());
    for (const KernelCall& open : FakeKernel::CallsOf(Kind::Open)) {
        EXPECT_EQ(open.access, DWORD{GENERIC_READ});
    }
    const auto allocs = FakeKernel::CallsOf(Kind::Alloc);
    const auto frees = FakeKernel::CallsOf(Kind::Free);
    const auto granted = std::count_if(allocs.begin(), allocs.end(), [](const KernelCall& c) { return c.succeeded; });
    ASSERT_EQ(frees.size(), static_cast<std::size_t>(granted));
    for (std::size_t i = 0; i < frees.size(); ++i) {
        EXPECT_EQ(frees[i].address, allocs[i].address);
        EXPECT_EQ(frees[i].size, 0u);
        EXPECT_EQ(frees[i].type, DWORD{MEM_RELEASE});
    }
}

TEST(SequentialReadTest, OpensReadOnlyUnbufferedAndReadsIntoOnePageAlignedBuffer)
{
    SYSTEM_INFO system{};
    ::GetSystemInfo(&system);
    for (const int driveNumber : {0, 7, 31}) {
        SCOPED_TRACE(driveNumber);
        FakeKernel::Reset();
        FakeKernel::Drive(driveNumber).laterReads.ticks = kTwentiethOfASecond;

        EXPECT_DOUBLE_EQ(DiskTest::RunSequentialReadTest(driveNumber), 200.0);

        const auto opens = FakeKernel::CallsOf(Kind::Open);
        ASSERT_EQ(opens.size(), 1u);
        EXPECT_EQ(opens[0].path, L"\\\\.\\PhysicalDrive" + std::to_wstring(driveNumber));
        EXPECT_EQ(opens[0].access, DWORD{GENERIC_READ});
        EXPECT_EQ(opens[0].share, DWORD{FILE_SHARE_READ | FILE_SHARE_WRITE});
        EXPECT_EQ(opens[0].disposition, DWORD{OPEN_EXISTING});
        EXPECT_EQ(opens[0].flags, DWORD{FILE_FLAG_NO_BUFFERING});
        EXPECT_TRUE(opens[0].securityNull);
        EXPECT_TRUE(opens[0].templateNull);

        const auto allocs = FakeKernel::CallsOf(Kind::Alloc);
        ASSERT_EQ(allocs.size(), 1u);
        EXPECT_EQ(allocs[0].size, SIZE_T{kChunk});
        EXPECT_EQ(allocs[0].type, DWORD{MEM_COMMIT | MEM_RESERVE});
        EXPECT_EQ(allocs[0].protect, DWORD{PAGE_READWRITE});
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(allocs[0].address) % system.dwPageSize, 0u);

        // No OVERLAPPED means no offset: each read continues where the last ended.
        const auto reads = FakeKernel::CallsOf(Kind::Read);
        ASSERT_EQ(reads.size(), 25u);
        for (const KernelCall& read : reads) {
            EXPECT_EQ(read.handle, opens[0].handle);
            EXPECT_EQ(read.address, allocs[0].address);
            EXPECT_EQ(read.bytesToRead, kChunk);
            EXPECT_TRUE(read.overlappedNull);
        }
        ExpectOnlyReadsTimed();
        ExpectNothingLeftAndNothingWritten();
    }
}

// The speed comes from the performance counter alone: its ticks over its frequency.
TEST(SequentialReadTest, SpeedIsOneHundredMebibytesOverTheCountersSeconds)
{
    FakeRead evenRead;
    evenRead.ticks = kTwentiethOfASecond;
    FakeRead instantRead;
    FakeRead slowRealReadOnStoppedCounter;
    slowRealReadOnStoppedCounter.realMilliseconds = 40;
    FakeRead wholeHalfSecond;
    wholeHalfSecond.ticks = FakeKernel::kFrequency / 2;
    std::vector<FakeRead> shortReads = Reads(25, evenRead);
    shortReads[0].bytes = 4096;
    shortReads[12].bytes = 512;
    shortReads[24].bytes = kChunk - 4096;

    const struct {
        const char* name;
        LONGLONG frequency;
        std::vector<FakeRead> reads;
        FakeRead laterReads;
        double expected;
    } cases[] = {
        {"half a second in even reads", FakeKernel::kFrequency, {}, evenRead, 200.0},
        {"half a second in the first read", FakeKernel::kFrequency, {wholeHalfSecond}, instantRead, 200.0},
        {"short reads count as full chunks", FakeKernel::kFrequency, shortReads, instantRead, 200.0},
        {"same ticks on a 2.5 MHz counter", 2'500'000, {}, evenRead, 50.0},
        {"same ticks on a 1 GHz counter", 1'000'000'000, {}, evenRead, 20000.0},
        {"a counter that does not advance", FakeKernel::kFrequency, {}, instantRead, 0.0},
        {"real time passing is not seen", FakeKernel::kFrequency, {slowRealReadOnStoppedCounter}, instantRead, 0.0},
        {"a counter without a frequency", 0, {}, evenRead, 0.0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeKernel::Reset();
        FakeKernel::SetFrequency(c.frequency);
        FakeDrive& drive = FakeKernel::Drive(3);
        drive.reads = c.reads;
        drive.laterReads = c.laterReads;

        EXPECT_DOUBLE_EQ(DiskTest::RunSequentialReadTest(3), c.expected);
        EXPECT_EQ(FakeKernel::CallsOf(Kind::Read).size(), 25u);
        EXPECT_EQ(FakeKernel::CallsOf(Kind::Frequency).size(), 1u);
        ExpectOnlyReadsTimed();
        ExpectNothingLeftAndNothingWritten();
    }
}

TEST(SequentialReadTest, FailuresGiveMinusOneAndReleaseWhatWasTaken)
{
    FakeRead good;
    good.ticks = kTwentiethOfASecond;
    FakeRead failing = good;
    failing.fails = true;
    FakeRead gone = failing;
    gone.error = ERROR_DEVICE_NOT_CONNECTED;
    FakeRead empty = good;
    empty.bytes = 0;
    std::vector<FakeRead> thirteenthFails = Reads(12, good);
    thirteenthFails.push_back(failing);
    std::vector<FakeRead> fifthEmpty = Reads(4, good);
    fifthEmpty.push_back(empty);

    const struct {
        const char* name;
        bool exists;
        bool opens;
        bool allocates;
        std::vector<FakeRead> reads;
        FakeRead laterReads;
        std::size_t expectedReads;
        std::uint32_t error; // as the failure tells it
    } cases[] = {
        {"no device", false, true, true, {}, good, 0, ERROR_FILE_NOT_FOUND},
        {"the device refuses the open", true, false, true, {}, good, 0, ERROR_ACCESS_DENIED},
        {"no buffer", true, true, false, {}, good, 0, ERROR_NOT_ENOUGH_MEMORY},
        {"the 13th read fails", true, true, true, thirteenthFails, good, 13, ERROR_CRC},
        {"the first read fails, the drive gone", true, true, true, {gone}, good, 1, ERROR_DEVICE_NOT_CONNECTED},
        {"a read returns no data", true, true, true, fifthEmpty, good, 5, 0},
        {"a drive smaller than 100 MiB", true, true, true, Reads(10, good), empty, 11, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeKernel::Reset();
        FakeKernel::FailAllocations(!c.allocates);
        if (c.exists) {
            FakeDrive& drive = FakeKernel::Drive(4);
            drive.opens = c.opens;
            drive.reads = c.reads;
            drive.laterReads = c.laterReads;
        }

        std::uint32_t error = 0xDEAD;
        EXPECT_DOUBLE_EQ(DiskTest::RunSequentialReadTest(4, &error), -1.0);
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(FakeKernel::CallsOf(Kind::Read).size(), c.expectedReads);
        const bool opened = c.exists && c.opens;
        EXPECT_EQ(FakeKernel::CallsOf(Kind::Close).size(), opened ? 1u : 0u);
        EXPECT_EQ(FakeKernel::CallsOf(Kind::Alloc).size(), opened ? 1u : 0u);
        ExpectNothingLeftAndNothingWritten();
        if (c.expectedReads > 0) {
            // No read follows the release; the buffer goes, then the handle.
            const std::size_t free = IndexOf(Kind::Free);
            EXPECT_EQ(IndexOf(Kind::Read, free), FakeKernel::Calls().size());
            EXPECT_GT(IndexOf(Kind::Close), free);
        }
    }
}

// The surface scan over fake surfaces: one drive, scanned on the scan's own thread, and waited
// for as the window would.

constexpr std::uint64_t kMiB = 1024 * 1024;
constexpr DWORD kScanWait = 20'000;

using Range = ScanRecord::Range;
using Counts = std::array<std::uint64_t, ScanRecord::kScannedClasses>;

Counts CountsOf(const ScanRecord& record)
{
    Counts counts{};
    for (std::size_t index = 0; index < counts.size(); ++index) {
        counts[index] = record.Count(static_cast<ScanRecord::Class>(index + 1));
    }
    return counts;
}

// Starts a scan of drive `number` and waits until its thread has ended.
ScanRecord Scan(int number)
{
    EXPECT_TRUE(SurfaceScan::Start(number, nullptr, 0));
    for (DWORD waited = 0; SurfaceScan::IsRunning() && waited < kScanWait; waited += 5) {
        ::Sleep(5);
    }
    EXPECT_FALSE(SurfaceScan::IsRunning()) << "the scan did not end";
    return SurfaceScan::Snapshot();
}

// The logged reads are blocks of 1 MiB (the last what remains) from LBA 0 in order, or only
// those at `only`, each that failed, but for one that timed out, followed by its pieces of 64 KiB,
// all naming their offset in whole sectors.
void ExpectReadsInOrder(std::uint64_t capacity, const std::vector<std::uint64_t>& only,
                        const std::vector<FakeSurface::Extent>& timeouts)
{
    std::uint64_t block = only.empty() ? 0 : only[0];
    std::size_t next = 1;
    const std::vector<KernelCall> reads = FakeKernel::CallsOf(Kind::Read);
    for (std::size_t index = 0; index < reads.size(); ++index) {
        const std::uint64_t length = std::min(kMiB, capacity - block);
        ASSERT_EQ(reads[index].offset, block) << "read " << index;
        ASSERT_EQ(reads[index].bytesToRead, length) << "read " << index;
        EXPECT_FALSE(reads[index].overlappedNull);
        const bool failed = !reads[index].succeeded &&
                            std::none_of(timeouts.begin(), timeouts.end(), [&](const FakeSurface::Extent& timeout) {
                                return timeout.firstLba * 512 < block + length &&
                                       block < (timeout.firstLba + timeout.sectors) * 512;
                            });
        for (std::uint64_t piece = 0; failed && piece < length && index + 1 < reads.size();
             piece += SurfaceScan::kPieceSize) {
            ++index;
            ASSERT_EQ(reads[index].offset, block + piece) << "piece " << index;
            ASSERT_EQ(reads[index].bytesToRead, std::min<std::uint64_t>(SurfaceScan::kPieceSize, length - piece));
        }
        block = only.empty() ? block + length : next < only.size() ? only[next++] : capacity;
    }
}

TEST(SurfaceScan, ClassifiesNarrowsAndStopsByItselfWithTheExactCalls)
{
    const auto slow = [](std::uint64_t block, double extra) {
        return FakeSurface::Slow{block * 2048 + 100, 8, extra};
    };
    struct Case {
        const char* name;
        std::uint64_t capacity;
        FakeSurface surface;
        Counts counts;
        std::vector<Range> ranges;
        std::wstring result;
        bool answersGeometry = true;
        // A check of these logged LBAs, on the caller's thread, instead of the whole scan; the
        // blocks it reads and what it says of each LBA.
        std::vector<ScanRecord::LoggedLba> logged = {};
        std::vector<std::uint64_t> blocks = {};
        std::vector<std::wstring> now = {};
    };
    FakeSurface slowRanges;
    slowRanges.zones = {{0, 0, 100}, {4 * 2048, 0, 20}};
    slowRanges.slow = {slow(1, 45), slow(2, 140.01), slow(3, 300), slow(4, 460)};
    FakeSurface unreadable;
    unreadable.unreadable = {{0, 1}, {2048 + 2040, 16}, {8200, 1}};
    FakeSurface fourKn;
    fourKn.sectorSize = 4096;
    fourKn.unreadable = {{300, 1}};
    FakeSurface gone;
    gone.goneFromLba = 5000;
    FakeSurface lostLink = gone;
    lostLink.goneError = ERROR_FILE_NOT_FOUND;
    FakeSurface removed = gone;
    removed.goneError = 1617; // ERROR_DEVICE_REMOVED
    FakeSurface dropsWhileNarrowing; // its first unreadable piece found, then the link drops
    dropsWhileNarrowing.unreadable = {{4100, 1}};
    dropsWhileNarrowing.goneAfterFailedReads = 2;
    FakeSurface dying;
    dying.unreadable = {{3 * 2048, 40 * 2048}};
    FakeSurface timingOut; // one timeout, a readable block, then three in a row
    timingOut.timeouts = {{2048 + 5, 1}, {3 * 2048 + 9, 1}, {4 * 2048, 2048 + 1}};
    timingOut.unreadable = {{2048 + 300, 1}};
    const std::vector<Case> cases{
        {"clean, 100 MB/s", 8 * kMiB, {}, {8, 0, 0, 0, 0}, {}, L"Finished"},
        {"no sector size told: 512", 3 * kMiB, {}, {3, 0, 0, 0, 0}, {}, L"Finished", false},
        {"a slow range in each class, 50 ms exactly at 20 MB/s", 8 * kMiB, slowRanges, {4, 1, 2, 1, 0}, {},
         L"Finished"},
        {"unreadable at LBA 0, across two blocks and in the short last block", 4 * kMiB + 24 * 1024, unreadable,
         {1, 0, 0, 0, 4}, {{0, 128, 23}, {3968, 256, 23}, {8192, 48, 23}}, L"Finished"},
        {"4096-byte sectors, a capacity of whole sectors but not of MiB", 3 * kMiB + 8192, fourKn, {3, 0, 0, 0, 1},
         {{288, 16, 23}}, L"Finished"},
        {"the drive gone in the third block", 8 * kMiB, gone, {2, 0, 0, 0, 0}, {},
         L"The drive stopped answering at LBA 4096 (error 1167)"},
        {"the drive's link lost in the third block", 8 * kMiB, lostLink, {2, 0, 0, 0, 0}, {},
         L"The drive stopped answering at LBA 4096 (error 2)"},
        {"the drive removed in the third block", 8 * kMiB, removed, {2, 0, 0, 0, 0}, {},
         L"The drive stopped answering at LBA 4096 (error 1617)"},
        {"the drive gone while a failed block is read in pieces", 8 * kMiB, dropsWhileNarrowing, {2, 0, 0, 0, 1},
         {{4096, 128, 23}}, L"The drive stopped answering at LBA 4224 (error 1167)"},
        {"32 unreadable blocks in a row", 40 * kMiB, dying, {3, 0, 0, 0, 32}, {{6144, 65536, 23}},
         L"Stopped after 32 unreadable blocks in a row at LBA 69632"},
        {"timeouts: not read in pieces, a readable block between, then three in a row", 8 * kMiB, timingOut,
         {2, 0, 0, 0, 4}, {{2048, 2048, 121}, {6144, 6144, 121}},
         L"The drive stopped answering (timeouts) at LBA 10240"},
        {"logged LBAs: two in one unreadable block, one in a readable piece of a failed block, one in a clean "
         "block, one in the short last block, one past the end",
         4 * kMiB + 24 * 1024, unreadable, {1, 0, 0, 0, 3}, {{3968, 256, 23}, {8192, 48, 23}}, L"Finished", true,
         {{4090, L"Self-test #1"}, {4095, L"Error #3"}, {5000, L"Error #2"}, {7000, L"Self-test #2"},
          {8200, L"Error #1"}, {9000, L"Self-test #3"}},
         {kMiB, 2 * kMiB, 3 * kMiB, 4 * kMiB},
         {L"Unreadable", L"Unreadable", L"Readable in 1 ms", L"Readable in 10 ms", L"Unreadable", L"Not read"}},
        {"logged LBAs on a drive that goes", 8 * kMiB, gone, {1, 0, 0, 0, 0}, {},
         L"The drive stopped answering at LBA 4096 (error 1167)", true, {{100, L"Self-test #1"}, {6000, L"Error #1"}},
         {0, 2 * kMiB}, {L"Readable in 10 ms", L"Not read"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeKernel::Reset();
        FakeSurface surface = c.surface;
        surface.logReads = true;
        FakeDrive& drive = FakeKernel::Drive(2).WithSurface(surface);
        drive.Answer(IOCTL_DISK_GET_LENGTH_INFO, DriveAnswers::Capacity(static_cast<std::int64_t>(c.capacity)));
        if (!c.answersGeometry) {
            drive.answers.erase(IOCTL_DISK_GET_DRIVE_GEOMETRY_EX);
        }

        const ScanRecord record = c.logged.empty() ? Scan(2) : SurfaceScan::CheckLoggedLbas(2, c.logged);
        EXPECT_EQ(record.ResultText(), c.result);
        EXPECT_EQ(CountsOf(record), c.counts);
        EXPECT_EQ(record.UnreadableRanges(), c.ranges);
        EXPECT_EQ(record.SectorSize(), c.surface.sectorSize);
        ExpectReadsInOrder(c.capacity, c.blocks, c.surface.timeouts);
        std::vector<std::wstring> now;
        for (const ScanRecord::LoggedLba& logged : record.LoggedLbas()) {
            now.push_back(ScanRecord::NowText(logged));
        }
        EXPECT_EQ(now, c.now);

        const auto opens = FakeKernel::CallsOf(Kind::Open);
        ASSERT_EQ(opens.size(), 1u);
        EXPECT_EQ(opens[0].path, L"\\\\.\\PhysicalDrive2");
        EXPECT_EQ(opens[0].access, DWORD{GENERIC_READ});
        EXPECT_EQ(opens[0].share, DWORD{FILE_SHARE_READ | FILE_SHARE_WRITE});
        EXPECT_EQ(opens[0].flags, DWORD{FILE_FLAG_NO_BUFFERING});
        std::vector<DWORD> codes;
        for (const KernelCall& call : FakeKernel::CallsOf(Kind::Control)) {
            codes.push_back(call.code);
        }
        EXPECT_EQ(codes, (std::vector<DWORD>{DWORD{IOCTL_DISK_GET_LENGTH_INFO}, DWORD{IOCTL_DISK_GET_DRIVE_GEOMETRY_EX}}));
        const auto allocs = FakeKernel::CallsOf(Kind::Alloc);
        ASSERT_EQ(allocs.size(), 1u);
        EXPECT_EQ(allocs[0].size, SurfaceScan::kBlockSize);
        EXPECT_EQ(FakeKernel::CallsOf(Kind::Free).size(), 1u);
        EXPECT_EQ(FakeKernel::CallsOf(Kind::Thread).size(), c.logged.empty() ? 1u : 0u);
        EXPECT_EQ(FakeKernel::OpenHandles(), 0) << "the drive's handle or the thread's left open";
    }
}

TEST(SurfaceScan, StopCancelsAHangingRequestOrWaitsOutAStuckReadAndADriveThatDoesNotOpenEndsTheScan)
{
    FakeKernel::Reset();
    FakeSurface surface;
    surface.hangAtLba = 2 * 2048 + 7;
    FakeKernel::Drive(0).WithSurface(surface).Answer(IOCTL_DISK_GET_LENGTH_INFO, DriveAnswers::Capacity(64 * kMiB));
    ASSERT_TRUE(SurfaceScan::Start(0, nullptr, 0));
    EXPECT_FALSE(SurfaceScan::Start(0, nullptr, 0)) << "one scan at a time";
    for (DWORD waited = 0; !FakeKernel::Hanging() && waited < kScanWait; waited += 5) {
        ::Sleep(5);
    }
    ASSERT_TRUE(FakeKernel::Hanging());
    SurfaceScan::Stop();
    for (DWORD waited = 0; SurfaceScan::IsRunning() && waited < kScanWait; waited += 5) {
        ::Sleep(5);
    }
    EXPECT_FALSE(SurfaceScan::IsRunning()) << "one cancel did not end the scan";
    const ScanRecord stopped = SurfaceScan::Snapshot();
    EXPECT_EQ(stopped.ResultText(), L"Stopped");
    EXPECT_EQ(stopped.ScannedBytes(), 2 * kMiB);
    const auto cancels = FakeKernel::CallsOf(Kind::Cancel);
    ASSERT_EQ(cancels.size(), 1u);
    EXPECT_TRUE(cancels[0].succeeded);
    EXPECT_EQ(cancels[0].handle, FakeKernel::CallsOf(Kind::Thread).at(0).handle);
    EXPECT_EQ(FakeKernel::OpenHandles(), 0);

    // A Stop that cancels the capacity request ends the scan as stopped, not as a drive that
    // tells no capacity.
    FakeKernel::Reset();
    surface = {};
    surface.capacityHangs = true;
    FakeKernel::Drive(0).WithSurface(surface).Answer(IOCTL_DISK_GET_LENGTH_INFO, DriveAnswers::Capacity(64 * kMiB));
    ASSERT_TRUE(SurfaceScan::Start(0, nullptr, 0));
    for (DWORD waited = 0; !FakeKernel::Hanging() && waited < kScanWait; waited += 5) {
        ::Sleep(5);
    }
    SurfaceScan::Stop();
    for (DWORD waited = 0; SurfaceScan::IsRunning() && waited < kScanWait; waited += 5) {
        ::Sleep(5);
    }
    EXPECT_EQ(SurfaceScan::Snapshot().ResultText(), L"Stopped");
    EXPECT_TRUE(FakeKernel::CallsOf(Kind::Read).empty());

    // A read the drive does not give up takes every cancel and goes on: Stop returns at once
    // all the same, and the scan ends as stopped once the read has.
    FakeKernel::Reset();
    surface = {};
    surface.stuckAtLba = 2048;
    FakeKernel::Drive(0).WithSurface(surface).Answer(IOCTL_DISK_GET_LENGTH_INFO, DriveAnswers::Capacity(64 * kMiB));
    ASSERT_TRUE(SurfaceScan::Start(0, nullptr, 0));
    for (DWORD waited = 0; !FakeKernel::Stuck() && waited < kScanWait; waited += 5) {
        ::Sleep(5);
    }
    ASSERT_TRUE(FakeKernel::Stuck());
    for (int cancel = 0; cancel < 3; ++cancel) {
        SurfaceScan::Stop();
        ::Sleep(20);
    }
    EXPECT_TRUE(SurfaceScan::IsRunning());
    EXPECT_EQ(FakeKernel::CallsOf(Kind::Cancel).size(), 3u);
    FakeKernel::ReleaseStuckRead();
    for (DWORD waited = 0; SurfaceScan::IsRunning() && waited < kScanWait; waited += 5) {
        ::Sleep(5);
    }
    EXPECT_FALSE(SurfaceScan::IsRunning());
    EXPECT_EQ(SurfaceScan::Snapshot().ResultText(), L"Stopped");
    EXPECT_EQ(SurfaceScan::Snapshot().ScannedBytes(), kMiB);
    EXPECT_EQ(FakeKernel::OpenHandles(), 0);

    FakeKernel::Reset();
    EXPECT_EQ(Scan(5).ResultText(), L"The drive could not be opened (error 2)");
    EXPECT_EQ(SurfaceScan::ReadGeometry(5).outcome, SurfaceScan::GeometryAnswer::Outcome::NotOpened);
    EXPECT_EQ(FakeKernel::OpenHandles(), 0);
}

// Every drive of the demo's surfaces file, scanned whole, reports what the file's rules imply:
// the counts of each class, the unreadable ranges as unions of the 64 KiB pieces that touch an
// unreadable row, and where a gone row or a row of 32 unreadable blocks ends the scan.
TEST(SurfaceScan, ReportsWhatTheDemoSurfacesImply)
{
    constexpr std::uint64_t kPieceSectors = SurfaceScan::kPieceSize / 512;
    for (const auto& [number, surface] : FakeSurface::Load(FakeSurface::DemoFile(OSTREVANE_DEMO_SURFACES))) {
        SCOPED_TRACE("drive " + std::to_string(number));
        ASSERT_LT(static_cast<std::size_t>(number), kDemoCapacities.size());
        const auto capacity = static_cast<std::uint64_t>(kDemoCapacities[static_cast<std::size_t>(number)]);
        const std::uint64_t sectors = capacity / 512;
        const auto touches = [](std::uint64_t first, std::uint64_t end, std::uint64_t rowFirst, std::uint64_t rowSectors) {
            return rowFirst < end && first < rowFirst + rowSectors;
        };
        const auto unreadable = [&](std::uint64_t first, std::uint64_t end) {
            return std::any_of(surface.unreadable.begin(), surface.unreadable.end(),
                               [&](const FakeSurface::Extent& row) { return touches(first, end, row.firstLba, row.sectors); });
        };
        Counts counts{};
        std::vector<Range> ranges;
        std::wstring result = L"Finished";
        std::uint32_t row = 0;
        for (std::uint64_t first = 0; first < sectors; first += 2048) {
            const std::uint64_t end = std::min(sectors, first + 2048);
            if (surface.goneFromLba && end > *surface.goneFromLba) {
                result = L"The drive stopped answering at LBA " + std::to_wstring(first) + L" (error 1167)";
                break;
            }
            if (unreadable(first, end)) {
                for (std::uint64_t piece = first; piece < end; piece += kPieceSectors) {
                    const std::uint64_t pieceEnd = std::min(end, piece + kPieceSectors);
                    if (!unreadable(piece, pieceEnd)) {
                        continue;
                    }
                    if (!ranges.empty() && ranges.back().firstLba + ranges.back().sectors == piece) {
                        ranges.back().sectors += pieceEnd - piece;
                    } else {
                        ranges.push_back({piece, pieceEnd - piece, 23});
                    }
                }
                ++counts[4];
                if (++row == 32) {
                    result = L"Stopped after 32 unreadable blocks in a row at LBA " + std::to_wstring(first);
                    break;
                }
                continue;
            }
            row = 0;
            double rate = FakeSurface::kDefaultRate;
            std::uint64_t zoneFirst = 0;
            for (const FakeSurface::Zone& zone : surface.zones) {
                if (zone.firstLba <= first && (zone.sectors == 0 || first < zone.firstLba + zone.sectors) &&
                    zone.firstLba >= zoneFirst) {
                    zoneFirst = zone.firstLba;
                    rate = zone.mibPerSecond;
                }
            }
            double extra = 0;
            for (const FakeSurface::Slow& slow : surface.slow) {
                extra = touches(first, end, slow.firstLba, slow.sectors) ? std::max(extra, slow.extraMilliseconds) : extra;
            }
            const double milliseconds = static_cast<double>(end - first) * 512.0 / (rate * 1048576.0) * 1000.0 + extra;
            ++counts[static_cast<std::size_t>(ScanRecord::ClassOf(milliseconds)) - 1];
        }

        FakeKernel::Reset();
        FakeKernel::Drive(number).WithSurface(surface).Answer(IOCTL_DISK_GET_LENGTH_INFO,
                                                               DriveAnswers::Capacity(static_cast<std::int64_t>(capacity)));
        const ScanRecord record = Scan(number);
        EXPECT_EQ(record.ResultText(), result);
        EXPECT_EQ(CountsOf(record), counts);
        EXPECT_EQ(record.UnreadableRanges(), ranges);
        EXPECT_EQ(FakeKernel::OpenHandles(), 0);
    }
}

} // namespace
