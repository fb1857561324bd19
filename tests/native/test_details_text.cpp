#include "DriveAnswers.h"
#include "diskinfo/AtaSmart.h"
#include "diskinfo/NvmeHealth.h"
#include "report/CellText.h"
#include "report/ControllerText.h"
#include "report/DetailsText.h"
#include "report/PartitionText.h"

#include <gtest/gtest.h>

#include <iostream>
#include <map>
#include <string>
#include <tuple>
#include <vector>

namespace {

using SmartPage = DriveAnswers::SmartPage;
using Verdict = Assessment::Verdict;
using Count = NvmeHealth::Count;
using Style = DetailsText::RowStyle;
using Rows = std::vector<std::vector<std::wstring>>;

DriveDetails::Page PageOf(const DriveAnswers::Bytes& bytes)
{
    DriveDetails::Page page{};
    std::copy(bytes.begin(), bytes.end(), page.begin());
    return page;
}

DriveDetails Ata(const SmartPage& data, std::optional<SmartPage> thresholds, bool predicted = false)
{
    DriveDetails details;
    details.info.failurePredicted = predicted;
    details.source = SmartSource::Ata;
    details.smartData = PageOf(data.Build());
    if (thresholds) {
        details.smartThresholds = PageOf(thresholds->Build());
    }
    return details;
}

DriveDetails Nvme(std::uint8_t warning, std::uint8_t percentageUsed, Count mediaErrors)
{
    DriveDetails details;
    details.source = SmartSource::Nvme;
    details.nvmeLog.emplace();
    auto& log = *details.nvmeLog;
    log[0] = warning;
    log[5] = percentageUsed;
    for (std::size_t i = 0; i < 8; ++i) {
        log[160 + i] = static_cast<std::uint8_t>(mediaErrors.low >> (8 * i));
        log[168 + i] = static_cast<std::uint8_t>(mediaErrors.high >> (8 * i));
    }
    return details;
}

// A sound ATA drive with the drive's own logs given.
DriveDetails AtaLogs(std::optional<DriveAnswers::Bytes> selfTests, std::optional<DriveAnswers::Bytes> errors,
                     DriveAnswers::Bytes statistics = {})
{
    DriveDetails details = Ata(SmartPage(), SmartPage());
    if (selfTests) {
        details.selfTestLog = PageOf(*selfTests);
    }
    if (errors) {
        details.errorLog = PageOf(*errors);
    }
    details.statistics = std::move(statistics);
    return details;
}

// The same drive of `sizeBytes`, its logs the extended ones where `extended`, and IDENTIFY with
// `logicalSector`-byte sectors.
DriveDetails Drive(DriveDetails details, std::int64_t sizeBytes, bool extended = false, std::uint32_t logicalSector = 512)
{
    details.info.sizeBytes = sizeBytes;
    details.selfTestLogExtended = extended && details.selfTestLog;
    details.errorLogExtended = extended && details.errorLog;
    details.identify = PageOf(DriveAnswers::IdentifyDevice("M", "S", "F", true, logicalSector));
    return details;
}
constexpr std::int64_t k2TB = 2'000'398'934'016; // 3,907,029,168 sectors: above 2^28, below 2^32
constexpr std::int64_t k4TB = 4'000'787'030'016; // 7,814,037,168 sectors: above 2^32

DriveDetails NvmeSelfTests(DriveAnswers::Bytes log)
{
    DriveDetails details = Nvme(0, 0, {});
    details.nvmeSelfTests = std::move(log);
    return details;
}

DriveDetails Raid(std::wstring driver = L"", std::vector<DriveDetails> members = {})
{
    DriveDetails details;
    details.busType = DriveDetails::kBusTypeRaid;
    details.raidDriver = std::move(driver);
    details.members = std::move(members);
    return details;
}

// A member of an array, numbered `n` in its model and serial number.
DriveDetails Member(DriveDetails details, int n)
{
    details.info.model = L"M" + std::to_wstring(n);
    details.info.serialNumber = L"S" + std::to_wstring(n);
    return details;
}

std::wstring Lines(std::initializer_list<std::wstring_view> lines)
{
    std::wstring text;
    for (const auto line : lines) {
        text.append(line).append(L"\r\n");
    }
    return text;
}

} // namespace

