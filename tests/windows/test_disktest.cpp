#include "FakeKernel.h"
#include "disktest/DiskTest.h"

#include <gtest/gtest.h>

#include <algorithm>
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
    } cases[] = {
        {"no device", false, true, true, {}, good, 0},
        {"the device refuses the open", true, false, true, {}, good, 0},
        {"no buffer", true, true, false, {}, good, 0},
        {"the 13th read fails", true, true, true, thirteenthFails, good, 13},
        {"the first read fails", true, true, true, {failing}, good, 1},
        {"a read returns no data", true, true, true, fifthEmpty, good, 5},
        {"a drive smaller than 100 MiB", true, true, true, Reads(10, good), empty, 11},
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

        EXPECT_DOUBLE_EQ(DiskTest::RunSequentialReadTest(4), -1.0);
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

} // namespace
