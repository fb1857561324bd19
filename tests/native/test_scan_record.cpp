#include "DriveAnswers.h"
#include "disktest/DriveFiles.h"
#include "disktest/ScanRecord.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

namespace {

using Class = ScanRecord::Class;
using Read = ScanRecord::Read;
constexpr std::uint32_t kMiB = 1024 * 1024;
constexpr std::uint32_t kPiece = 64 * 1024;

// The pieces of the failed block at `offset`, those at the indexes in `failing` failing again
// with ERROR_CRC.
std::vector<Read> Pieces(std::uint64_t offset, std::uint32_t length, std::vector<std::uint32_t> failing)
{
    std::vector<Read> pieces;
    for (std::uint32_t done = 0, index = 0; done < length; done += kPiece, ++index) {
        const bool fails = std::find(failing.begin(), failing.end(), index) != failing.end();
        pieces.push_back({offset + done, std::min(kPiece, length - done), 1.0, !fails, fails ? 23u : 0u});
    }
    return pieces;
}

TEST(ScanRecord, ClassesCountsRangesMapPlotAndTexts)
{
    for (const auto& [milliseconds, expected] : std::vector<std::pair<double, Class>>{
             {0, Class::UpTo50}, {50, Class::UpTo50}, {50.001, Class::UpTo150}, {150, Class::UpTo150},
             {500, Class::UpTo500}, {500.001, Class::Over500}, {60'000, Class::Over500}}) {
        EXPECT_EQ(ScanRecord::ClassOf(milliseconds), expected) << milliseconds;
    }

    // Four whole blocks and a short one of 24 KiB, 512-byte sectors.
    const std::uint64_t capacity = 4 * kMiB + 24 * 1024;
    ScanRecord record(capacity, 512);
    EXPECT_EQ(record.MapCell(0, 1), Class::Unscanned);
    EXPECT_EQ(record.ResultText(), L"Running");
    // Slow but readable; failed with its last piece and the next block's first failing again,
    // which make one range; failed once but read in pieces, so it keeps the class of its time.
    EXPECT_TRUE(record.AddBlock({0, kMiB, 200, true}, {}));
    EXPECT_TRUE(record.AddBlock({kMiB, kMiB, 10, false}, Pieces(kMiB, kMiB, {3, 15})));
    EXPECT_TRUE(record.AddBlock({2 * kMiB, kMiB, 600, false}, Pieces(2 * kMiB, kMiB, {0})));
    EXPECT_TRUE(record.AddBlock({3 * kMiB, kMiB, 20, false}, Pieces(3 * kMiB, kMiB, {})));
    EXPECT_EQ(record.StatusLine(), L"Scanned 0.0 of 0.0 GB (99.4 %)   0 MB/s   elapsed 0:00:00");
    record.SetElapsed(3723.4);
    EXPECT_TRUE(record.AddBlock({4 * kMiB, 24 * 1024, 5, false}, Pieces(4 * kMiB, 24 * 1024, {0})));

    EXPECT_EQ(record.Count(Class::UpTo50), 1u);
    EXPECT_EQ(record.Count(Class::UpTo150), 0u);
    EXPECT_EQ(record.Count(Class::UpTo500), 1u);
    EXPECT_EQ(record.Count(Class::Over500), 0u);
    EXPECT_EQ(record.Count(Class::Unreadable), 3u);
    EXPECT_EQ(record.ScannedBytes(), capacity);
    const std::vector<ScanRecord::Range> ranges{{2048 + 384, 128, 23}, {2048 + 1920, 256, 23}, {8192, 48, 23}};
    EXPECT_EQ(record.UnreadableRanges(), ranges);
    // One display cell covers the whole drive and shows its worst block; the first of five
    // cells covers the slow block alone.
    EXPECT_EQ(record.MapCell(0, 1), Class::Unreadable);
    EXPECT_EQ(record.MapCell(0, 5), Class::UpTo500);
    EXPECT_EQ(record.MapCell(20'000, 30'000), Class::Unreadable) << "more display cells than stored ones";
    // A point per block here (a block is more than 0.1 % of this drive); a block that did not
    // read has no rate of its own.
    const std::vector<ScanRecord::PlotPoint> points = record.PlotPoints();
    ASSERT_EQ(points.size(), 5u);
    EXPECT_DOUBLE_EQ(points[0].mibPerSecond, 5.0);
    EXPECT_DOUBLE_EQ(points[1].mibPerSecond, 0.0);
    EXPECT_GT(points[4].positionGiB, points[3].positionGiB);

    record.Finish();
    record.Stop();
    EXPECT_EQ(record.GetState(), ScanRecord::State::Finished) << "the first end stands";
    EXPECT_FALSE(record.AddBlock({0, kMiB, 1, true}, {})) << "an ended scan takes no more blocks";
    EXPECT_EQ(record.StatusLine(), L"Finished   Scanned 0.0 of 0.0 GB (100.0 %)   0 MB/s   elapsed 1:02:03");
    const std::wstring copy = record.CopyText({3, L"MODEL X", L"SER 1"});
    EXPECT_EQ(copy.substr(0, copy.find(L"Rate\t")),
              L"Drive\t3\r\nModel\tMODEL X\r\nSerial Number\tSER 1\r\nCapacity\t4218880 bytes\r\n"
              L"Sector Size\t512 bytes\r\nResult\tFinished\r\nScanned\t4218880 bytes\r\nTime\t1:02:03\r\n"
              L"Average\t0.0\r\nBlocks up to 50 ms\t1\r\nBlocks up to 150 ms\t0\r\nBlocks up to 500 ms\t1\r\n"
              L"Blocks over 500 ms\t0\r\nUnreadable blocks\t3\r\nUnreadable\t2432\t128\terror 23\r\n"
              L"Unreadable\t3968\t256\terror 23\r\nUnreadable\t8192\t48\terror 23\r\n");
    EXPECT_NE(copy.find(L"Rate\t0.0\t5.0\r\n"), std::wstring::npos);
}

TEST(ScanRecord, StopsAfterARowOfUnreadableBlocksAndTellsWhereTheDriveWentAway)
{
    // 4096-byte sectors: a block is 256 of them.
    ScanRecord record(std::uint64_t{100} * kMiB, 4096);
    std::uint64_t offset = 0;
    const auto add = [&](bool readable) {
        const bool goesOn = record.AddBlock({offset, kMiB, 30, readable}, readable ? std::vector<Read>{}
                                                                                   : Pieces(offset, kMiB, {1}));
        offset += kMiB;
        return goesOn;
    };
    for (int block = 0; block < 31; ++block) {
        ASSERT_TRUE(add(false));
    }
    ASSERT_TRUE(add(true)) << "a readable block breaks the row";
    for (int block = 0; block < 31; ++block) {
        ASSERT_TRUE(add(false));
    }
    EXPECT_FALSE(add(false));
    EXPECT_EQ(record.GetState(), ScanRecord::State::StoppedByItself);
    EXPECT_EQ(record.ResultText(), L"Stopped after 32 unreadable blocks in a row at LBA 16128");
    EXPECT_EQ(record.Count(Class::Unreadable), 63u);
    EXPECT_EQ(record.UnreadableRanges().size(), 63u) << "pieces of different blocks that do not touch";
    EXPECT_EQ(record.UnreadableRanges()[0], (ScanRecord::Range{16, 16, 23}));

    ScanRecord gone(std::uint64_t{100} * kMiB, 512);
    gone.DriveGone(std::uint64_t{7} * kMiB, 1167);
    EXPECT_EQ(gone.ResultText(), L"The drive stopped answering at LBA 14336 (error 1167)");
    EXPECT_EQ(ScanRecord().ResultText(), L"Not started");

    // While it runs, the time left at the average rate; a plot point of 2 MiB holding a readable
    // block at 100 MB/s and an unreadable one shows the readable one's rate.
    ScanRecord running(std::uint64_t{2000} * kMiB, 512);
    ASSERT_TRUE(running.AddBlock({0, kMiB, 10, true}, {}));
    ASSERT_TRUE(running.AddBlock({kMiB, kMiB, 10, false}, Pieces(kMiB, kMiB, {0})));
    running.SetElapsed(1.0);
    EXPECT_EQ(running.StatusLine(), L"Scanned 0.0 of 2.0 GB (0.1 %)   2 MB/s   elapsed 0:00:01   left 0:16:39");
    ASSERT_EQ(running.PlotPoints().size(), 1u);
    EXPECT_DOUBLE_EQ(running.PlotPoints()[0].mibPerSecond, 100.0);
}

// The LBAs a drive's own logs name as failing: each failed self-test's first failing LBA (ATA or
// NVMe) and each uncorrectable or sector-not-found error's, in LBA order, an LBA named twice
// once with both sources; passed self-tests, failures without an LBA and interface or aborted
// errors name none. A block read tells each logged LBA in it what its block or piece gave.
TEST(ScanRecord, LoggedLbasFromTheLogsAndWhatTheirBlocksGave)
{
    DriveDetails ata;
    auto page = [](const DriveAnswers::Bytes& bytes) {
        DriveDetails::Page copy{};
        std::copy_n(bytes.begin(), copy.size(), copy.begin());
        return copy;
    };
    ata.selfTestLog = page(DriveAnswers::AtaSelfTestLog(
        {{2, 0x79, 90, 5000}, {1, 0x00, 95}, {1, 0x50, 96, 7}, {2, 0xF0, 97, 123}, {1, 0x74, 99, 3000}, {2, 0x30, 99}}));
    ata.errorLog = page(DriveAnswers::AtaErrorLog(
        9, {{0x25, 0x40, 5000, 80}, {0x25, 0x84, 42, 81}, {0xC8, 0x10, 2100, 82}, {0xB0, 0x04, 0, 83}, {0x25, 0x40, 3000, 84}}));
    std::vector<std::wstring> lines;
    for (const ScanRecord::LoggedLba& logged : ScanRecord::LoggedLbasOf(ata)) {
        lines.push_back(std::to_wstring(logged.lba) + L" " + logged.source);
    }
    EXPECT_EQ(lines, (std::vector<std::wstring>{L"7 Self-test #4", L"2100 Error #7", L"3000 Self-test #2, Error #9",
                                                L"5000 Self-test #6, Error #5"}));
    // On a drive of 2^33 sectors the summary logs' LBAs of self-tests and 48-bit commands are
    // only their low bits: none is re-read; READ DMA's (C8h) is whole. The extended logs' are exact.
    ata.info.sizeBytes = std::int64_t{1} << 42;
    const auto lbaList = [](const DriveDetails& details) {
        std::vector<std::uint64_t> lbas;
        for (const ScanRecord::LoggedLba& logged : ScanRecord::LoggedLbasOf(details)) {
            lbas.push_back(logged.lba);
        }
        return lbas;
    };
    EXPECT_EQ(lbaList(ata), std::vector<std::uint64_t>{2100});
    ata.selfTestLog = page(DriveAnswers::AtaExtSelfTestLog({{2, 0x79, 90, 0x1A'2B3C'4D5E}}));
    ata.errorLog = page(DriveAnswers::AtaExtErrorLog(1, {{0x60, 0x40, 0x2'0000'0001, 80}}));
    ata.selfTestLogExtended = ata.errorLogExtended = true;
    EXPECT_EQ(lbaList(ata), (std::vector<std::uint64_t>{0x2'0000'0001, 0x1A'2B3C'4D5E}));

    DriveDetails nvme;
    nvme.nvmeSelfTests = DriveAnswers::NvmeSelfTestLog({{1, 0, 310, {}}, {2, 7, 300, 1234}, {2, 5, 200, {}}, {1, 2, 100, 99}});
    const auto nvmeLogged = ScanRecord::LoggedLbasOf(nvme);
    ASSERT_EQ(nvmeLogged.size(), 1u);
    EXPECT_EQ(std::to_wstring(nvmeLogged[0].lba) + L" " + nvmeLogged[0].source, L"1234 Self-test #2");
    EXPECT_TRUE(ScanRecord::LoggedLbasOf(DriveDetails()).empty());

    // 4096-byte sectors: blocks of 256 sectors, 770 on the drive. LBAs 10 and 20 share block 0,
    // which reads; 300 lies in a failed block whose piece at 256 fails and whose piece at 272 (LBA
    // 300's) reads; 512, the first LBA of the next block, and 600 in a block never read, as the
    // scan stops before it; 769 in the last block, of 8 KiB; 770 and 1000 past the end.
    ScanRecord record(3 * kMiB + 8192, 4096,
                      {{10, L"a"}, {20, L"b"}, {300, L"c"}, {512, L"n"}, {600, L"d"}, {769, L"z"}, {770, L"p"}, {1000, L"e"}});
    EXPECT_TRUE(record.ChecksLogged());
    EXPECT_EQ(record.LoggedBlocks(), (std::vector<std::uint64_t>{0, kMiB, 2 * kMiB, 3 * kMiB}));
    EXPECT_TRUE(record.AddBlock({0, kMiB, 12.4, true}, {}));
    EXPECT_DOUBLE_EQ(record.Progress(), 1.0 / (3 + 8192.0 / kMiB));
    EXPECT_TRUE(record.AddBlock({kMiB, kMiB, 900, false}, Pieces(kMiB, kMiB, {0})));
    record.Stop();
    std::vector<std::wstring> now;
    for (const ScanRecord::LoggedLba& logged : record.LoggedLbas()) {
        now.push_back(ScanRecord::NowText(logged));
    }
    EXPECT_EQ(now, (std::vector<std::wstring>{L"Readable in 12 ms", L"Readable in 12 ms", L"Readable in 1 ms",
                                              L"Not read", L"Not read", L"Not read", L"Not read", L"Not read"}));
    const std::wstring copy = record.CopyText({1, L"M", L"S"});
    EXPECT_NE(copy.find(L"Unreadable\t256\t16\terror 23\r\nLogged LBA\t10\ta\tReadable in 12 ms\r\n"),
              std::wstring::npos)
        << copy;
    EXPECT_NE(copy.find(L"Logged LBA\t1000\te\tNot read\r\n"), std::wstring::npos);
    EXPECT_EQ(record.StatusLine().substr(0, 61), L"Stopped   Read 2 of 4 blocks that hold logged LBAs   elapsed ");
    // The last block, short, counts as what it holds: read, the check is whole.
    ScanRecord last(3 * kMiB + 8192, 4096, {{769, L"z"}});
    EXPECT_TRUE(last.AddBlock({3 * kMiB, 8192, 3, true}, {}));
    EXPECT_DOUBLE_EQ(last.Progress(), 1.0);

    // An unreadable piece makes its LBAs Unreadable; LBA 4096 of a drive of 4096 sectors adds no
    // block.
    ScanRecord failing(2 * kMiB, 512, {{2050, L"x"}, {4096, L"end"}});
    EXPECT_EQ(failing.LoggedBlocks(), std::vector<std::uint64_t>{kMiB});
    EXPECT_TRUE(failing.AddBlock({kMiB, kMiB, 900, false}, Pieces(kMiB, kMiB, {0})));
    EXPECT_EQ(ScanRecord::NowText(failing.LoggedLbas()[0]), L"Unreadable");
    EXPECT_FALSE(ScanRecord(2 * kMiB, 512).ChecksLogged());
}

TEST(ScanRecord, PlotScaleIsARoundFigureAboveTheHighestPointAndDurationsAreHoursMinutesSeconds)
{
    // The position axis in GB, or in MB on a drive under 1 GB.
    EXPECT_EQ(ScanRecord::AxisLabel(256 * std::uint64_t{kMiB}, 3), L"192 MB");
    EXPECT_EQ(ScanRecord::AxisLabel(1024 * std::uint64_t{kMiB} - 512, 4), L"1024 MB");
    EXPECT_EQ(ScanRecord::AxisLabel(2'000'398'934'016, 1), L"466 GB");

    struct Case {
        double highest;
        double top;
        int steps;
    };
    for (const Case& c : std::vector<Case>{{0, 10, 5}, {-3, 10, 5}, {0.7, 0.8, 4}, {100, 150, 3}, {105, 150, 3},
                                           {142, 150, 3}, {151, 200, 4}, {2500, 3000, 3}, {520, 600, 3}, {3000, 4000, 4},
                                           {9000, 10'000, 5}, {14'000, 15'000, 3}}) {
        const ScanRecord::Scale scale = ScanRecord::PlotScale(c.highest);
        EXPECT_DOUBLE_EQ(scale.top, c.top) << c.highest;
        EXPECT_EQ(scale.steps, c.steps) << c.highest;
    }
    for (const auto& [seconds, text] : std::vector<std::pair<double, std::wstring>>{
             {0, L"0:00:00"}, {-5, L"0:00:00"}, {59.9, L"0:00:59"}, {45'296, L"12:34:56"}, {360'000, L"100:00:00"}}) {
        EXPECT_EQ(ScanRecord::Duration(seconds), text) << seconds;
    }
    // A Stop's wait in minutes and seconds, past an hour too.
    for (const auto& [seconds, text] : std::vector<std::pair<double, std::wstring>>{
             {0.4, L"0:00"}, {-1, L"0:00"}, {61, L"1:01"}, {3'725, L"62:05"}}) {
        EXPECT_EQ(ScanRecord::StoppingText(seconds),
                  L"Stopping: waiting for the drive to answer the current read (" + text + L")");
    }
}

// Ranges of a drive cut by its partition table: the table's own sectors where the published
// layouts put them (an MBR's sector 0; a GPT's protective MBR, header and 16 KiB of entries at the
// start, the entries and backup header at the end), each partition's share in its own sectors,
// named by the volume that starts where it starts, and the rest off every partition.
TEST(DriveFiles, RangesCutByThePartitionTable)
{
    using Kind = DriveFiles::Kind;
    struct Piece {
        std::uint64_t firstLba;
        std::uint64_t sectors;
        Kind kind;
    };
    struct Case {
        const char* name;
        DriveLayout::Style style;
        std::uint32_t sectorSize;
        std::vector<ScanRecord::Range> ranges;
        std::vector<Piece> off;                            // the rows off every partition
        std::vector<FileOwners::SectorRange> inPartition; // partition 1's, in its sectors
    };
    constexpr std::uint64_t kSectors = 1'000'000;
    const std::vector<Case> cases{
        {"MBR", DriveLayout::Style::Mbr, 512, {{0, 4}, {2040, 16}, {2100, 1}},
         {{0, 1, Kind::PartitionTable}, {1, 3, Kind::NoPartition}, {2040, 8, Kind::NoPartition}},
         {{0, 8}, {52, 1}}},
        {"GPT, 512-byte sectors", DriveLayout::Style::Gpt, 512, {{30, 8}, {kSectors - 40, 40}},
         {{30, 4, Kind::PartitionTable}, {34, 4, Kind::NoPartition}, {kSectors - 40, 7, Kind::NoPartition},
          {kSectors - 33, 33, Kind::PartitionTable}},
         {}},
        {"GPT, 4 KiB sectors", DriveLayout::Style::Gpt, 4096, {{4, 4}, {kSectors - 6, 1}},
         {{4, 2, Kind::PartitionTable}, {6, 2, Kind::NoPartition}, {kSectors - 6, 1, Kind::NoPartition}}, {}},
        {"no partition table", DriveLayout::Style::Raw, 512, {{0, 2}}, {{0, 2, Kind::NoPartition}}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DriveLayout::Layout layout;
        layout.style = c.style;
        const std::int64_t start = 2048 * std::int64_t{c.sectorSize};
        layout.partitions.push_back({1, start, 1000 * std::int64_t{c.sectorSize}, 0x07, {}, {}, {}});
        const std::vector<DriveLayout::Volume> volumes{
            {L"\\\\?\\Volume{a}\\", {L"E:\\"}, {{3, start, 1000}}},
            {L"\\\\?\\Volume{b}\\", {L"F:\\"}, {{3, start + 512, 1000}}},
        };
        const DriveFiles::Plan plan = DriveFiles::PlanFor(c.ranges, layout, volumes, 3, c.sectorSize, kSectors);
        ASSERT_EQ(plan.rows.size(), c.off.size());
        for (std::size_t row = 0; row < c.off.size(); ++row) {
            EXPECT_EQ(plan.rows[row].firstLba, c.off[row].firstLba) << row;
            EXPECT_EQ(plan.rows[row].sectors, c.off[row].sectors) << row;
            EXPECT_EQ(plan.rows[row].kind, c.off[row].kind) << row;
        }
        ASSERT_EQ(plan.volumes.size(), c.inPartition.empty() ? 0u : 1u);
        if (!c.inPartition.empty()) {
            EXPECT_EQ(plan.volumes[0].names, L"E:");
            EXPECT_EQ(plan.volumes[0].firstLba, 2048u);
            ASSERT_EQ(plan.volumes[0].ranges.size(), c.inPartition.size());
            for (std::size_t index = 0; index < c.inPartition.size(); ++index) {
                EXPECT_EQ(plan.volumes[0].ranges[index].first, c.inPartition[index].first);
                EXPECT_EQ(plan.volumes[0].ranges[index].count, c.inPartition[index].count);
            }
        }
    }
}

} // namespace