TEST(DetailsText, AssessmentRules)
{
    const SmartPage reallocated = SmartPage().Attribute(0, 5, 655).Normalised(0, 118, 118);
    const struct {
        const char* name;
        DriveDetails details;
        Verdict verdict;
        std::vector<std::wstring> reasons;
    } cases[] = {
        {"no thresholds page: nothing can fail", Ata(SmartPage().Attribute(0, 1, 0).Normalised(0, 1, 1), std::nullopt),
         Verdict::Good, {}},
        {"current at its threshold", Ata(reallocated, SmartPage().Threshold(0, 5, 140)), Verdict::Failing,
         {L"Attribute 5 Reallocated Sectors Count: current 118 is at or below its threshold 140"}},
        {"threshold matched by id, not by slot", Ata(reallocated, SmartPage().Threshold(0, 9, 200).Threshold(7, 5, 118)),
         Verdict::Failing, {L"Attribute 5 Reallocated Sectors Count: current 118 is at or below its threshold 118"}},
        {"worst at its threshold", Ata(SmartPage().Attribute(3, 3, 0).Normalised(3, 100, 20), SmartPage().Threshold(0, 3, 21)),
         Verdict::Caution, {L"Attribute 3 Spin-Up Time: worst 20 was at or below its threshold 21 in the past"}},
        {"threshold 0 never fails", Ata(SmartPage().Attribute(0, 1, 0).Normalised(0, 0, 0), SmartPage().Threshold(0, 1, 0)),
         Verdict::Good, {}},
        {"a count to watch", Ata(SmartPage().Attribute(0, 197, 8), SmartPage()), Verdict::Caution,
         {L"Attribute 197 Current Pending Sector Count: raw count 8 is not 0"}},
        {"only the low 32 raw bits count", Ata(SmartPage().Attribute(0, 5, std::uint64_t{2000} << 32), SmartPage()),
         Verdict::Good, {}},
        {"a count to watch above 2^32", Ata(SmartPage().Attribute(0, 5, (std::uint64_t{3} << 32) + 9), SmartPage()),
         Verdict::Caution, {L"Attribute 5 Reallocated Sectors Count: raw count 9 is not 0"}},
        {"failure predicted", Ata(SmartPage(), SmartPage(), true), Verdict::Failing,
         {L"The drive predicts its own failure"}},
        {"NVMe critical warning", Nvme(0x11, 0, {}), Verdict::Failing,
         {L"Critical warning 0x11: available spare below its threshold, volatile memory backup failed"}},
        {"NVMe critical warning below 0x10", Nvme(0x04, 0, {}), Verdict::Failing,
         {L"Critical warning 0x04: reliability degraded"}},
        {"NVMe worn out", Nvme(0, 100, {}), Verdict::Caution,
         {L"Percentage used 100 %: the drive has reached its rated endurance"}},
        {"NVMe media errors above 64 bits", Nvme(0, 99, {0, 1}), Verdict::Caution,
         {L"Media and data integrity errors: 18446744073709551616"}},
        {"failing now and a count to watch",
         Ata(SmartPage().Attribute(0, 197, 8).Attribute(1, 5, 0).Normalised(1, 9, 9),
             SmartPage().Threshold(0, 197, 0).Threshold(1, 5, 10)),
         Verdict::Failing,
         {L"Attribute 197 Current Pending Sector Count: raw count 8 is not 0",
          L"Attribute 5 Reallocated Sectors Count: current 9 is at or below its threshold 10"}},
        {"no SMART data", DriveDetails(), Verdict::Unknown, {L"The drive answered no SMART data"}},
        {"extended self-test failed", AtaLogs(DriveAnswers::AtaSelfTestLog({{2, 0x00, 100}, {2, 0x79, 120, 61000013}}), {}),
         Verdict::Failing, {L"Self-test #1 (extended) ended in a read failure at LBA 61000013, at hour 120"}},
        {"a failure that a later extended pass cleared",
         AtaLogs(DriveAnswers::AtaSelfTestLog({{2, 0x50, 90, 7}, {130, 0x00, 95}, {1, 0x00, 99}}), {}), Verdict::Good, {}},
        {"a short pass clears nothing",
         AtaLogs(DriveAnswers::AtaSelfTestLog({{1, 0x30, 90}, {1, 0x00, 99}, {2, 0xF9, 99}}), {}), Verdict::Failing,
         {L"Self-test #3 (short) ended in a fatal or unknown error, at hour 90"}},
        {"NVMe self-test failed", NvmeSelfTests(DriveAnswers::NvmeSelfTestLog({{1, 0, 310, {}}, {2, 7, 300, 1234}})),
         Verdict::Failing, {L"Self-test #2 (extended) ended in failed segments at LBA 1234, at hour 300"}},
        {"NVMe self-test aborted", NvmeSelfTests(DriveAnswers::NvmeSelfTestLog({{2, 8, 300, 1234}, {2, 4, 200, {}}})),
         Verdict::Good, {}},
        {"media errors logged",
         AtaLogs({}, DriveAnswers::AtaErrorLog(3, {{0x25, 0x10, 5, 40}, {0xC8, 0x40, 204799999, 90}, {0x25, 0x84, 9, 95}})),
         Verdict::Caution, {L"The drive logged 3 errors; the newest, at hour 90: uncorrectable read at LBA 204799999"}},
        {"an error log's 48-bit command on a drive beyond 2^28 sectors: only the low 28 bits are known",
         Drive(AtaLogs({}, DriveAnswers::AtaErrorLog(1, {{0x60, 0x40, 0x2B3C4D, 90}})), k2TB), Verdict::Caution,
         {L"The drive logged 1 error; the newest, at hour 90: uncorrectable read at LBA (low 28 bits) 2833485"}},
        {"a 28-bit command's LBA is whole on any drive",
         Drive(AtaLogs({}, DriveAnswers::AtaErrorLog(1, {{0xC8, 0x40, 0x2B3C4D, 90}})), k4TB), Verdict::Caution,
         {L"The drive logged 1 error; the newest, at hour 90: uncorrectable read at LBA 2833485"}},
        {"the extended error log's 48-bit LBA",
         Drive(AtaLogs({}, DriveAnswers::AtaExtErrorLog(7, {{0x60, 0x40, 0x1A2B3C4D, 90}})), k2TB, true),
         Verdict::Caution, {L"The drive logged 7 errors; the newest, at hour 90: uncorrectable read at LBA 439041101"}},
        {"UNC with IDNF is uncorrectable",
         AtaLogs({}, DriveAnswers::AtaErrorLog(1, {{0x25, 0x50, 77, 90}})), Verdict::Caution,
         {L"The drive logged 1 error; the newest, at hour 90: uncorrectable read at LBA 77"}},
        {"a self-test log's LBA on a drive beyond 2^32 sectors",
         Drive(AtaLogs(DriveAnswers::AtaSelfTestLog({{2, 0x79, 120, 0x1234}}), {}), k4TB), Verdict::Failing,
         {L"Self-test #1 (extended) ended in a read failure at LBA (low 32 bits) 4660, at hour 120"}},
        {"the extended self-test log's 48-bit LBA",
         Drive(AtaLogs(DriveAnswers::AtaExtSelfTestLog({{1, 0x00, 100}, {2, 0x79, 120, 0x1'2345'6789}}), {}), k4TB, true),
         Verdict::Failing, {L"Self-test #1 (extended) ended in a read failure at LBA 4886718345, at hour 120"}},
        {"interface and aborted errors are not weighed",
         AtaLogs({}, DriveAnswers::AtaErrorLog(2, {{0x35, 0x80, 5, 40}, {0xB0, 0x04, 0, 41}})), Verdict::Good, {}},
        {"device statistics: endurance used up",
         AtaLogs({}, {}, DriveAnswers::DeviceStatistics({{7, 8, 100}, {1, 0x10, 5000}})), Verdict::Caution,
         {L"Percentage used 100 %: the drive has reached its rated endurance"}},
        {"device statistics: endurance left", AtaLogs({}, {}, DriveAnswers::DeviceStatistics({{7, 8, 99}})),
         Verdict::Good, {}},
        {"device statistics: reserved bits above the percentage byte",
         AtaLogs({}, {}, DriveAnswers::DeviceStatistics({{7, 8, 0x105}})), Verdict::Good, {}},
        {"behind a RAID driver", Raid(), Verdict::Unknown,
         {L"Health figures are not available through this RAID controller's driver (bus type RAID)"}},
        {"behind a RAID driver that named itself and is not read", Raid(L"megasas2"), Verdict::Unknown,
         {L"behind the megasas2 RAID driver: not read"}},
        {"an array: its worst member's verdict, the reasons naming it",
         Raid(L"iaStorAC", {Member(Ata(SmartPage(), SmartPage()), 1), Member(Ata(SmartPage().Attribute(0, 197, 8), SmartPage()), 2)}),
         Verdict::Caution,
         {L"Member 2 (M2, serial number S2) is the worst of 2: Caution",
          L"Member 2 (M2, serial number S2): Attribute 197 Current Pending Sector Count: raw count 8 is not 0"}},
        {"an array: a member not read weighs more than a good one",
         Raid(L"rcraid", {Member(Ata(SmartPage(), SmartPage()), 1), Member(DriveDetails(), 2)}), Verdict::Unknown,
         {L"Member 2 (M2, serial number S2) is the worst of 2: Unknown",
          L"Member 2 (M2, serial number S2): The drive answered no SMART data"}},
        {"no SMART data, failure predicted", [] { DriveDetails d; d.info.failurePredicted = true; return d; }(),
         Verdict::Failing, {L"The drive predicts its own failure", L"The drive answered no SMART data"}},
        {"a virtual disk", [] { DriveDetails d; d.virtualDisk = true; return d; }(), Verdict::Unknown,
         {L"A virtual disk keeps no SMART data: none was asked for"}},
        {"USB, standard requests only", [] { DriveDetails d; d.busType = 7; d.standardOnly = true; return d; }(),
         Verdict::Unknown, {L"The USB bridge was not asked: standard requests only"}},
    };
    // The list's Health cell says the same verdict shortly, in its own words.
    const std::map<Verdict, std::wstring> listTexts{
        {Verdict::Unknown, L"Good"}, {Verdict::Good, L"Good"}, {Verdict::Caution, L"Caution"}, {Verdict::Failing, L"Caution / Bad"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto assessment = Assessment::Of(c.details);
        EXPECT_EQ(assessment.verdict, c.verdict);
        EXPECT_EQ(assessment.reasons, c.reasons);
        // A virtual disk's Unknown says so in the list as in the details and the console program.
        const std::wstring_view virtualText = L"virtual disk: no SMART";
        EXPECT_EQ(assessment.Health(), c.details.virtualDisk ? virtualText : listTexts.at(c.verdict));
        EXPECT_EQ(assessment.Text() == virtualText, c.details.virtualDisk);
    }

    // Past six reasons the window sums up the rest in one line.
    Assessment many{Verdict::Failing, {L"1", L"2", L"3", L"4", L"5", L"6", L"7", L"8"}};
    EXPECT_EQ(DetailsText::ShownReasons(many),
              (std::vector<std::wstring>{L"1", L"2", L"3", L"4", L"5", L"6", L"and 2 more: see the table"}));
    many.reasons.resize(6);
    EXPECT_EQ(DetailsText::ShownReasons(many), many.reasons);
}

TEST(DetailsText, NumbersAndNames)
{
    const std::pair<Count, const char*> decimals[] = {
        {{0, 0}, "0"},
        {{~0ull, 0}, "18446744073709551615"},
        {{0, 1}, "18446744073709551616"},
        {{~0ull, ~0ull}, "340282366920938463463374607431768211455"},
    };
    for (const auto& [count, text] : decimals) {
        EXPECT_EQ(NvmeHealth::ToDecimal(count), text);
    }
    const std::pair<std::uint32_t, const wchar_t*> buses[] = {
        {7, L"USB"}, {0x0B, L"SATA"}, {0x11, L"NVMe"}, {0x0F, L"File-backed virtual"}, {0x13, L"19"}, {0, L"0"}};
    for (const auto& [bus, name] : buses) {
        EXPECT_EQ(DetailsText::BusTypeName(bus), name);
    }
    // A controller without its driver: maker by vendor ID (else "PCI"), kind by subclass, the .inf of RAID's.
    const std::tuple<std::uint16_t, std::uint16_t, std::uint8_t, const wchar_t*, const wchar_t*> controllers[] = {
        {0x8086, 0x9A0B, 4, L"Intel RAID/VMD controller (PCI\\VEN_8086&DEV_9A0B)", L"its driver (drvload X:\\Drivers\\iaStorVD.inf)"},
        {0x1022, 0x43BD, 4, L"AMD RAID controller (PCI\\VEN_1022&DEV_43BD)", L"its driver (drvload X:\\Drivers\\rcraid.inf)"},
        {0x8086, 0x06D2, 6, L"Intel AHCI controller (PCI\\VEN_8086&DEV_06D2)", L"its maker's driver (drvload X:\\Drivers\\<driver>.inf)"},
        {0xABCD, 0x00EF, 8, L"PCI NVMe controller (PCI\\VEN_ABCD&DEV_00EF)", L"its maker's driver (drvload X:\\Drivers\\<driver>.inf)"}};
    for (const auto& [vendor, device, subclass, name, driver] : controllers) {
        EXPECT_EQ(ControllerText::NoDriver(vendor, device, subclass), std::wstring(name) +
                  L" has no driver: its drives are hidden. Load " + driver + L", then Refresh Drives.");
    }
    // An id between two named ones has no name of its own.
    for (const std::uint8_t id : {std::uint8_t{0}, std::uint8_t{14}, std::uint8_t{178}}) {
        EXPECT_EQ(AtaSmart::AttributeName(id), L"Vendor specific") << int{id};
    }
    // NVMe: 273 K is 0 degrees, not "-"; 1,953,125 data units of 512,000 bytes are 1 TB; sensor 2 alone, at 272 K.
    DriveDetails nvme = Nvme(0, 0, {});
    for (const auto& [at, byte] : {std::pair{1, 0x11}, {2, 0x01}, {32, 0x65}, {33, 0xCD}, {34, 0x1D}, {202, 0x10}, {203, 0x01}}) {
        (*nvme.nvmeLog)[static_cast<std::size_t>(at)] = static_cast<std::uint8_t>(byte);
    }
    const auto rows = DetailsText::BuildTable(nvme).rows;
    ASSERT_EQ(rows.size(), 22u);
    EXPECT_EQ(rows[1][1], L"0 \u00B0C");
    EXPECT_EQ(rows[5][1], L"1953125 (1.00 TB)");
    EXPECT_EQ(rows[17], (std::vector<std::wstring>{L"Temperature Sensor 2", L"-1 \u00B0C"}));
}

// What the clipboard gets: whole cells, tab-separated, CR LF after every line; a tab inside a
// cell would shift the columns.
TEST(DetailsText, CopiedTexts)
{
    const std::wstring longModel(300, L'M');
    const std::vector<DriveInfo> drives{
        {0, longModel, L"S\t1", L"F\rW", 1073741824, false, L"Good", 45, 100, 7, L"C: D:"},
        {3, L"Unknown", L"Unknown", L"Unknown", 0, true, L"Caution / Bad", -1, -1, -1, L""}};
    EXPECT_EQ(DetailsText::ListCopyText(drives),
              Lines({L"Drive\tModel\tSerial Number\tFirmware\tSize (GB)\tHealth\tTemp\tPower(h)\tCycles\tSpeed\tVolumes",
                     L"0\t" + longModel + L"\tS 1\tF W\t1.0\tGood\t45 C\t100\t7\t-\tC: D:",
                     L"3\tUnknown\tUnknown\tUnknown\t0.0\tCaution / Bad\t-\t-\t-\t-\t-"}));

    DriveDetails details = Ata(SmartPage().Attribute(0, 5, 655).Normalised(0, 118, 118), SmartPage().Threshold(0, 5, 140));
    details.info = drives[0];
    details.info.model = L"MODEL";
    details.busType = 11;
    EXPECT_EQ(DetailsText::CopyText(details),
              Lines({L"Drive\t0", L"Model\tMODEL", L"Serial Number\tS 1", L"Firmware\tF W",
                     L"Capacity\t1.0 GB (1073741824 bytes)", L"Bus Type\tSATA", L"SMART Data\tATA SMART",
                     L"Assessment\tFailing",
                     L"Reason\tAttribute 5 Reallocated Sectors Count: current 118 is at or below its threshold 140", L"",
                     L"ID\tAttribute\tCurrent\tWorst\tThreshold\tRaw\tRaw (hex)\tStatus",
                     L"5\tReallocated Sectors Count\t118\t118\t140\t655\t00000000028F\tFailing now", L"",
                     L"Self-tests", L"Not available", L"", L"Errors", L"Not available", L"", L"Statistics",
                     L"Not available", L"", L"Partitions\tNot answered by the drive"}));

    // The partitions, each with the volume that starts where it starts on this drive and the
    // file system its first sectors name; a signature with a leading zero keeps its eight digits.
    DriveDetails layout;
    layout.info.index = 1;
    layout.layout = DriveLayout::Layout{DriveLayout::Style::Mbr, 0x0A1B2C3D, {},
                                        {{1, 1048576, 1073741824, 0x07, {}, L"", L"BitLocker"},
                                         {2, 1074790400, 1048576, 0x42, {}, L"", L""}}};
    layout.volumes.push_back({L"\\\\?\\Volume{x}\\", {L"E:\\", L"C:\\Mount\\E\\"}, {{1, 1048576, 1073741824}}});
    layout.volumes.push_back({L"\\\\?\\Volume{y}\\", {}, {{0, 1074790400, 1048576}}});
    EXPECT_EQ(PartitionText::CopyLines(layout),
              (std::vector<std::vector<std::wstring>>{
                  {L"Partitions", L"MBR, disk signature 0x0A1B2C3D"},
                  {L"#", L"Start (GB)", L"Start (bytes)", L"Size (GB)", L"Type", L"Name", L"Volume", L"File System"},
                  {L"1", L"0.0", L"1048576", L"1.0", L"NTFS / exFAT", L"-", L"E:, C:\\Mount\\E", L"BitLocker"},
                  {L"2", L"1.0", L"1074790400", L"0.0", L"LDM", L"-", L"-", L"-"}}));

    // Behind a USB bridge the drive's own identity is the record's; the bridge's has a line of its own.
    details.source = SmartSource::NvmeUsbBridge;
    details.bridgeIdentity = DriveIdentity{L"RTL9210 NVME", L"012345678906", L"1.00"};
    const auto heading = DetailsText::Heading(details);
    ASSERT_EQ(heading.size(), 8u);
    EXPECT_EQ(heading[2].label + L"=" + heading[2].value, L"Serial Number=S\t1");
    EXPECT_EQ(heading[4].label + L"=" + heading[4].value,
              L"USB Bridge=RTL9210 NVME, serial number 012345678906, firmware 1.00");
    EXPECT_EQ(heading[7].value, L"NVMe health log through the USB bridge (vendor command)");

    // Behind a RAID driver nothing was asked, and the view says why.
    EXPECT_EQ(DetailsText::BuildTable(Raid()).note,
              L"Health figures are not available through this RAID controller's driver (bus type RAID).");
    EXPECT_EQ(DetailsText::Heading(Raid())[5].value, L"RAID");
    // An array's table is its members, a line each, coloured by each one's verdict.
    DriveDetails hot = Member(Ata(SmartPage().Attribute(0, 197, 8), SmartPage()), 2);
    hot.info.temperature = 51;
    hot.info.powerOnHours = 7001;
    DriveDetails unread = Member(DriveDetails(), 1);
    unread.info.temperature = -1; // as the inventory leaves what it could not read
    unread.info.powerOnHours = -1;
    const auto members = DetailsText::BuildTable(Raid(L"iaStorAC", {unread, hot}));
    EXPECT_EQ(members.rows, (std::vector<std::vector<std::wstring>>{{L"1", L"M1", L"S1", L"-", L"-", L"Unknown"},
                                                                    {L"2", L"M2", L"S2", L"51 \u00B0C", L"7001", L"Caution"}}));
    EXPECT_EQ(members.styles, (std::vector<DetailsText::RowStyle>{DetailsText::RowStyle::Watch, DetailsText::RowStyle::Watch}));
    EXPECT_EQ(members.columns.size(), members.rows[0].size());

    // The drive's own logs under their headings, one item a line; newest first.
    const DriveDetails logged =
        AtaLogs(DriveAnswers::AtaSelfTestLog({{1, 0x00, 7000}, {2, 0x79, 7010, 61000013}}),
                DriveAnswers::AtaErrorLog(2, {{0x25, 0x40, 61000013, 7001}, {0xB0, 0x04, 0, 7002}}),
                DriveAnswers::DeviceStatistics(
                    {{1, 0x10, 7011}, {1, 0x18, 2'000'000'000}, {7, 8, 4}, {5, 0x20, 0x44}, {5, 0x28, 0xFB}}));
    EXPECT_NE(DetailsText::CopyText(logged).find(Lines(
                  {L"", L"Self-tests", L"#\tType\tStatus\tRemaining\tHours\tFirst Failing LBA",
                   L"1\tExtended\tCompleted: read failure\t90 %\t7010\t61000013",
                   L"2\tShort\tCompleted without error\t0 %\t7000\t-", L"", L"Errors", L"Error Count\t2",
                   L"#\tHours\tCommand\tError\tLBA", L"2\t7002\t0xB0\taborted\t0",
                   L"1\t7001\tREAD DMA EXT\tuncorrectable\t61000013", L"", L"Statistics", L"Power-On Hours\t7011",
                   L"Data Written\t1.02 TB", L"Percentage Used\t4 %", L"Highest Temperature\t68 \u00B0C",
                   L"Lowest Temperature\t-5 \u00B0C", L""})),
              std::wstring::npos)
        << DetailsText::CopyText(logged);
    // The window's one table: each title beside its section's first line, failures coloured.
    const auto logTable = DetailsText::LogTable(DetailsText::LogSections(logged));
    ASSERT_EQ(logTable.rows.size(), 12u);
    ASSERT_EQ(logTable.styles.size(), 12u);
    EXPECT_EQ(logTable.columns.size(), 7u);
    EXPECT_EQ(logTable.rows[0][0] + logTable.rows[0][1] + logTable.rows[1][0] + logTable.rows[1][1], L"Self-tests#1");
    EXPECT_EQ(logTable.rows[3][0] + L"/" + logTable.rows[7][0], L"Errors/Statistics");
    const std::vector<Style> styles(logTable.styles.begin(), logTable.styles.begin() + 8);
    EXPECT_EQ(styles, (std::vector<Style>{Style::Normal, Style::FailingNow, Style::Normal, Style::Normal, Style::Normal,
                                          Style::Normal, Style::FailingNow, Style::Normal}));

    // NVMe: the operation in progress, then the results; the error count of the newest entry.
    DriveDetails nvmeLogs = NvmeSelfTests(DriveAnswers::NvmeSelfTestLog({{1, 0, 310, {}}, {2, 7, 300, 1234}}));
    nvmeLogs.nvmeSelfTests[0] = 2;
    nvmeLogs.nvmeSelfTests[1] = 40;
    nvmeLogs.nvmeErrors.assign(3 * 64, 0);
    for (const auto& [at, byte] : {std::pair{0, 9}, {12, 0x02}, {13, 0x05}, {16, 0x39}, {17, 0x30}, {24, 1}, {64, 8}}) {
        nvmeLogs.nvmeErrors[static_cast<std::size_t>(at)] = static_cast<std::uint8_t>(byte);
    }
    const auto nvmeSections = DetailsText::LogSections(nvmeLogs);
    ASSERT_EQ(nvmeSections.size(), 3u);
    EXPECT_EQ(nvmeSections[0].lines,
              (Rows{{L"Extended self-test in progress", L"40 % done"},
                    {L"#", L"Type", L"Status", L"Remaining", L"Hours", L"First Failing LBA"},
                    {L"1", L"Short", L"Completed without error", L"-", L"310", L"-"},
                    {L"2", L"Extended", L"Completed: failed segments", L"-", L"300", L"1234"}}));
    EXPECT_EQ(nvmeSections[1].lines, (Rows{{L"Error Count", L"9"},
                                           {L"#", L"Status", L"LBA", L"Namespace"},
                                           {L"9", L"Unrecovered Read Error", L"12345", L"1"},
                                           {L"8", L"Successful Completion", L"0", L"0"}}));
    EXPECT_EQ(nvmeSections[2].lines, (Rows{{L"Not available"}}));

    // One section's lines of one drive each.
    const std::vector<std::wstring> selfTestHeader{L"#", L"Type", L"Status", L"Remaining", L"Hours", L"First Failing LBA"};
    const struct {
        const char* name;
        DriveDetails details;
        std::size_t section;
        Rows lines;
    } sections[] = {
        {"a self-test LBA the log kept 32 bits of",
         Drive(AtaLogs(DriveAnswers::AtaSelfTestLog({{2, 0x79, 120, 0x1234}}), {}), k4TB), 0,
         {selfTestHeader, {L"1", L"Extended", L"Completed: read failure", L"90 %", L"120", L"LBA (low 32 bits) 4660"}}},
        {"a captive selective self-test", AtaLogs(DriveAnswers::AtaSelfTestLog({{0x84, 0x00, 5}}), {}), 0,
         {selfTestHeader, {L"1", L"Selective (captive)", L"Completed without error", L"0 %", L"5", L"-"}}},
        {"an error LBA the log kept 28 bits of",
         Drive(AtaLogs({}, DriveAnswers::AtaErrorLog(1, {{0x60, 0x40, 0x2B3C4D, 90}})), k2TB), 1,
         {{L"Error Count", L"1"},
          {L"#", L"Hours", L"Command", L"Error", L"LBA"},
          {L"1", L"90", L"READ FPDMA QUEUED", L"uncorrectable", L"LBA (low 28 bits) 2833485"}}},
        {"an NVMe self-test log never written shows no results", NvmeSelfTests(DriveAnswers::Bytes(564, 0)), 0,
         {{L"No self-test in progress", L""}, selfTestHeader}},
        {"statistics of a drive with 4096-byte sectors; a temperature of 80h is none",
         Drive(AtaLogs({}, {}, DriveAnswers::DeviceStatistics({{1, 0x18, 2'000'000'000}, {5, 0x20, 0x80}, {5, 0x28, 0x05}})),
               k4TB, false, 4096),
         2, {{L"Data Written", L"8.19 TB"}, {L"Lowest Temperature", L"5 \u00B0C"}}},
    };
    for (const auto& c : sections) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(DetailsText::LogSections(c.details).at(c.section).lines, c.lines);
    }

    const auto none = DetailsText::BuildTable(DriveDetails());
    EXPECT_TRUE(none.columns.empty() && none.rows.empty());
    EXPECT_EQ(none.note, L"The drive answered no SMART data.");
    const auto noThresholds = DetailsText::BuildTable(Ata(SmartPage().Attribute(0, 9, 1), std::nullopt));
    ASSERT_EQ(noThresholds.rows.size(), 1u);
    EXPECT_EQ(noThresholds.rows[0][4], L"-");
}

// Every field of the real drives' logs as health.tsv gives it, and the details view's rows of them.
TEST(DetailsText, RealNvmeLogs)
{
    const auto dir = DriveAnswers::NvmePagesDir(OSTREVANE_NVME_PAGES_DIR);
    const auto real = DriveAnswers::LoadRealNvmeLogs(dir, "health.tsv");
    for (const auto& problem : real.problems) {
        ADD_FAILURE() << problem;
    }
    ASSERT_FALSE(real.logs.empty()) << "no logs in " << dir;
    for (const auto& drive : real.logs) {
        SCOPED_TRACE(drive.name);
        const auto f = NvmeHealth::Read(NvmeHealth::Log(drive.log.data(), drive.log.size()));
        std::map<std::string, std::string> actual{
            {"critical_warning", std::to_string(f.criticalWarning)},
            {"temperature", std::to_string(f.temperature)},
            {"available_spare", std::to_string(f.availableSpare)},
            {"available_spare_threshold", std::to_string(f.availableSpareThreshold)},
            {"percentage_used", std::to_string(f.percentageUsed)},
            {"data_units_read", NvmeHealth::ToDecimal(f.dataUnitsRead)},
            {"data_units_written", NvmeHealth::ToDecimal(f.dataUnitsWritten)},
            {"host_read_commands", NvmeHealth::ToDecimal(f.hostReadCommands)},
            {"host_write_commands", NvmeHealth::ToDecimal(f.hostWriteCommands)},
            {"controller_busy_minutes", NvmeHealth::ToDecimal(f.controllerBusyMinutes)},
            {"power_cycles", NvmeHealth::ToDecimal(f.powerCycles)},
            {"power_on_hours", NvmeHealth::ToDecimal(f.powerOnHours)},
            {"unsafe_shutdowns", NvmeHealth::ToDecimal(f.unsafeShutdowns)},
            {"media_errors", NvmeHealth::ToDecimal(f.mediaErrors)},
            {"error_log_entries", NvmeHealth::ToDecimal(f.errorLogEntries)},
            {"warning_temperature_minutes", std::to_string(f.warningTemperatureMinutes)},
            {"critical_temperature_minutes", std::to_string(f.criticalTemperatureMinutes)},
            {"tmt1_transitions", std::to_string(f.thermalTransitions1)},
            {"tmt2_transitions", std::to_string(f.thermalTransitions2)},
            {"tmt1_seconds", std::to_string(f.thermalSeconds1)},
            {"tmt2_seconds", std::to_string(f.thermalSeconds2)},
        };
        std::size_t sensorRows = 0; // a row of the table each
        for (std::size_t i = 0; i < f.sensors.size(); ++i) {
            actual["sensor_" + std::to_string(i + 1)] = f.sensors[i] ? std::to_string(*f.sensors[i]) : "-";
            sensorRows += f.sensors[i] ? 1u : 0u;
        }
        EXPECT_EQ(actual, drive.fields);

        DriveDetails details;
        details.nvmeLog = PageOf(drive.log);
        const auto table = DetailsText::BuildTable(details);
        ASSERT_EQ(table.rows.size(), 21u + sensorRows);
        EXPECT_EQ(table.rows[6][1].rfind(std::wstring(drive.fields.at("data_units_written").begin(),
                                                      drive.fields.at("data_units_written").end()) + L" (", 0), 0u);
    }
    std::cout << "checked every field of " << real.logs.size() << " real NVMe health logs from " << dir.string()
              << "\n";
}
