#include "report/DetailsText.h"

#include "diskinfo/AtaSmart.h"
#include "diskinfo/DriveLogs.h"
#include "diskinfo/NvmeHealth.h"
#include "report/CellText.h"
#include "report/PartitionText.h"
#include "text/BoundedText.h"
#include "text/Decimal.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <optional>
#include <span>

namespace {

constexpr double kBytesPerGiB = 1073741824.0;
constexpr double kBytesPerTB = 1e12;
constexpr double kBytesPerDataUnit = 512'000.0; // 1,000 blocks of 512 bytes
constexpr double kTwoTo64 = 18446744073709551616.0;
constexpr std::wstring_view kNewLine = L"\r\n";
constexpr std::size_t kNumberCapacity = 64;
constexpr std::size_t kShownErrors = 5;

// A raw attribute value, 48 bits, as its twelve hexadecimal digits.
std::wstring RawHex(std::uint64_t raw)
{
    constexpr std::wstring_view kDigits = L"0123456789ABCDEF";
    std::wstring text(12, L'0');
    for (std::size_t i = text.size(); i-- > 0; raw >>= 4) {
        text[i] = kDigits[raw & 0xF];
    }
    return text;
}

// How each status reads and looks, in the order of AtaSmart::Status.
struct StatusLook {
    std::wstring_view text;
    DetailsText::RowStyle style;
};
constexpr std::array<StatusLook, 4> kStatusLooks{{
    {L"OK", DetailsText::RowStyle::Normal},
    {L"Watch", DetailsText::RowStyle::Watch},
    {L"Failed in the past", DetailsText::RowStyle::FailedInPast},
    {L"Failing now", DetailsText::RowStyle::FailingNow},
}};
static_assert(static_cast<std::size_t>(AtaSmart::Status::FailingNow) + 1 == kStatusLooks.size());

const StatusLook& LookOf(AtaSmart::Status status)
{
    return kStatusLooks[static_cast<std::size_t>(status)];
}

void AtaTable(const std::vector<AtaSmart::Attribute>& attributes, DetailsText::Table& table)
{
    table.columns = {L"ID", L"Attribute", L"Current", L"Worst", L"Threshold", L"Raw", L"Raw (hex)", L"Status"};
    table.rows.reserve(attributes.size());
    table.styles.reserve(attributes.size());
    for (const AtaSmart::Attribute& attribute : attributes) {
        // Cell by cell into place: a braced list of cells would be copied once more.
        std::vector<std::wstring>& row = table.rows.emplace_back();
        row.reserve(table.columns.size());
        row.push_back(Decimal(attribute.id));
        row.emplace_back(AtaSmart::AttributeName(attribute.id));
        row.push_back(Decimal(attribute.current));
        row.push_back(Decimal(attribute.worst));
        row.push_back(attribute.threshold ? Decimal(*attribute.threshold) : L"-");
        row.push_back(Decimal(attribute.raw));
        row.push_back(RawHex(attribute.raw));
        row.emplace_back(LookOf(attribute.status).text);
        table.styles.push_back(LookOf(attribute.status).style);
    }
}

std::wstring CountText(NvmeHealth::Count count, std::wstring_view unit = {})
{
    std::wstring text = Widened(NvmeHealth::ToDecimal(count));
    if (!unit.empty()) {
        text += L" ";
        text += unit;
    }
    return text;
}

std::wstring DataUnitsText(NvmeHealth::Count units)
{
    const double bytes = (static_cast<double>(units.high) * kTwoTo64 + static_cast<double>(units.low)) *
                         kBytesPerDataUnit;
    return CountText(units) + BoundedText::Formatted<kNumberCapacity>(L" (%.2f TB)", bytes / kBytesPerTB);
}

std::wstring Percent(std::uint8_t value)
{
    return Decimal(value) + L" %";
}

std::wstring Minutes(std::uint32_t value)
{
    return Decimal(value) + L" minutes";
}

std::wstring Seconds(std::uint32_t value)
{
    return Decimal(value) + L" seconds";
}

std::wstring Celsius(std::int32_t value)
{
    const std::wstring magnitude = Decimal(static_cast<std::uint64_t>(value < 0 ? -std::int64_t{value} : value));
    return (value < 0 ? L"-" : L"") + magnitude + L" \u00B0C";
}

using Lines = std::vector<std::vector<std::wstring>>;
using Style = DetailsText::RowStyle;

// Cells as views, each made a string once here: a braced list of strings at every call would
// be built and then copied.
void AddLine(DetailsText::LogSection& section, std::initializer_list<std::wstring_view> cells,
             Style style = Style::Normal)
{
    section.lines.emplace_back(cells.begin(), cells.end());
    section.styles.push_back(style);
}

void AddSelfTests(const std::vector<DriveLogs::SelfTest>& tests, bool nvme, DetailsText::LogSection& section)
{
    AddLine(section, {L"#", L"Type", L"Status", L"Remaining", L"Hours", L"First Failing LBA"});
    for (std::size_t age = 0; age < tests.size(); ++age) {
        const DriveLogs::SelfTest& t = tests[age];
        AddLine(section,
                {Decimal(age + 1), nvme ? DriveLogs::NvmeTestType(t.type) : DriveLogs::AtaTestType(t.type),
                 nvme ? DriveLogs::NvmeTestResult(t.status) : DriveLogs::AtaTestStatus(t.status),
                 t.remainingPercent ? Percent(*t.remainingPercent) : L"-", Decimal(t.hours),
                 t.failingLba ? DriveLogs::LbaText(*t.failingLba, t.lbaBits) : L"-"},
                t.failed ? Style::FailingNow : Style::Normal);
    }
}

DetailsText::LogSection SelfTests(const DriveDetails& details)
{
    DetailsText::LogSection section{L"Self-tests", {}, {}};
    if (details.selfTestLog) {
        AddSelfTests(Assessment::AtaSelfTestsOf(details), false, section);
    } else if (details.nvmeSelfTests.size() == DriveLogs::kNvmeSelfTestLogSize) {
        const auto log = DriveLogs::NvmeSelfTests(
            std::span<const std::uint8_t, DriveLogs::kNvmeSelfTestLogSize>(details.nvmeSelfTests.data(),
                                                                           DriveLogs::kNvmeSelfTestLogSize));
        AddLine(section, {DriveLogs::NvmeOperation(log.operation),
                          log.operation != 0 ? Percent(log.completion) + L" done" : std::wstring()});
        AddSelfTests(log.results, true, section);
    }
    return section;
}

DetailsText::LogSection Errors(const DriveDetails& details)
{
    DetailsText::LogSection section{L"Errors", {}, {}};
    if (const auto ata = Assessment::AtaErrorsOf(details)) {
        const DriveLogs::AtaErrorLog& log = *ata;
        AddLine(section, {L"Error Count", Decimal(log.count)});
        if (!log.entries.empty()) {
            AddLine(section, {L"#", L"Hours", L"Command", L"Error", L"LBA"});
        }
        for (const DriveLogs::AtaError& e : log.entries) {
            AddLine(section,
                    {Decimal(e.number), Decimal(e.hours), DriveLogs::AtaCommandName(e.command),
                     DriveLogs::AtaErrorWords(e.error), DriveLogs::LbaText(e.lba, e.lbaBits)},
                    e.weighed ? Style::FailingNow : Style::Normal);
        }
    } else if (!details.nvmeErrors.empty()) {
        const std::vector<DriveLogs::NvmeError> errors = DriveLogs::NvmeErrors(details.nvmeErrors);
        AddLine(section, {L"Error Count", Decimal(errors.empty() ? 0 : errors.front().count)});
        if (!errors.empty()) {
            AddLine(section, {L"#", L"Status", L"LBA", L"Namespace"});
        }
        for (std::size_t i = 0; i < std::min(errors.size(), kShownErrors); ++i) {
            const DriveLogs::NvmeError& e = errors[i];
            AddLine(section, {Decimal(e.count), DriveLogs::NvmeStatusWords(e.sct(), e.sc()),
                              e.lba == ~std::uint64_t{0} ? L"-" : Decimal(e.lba), Decimal(e.nsid)});
        }
    }
    return section;
}

// The device statistics shown, each by its page and offset, and how its value reads.
enum class Reads { Count, TeraBytes, Percent, Celsius };
struct ShownStatistic {
    const wchar_t* label;
    std::uint8_t page;
    std::uint8_t offset;
    Reads reads;
};
constexpr std::array<ShownStatistic, 6> kStatistics{{
    {L"Power-On Hours", DriveLogs::kGeneralPage, DriveLogs::kPowerOnHours, Reads::Count},
    {L"Data Written", DriveLogs::kGeneralPage, DriveLogs::kSectorsWritten, Reads::TeraBytes},
    {L"Data Read", DriveLogs::kGeneralPage, DriveLogs::kSectorsRead, Reads::TeraBytes},
    {L"Percentage Used", DriveLogs::kSolidStatePage, DriveLogs::kPercentageUsed, Reads::Percent},
    {L"Highest Temperature", DriveLogs::kTemperaturePage, DriveLogs::kHighestTemperature, Reads::Celsius},
    {L"Lowest Temperature", DriveLogs::kTemperaturePage, DriveLogs::kLowestTemperature, Reads::Celsius},
}};

// Device statistics count the drive's logical sectors.
std::optional<std::wstring> StatisticText(std::span<const std::uint8_t> pages, const ShownStatistic& shown,
                                          std::uint32_t sectorBytes)
{
    if (shown.reads == Reads::Celsius) {
        const auto celsius = DriveLogs::Temperature(pages, shown.offset);
        return celsius ? std::optional<std::wstring>(Celsius(*celsius)) : std::nullopt;
    }
    const auto value = DriveLogs::Statistic(pages, shown.page, shown.offset);
    if (!value) {
        return std::nullopt;
    }
    switch (shown.reads) {
    case Reads::TeraBytes:
        return BoundedText::Formatted<kNumberCapacity>(
            L"%.2f TB", static_cast<double>(*value) * sectorBytes / kBytesPerTB);
    case Reads::Percent:
        return Percent(static_cast<std::uint8_t>(*value & 0xFF));
    default:
        return Decimal(*value);
    }
}

DetailsText::LogSection Statistics(const DriveDetails& details)
{
    DetailsText::LogSection section{L"Statistics", {}, {}};
    for (const ShownStatistic& shown : kStatistics) {
        if (const auto text = StatisticText(details.statistics, shown, Assessment::LogicalSectorSizeOf(details))) {
            AddLine(section, {shown.label, *text});
        }
    }
    return section;
}

void AddField(DetailsText::Table& table, std::wstring_view label, std::wstring value)
{
    std::vector<std::wstring>& row = table.rows.emplace_back();
    row.reserve(2);
    row.emplace_back(label);
    row.push_back(std::move(value));
}

void NvmeTable(const NvmeHealth::Fields& f, DetailsText::Table& table)
{
    table.columns = {L"Field", L"Value"};
    // Row by row: a braced list of rows builds every string twice, in much more code.
    AddField(table, L"Critical Warning", Assessment::CriticalWarningText(f.criticalWarning));
    AddField(table, L"Composite Temperature", f.temperature >= 0 ? Celsius(f.temperature) : L"-");
    AddField(table, L"Available Spare", Percent(f.availableSpare));
    AddField(table, L"Available Spare Threshold", Percent(f.availableSpareThreshold));
    AddField(table, L"Percentage Used", Percent(f.percentageUsed));
    AddField(table, L"Data Units Read", DataUnitsText(f.dataUnitsRead));
    AddField(table, L"Data Units Written", DataUnitsText(f.dataUnitsWritten));
    AddField(table, L"Host Read Commands", CountText(f.hostReadCommands));
    AddField(table, L"Host Write Commands", CountText(f.hostWriteCommands));
    AddField(table, L"Controller Busy Time", CountText(f.controllerBusyMinutes, L"minutes"));
    AddField(table, L"Power Cycles", CountText(f.powerCycles));
    AddField(table, L"Power-On Hours", CountText(f.powerOnHours, L"hours"));
    AddField(table, L"Unsafe Shutdowns", CountText(f.unsafeShutdowns));
    AddField(table, L"Media and Data Integrity Errors", CountText(f.mediaErrors));
    AddField(table, L"Error Information Log Entries", CountText(f.errorLogEntries));
    AddField(table, L"Warning Composite Temperature Time", Minutes(f.warningTemperatureMinutes));
    AddField(table, L"Critical Composite Temperature Time", Minutes(f.criticalTemperatureMinutes));
    for (std::size_t sensor = 0; sensor < f.sensors.size(); ++sensor) {
        if (f.sensors[sensor]) {
            AddField(table, L"Temperature Sensor " + Decimal(sensor + 1), Celsius(*f.sensors[sensor]));
        }
    }
    AddField(table, L"Thermal Management Temperature 1 Transitions", Decimal(f.thermalTransitions1));
    AddField(table, L"Thermal Management Temperature 2 Transitions", Decimal(f.thermalTransitions2));
    AddField(table, L"Time at Thermal Management Temperature 1", Seconds(f.thermalSeconds1));
    AddField(table, L"Time at Thermal Management Temperature 2", Seconds(f.thermalSeconds2));
    table.styles.assign(table.rows.size(), DetailsText::RowStyle::Normal);
}

std::wstring_view SourceText(SmartSource source)
{
    switch (source) {
    case SmartSource::Ata:
        return L"ATA SMART";
    case SmartSource::UsbBridge:
        return L"ATA SMART through the USB bridge (ATA PASS-THROUGH)";
    case SmartSource::Nvme:
        return L"NVMe health log";
    case SmartSource::NvmeUsbBridge:
        return L"NVMe health log through the USB bridge (vendor command)";
    case SmartSource::Csmi:
        return L"ATA SMART through the RAID driver (CSMI)";
    case SmartSource::NvmeRst:
        return L"NVMe health log through the RST driver";
    case SmartSource::None:
        break;
    }
    return L"None";
}

// Tabs and line breaks inside a cell would shift the columns of the copied text.
void AppendCell(std::wstring& out, std::wstring_view text)
{
    const std::size_t start = out.size();
    out += text;
    std::replace_if(out.begin() + static_cast<std::ptrdiff_t>(start), out.end(),
                    [](wchar_t c) { return c == L'\t' || c == L'\r' || c == L'\n'; }, L' ');
}

void AppendLine(std::wstring& out, std::span<const std::wstring> cells)
{
    for (std::size_t i = 0; i < cells.size(); ++i) {
        out += i == 0 ? L"" : L"\t";
        AppendCell(out, cells[i]);
    }
    out += kNewLine;
}

std::wstring FullCell(const DriveInfo& drive, int column)
{
    // Room for the longest string of the record and any number, so nothing is ever cut.
    const std::size_t longest = std::max({drive.model.size(), drive.serialNumber.size(), drive.firmware.size(),
                                          drive.health.size(), drive.volumes.size()});
    std::vector<wchar_t> cell(longest + kNumberCapacity, L'\0');
    CellText::Write(drive, column, cell.data(), static_cast<int>(cell.size()));
    return cell.data();
}

// The heading, the assessment and its reasons, the table and the logs' sections of one drive.
void AppendDetails(std::wstring& out, const DriveDetails& details)
{
    for (const DetailsText::Field& field : DetailsText::Heading(details)) {
        AppendLine(out, std::array{field.label, field.value});
    }
    const Assessment assessment = Assessment::Of(details);
    AppendLine(out, std::array{std::wstring(L"Assessment"), std::wstring(assessment.Text())});
    for (const std::wstring& reason : assessment.reasons) {
        AppendLine(out, std::array{std::wstring(L"Reason"), reason});
    }
    const DetailsText::Table table = DetailsText::BuildTable(details);
    out += kNewLine;
    if (!table.note.empty()) {
        AppendLine(out, std::array{table.note});
    }
    if (!table.columns.empty()) {
        AppendLine(out, table.columns);
    }
    for (const auto& row : table.rows) {
        AppendLine(out, row);
    }
    for (const DetailsText::LogSection& section : DetailsText::LogSections(details)) {
        out += kNewLine;
        out += section.title;
        out += kNewLine;
        for (const auto& line : section.lines) {
            AppendLine(out, line);
        }
    }
}

} // namespace

std::vector<std::wstring> DetailsText::ShownReasons(const Assessment& assessment)
{
    const std::vector<std::wstring>& reasons = assessment.reasons;
    if (reasons.size() <= kShownReasons) {
        return reasons;
    }
    std::vector<std::wstring> shown(reasons.begin(), reasons.begin() + kShownReasons);
    shown.push_back(L"and " + Decimal(reasons.size() - kShownReasons) + L" more: see the table");
    return shown;
}

std::vector<DetailsText::Field> DetailsText::Heading(const DriveDetails& details)
{
    const DriveInfo& info = details.info;
    const std::wstring capacity =
        BoundedText::Formatted<kNumberCapacity>(L"%.1f GB (%lld bytes)", static_cast<double>(info.sizeBytes) / kBytesPerGiB,
                  static_cast<long long>(info.sizeBytes));
    std::vector<Field> heading{
        {L"Drive", BoundedText::Formatted<kNumberCapacity>(L"%d", static_cast<int>(info.index))},
        {L"Model", info.model},
        {L"Serial Number", info.serialNumber},
        {L"Firmware", info.firmware},
    };
    if (const auto& bridge = details.bridgeIdentity) {
        heading.push_back({L"USB Bridge", bridge->model + L", serial number " + bridge->serialNumber + L", firmware " +
                                              bridge->firmware});
    }
    if (!details.raidDriver.empty()) {
        heading.push_back({L"RAID Driver", details.raidDriver});
    }
    heading.insert(heading.end(), {{L"Capacity", capacity},
                                   {L"Bus Type", details.busType ? BusTypeName(*details.busType) : L"Unknown"},
                                   {L"SMART Data", std::wstring(SourceText(details.source))}});
    return heading;
}

DetailsText::Table DetailsText::BuildTable(const DriveDetails& details)
{
    Table table;
    if (const auto fields = Assessment::NvmeFieldsOf(details)) {
        NvmeTable(*fields, table);
    } else if (details.smartData) {
        AtaTable(Assessment::AttributesOf(details), table);
        if (!details.smartThresholds) {
            table.note = L"The drive did not answer SMART READ THRESHOLDS: no threshold is known.";
        }
    } else if (!details.members.empty()) {
        // An array has no figures of its own: its members stand in the table, and each one's own
        // table and logs follow in the copy, too long for a window.
        table.note = L"A RAID array of " + Decimal(details.members.size()) +
                     L" drives: each one's SMART table and logs follow the array's in the copied text.";
        table.columns = {L"Member", L"Model", L"Serial Number", L"Temperature", L"Power-On Hours", L"Assessment"};
        constexpr Style kLooks[] = {Style::Watch, Style::Normal, Style::Watch, Style::FailingNow};
        static_assert(std::size(kLooks) == static_cast<std::size_t>(Assessment::Verdict::Failing) + 1);
        for (std::size_t i = 0; i < details.members.size(); ++i) {
            const DriveInfo& member = details.members[i].info;
            const Assessment assessment = Assessment::Of(details.members[i]);
            table.rows.push_back({Decimal(i + 1), member.model, member.serialNumber,
                                  member.temperature >= 0 ? Celsius(member.temperature) : L"-",
                                  member.powerOnHours >= 0 ? Decimal(static_cast<std::uint64_t>(member.powerOnHours)) : L"-",
                                  std::wstring(assessment.Text())});
            table.styles.push_back(kLooks[static_cast<std::size_t>(assessment.verdict)]);
        }
    } else {
        table.note = Assessment::NoFiguresReason(details) + L".";
    }
    return table;
}

std::wstring DetailsText::CopyText(const DriveDetails& details)
{
    std::wstring out;
    AppendDetails(out, details);
    out += kNewLine;
    for (const auto& line : PartitionText::CopyLines(details)) {
        AppendLine(out, line);
    }
    // An array's members, each as a drive's own details after a line that numbers it.
    for (std::size_t i = 0; i < details.members.size(); ++i) {
        out += kNewLine;
        AppendLine(out, std::array{std::wstring(L"Member"), Decimal(i + 1)});
        AppendDetails(out, details.members[i]);
    }
    return out;
}

std::vector<DetailsText::LogSection> DetailsText::LogSections(const DriveDetails& details)
{
    std::vector<LogSection> sections{SelfTests(details), Errors(details), Statistics(details)};
    for (LogSection& section : sections) {
        if (section.lines.empty()) {
            AddLine(section, {L"Not available"});
        }
    }
    return sections;
}

DetailsText::Table DetailsText::LogTable(const std::vector<LogSection>& sections)
{
    Table table;
    for (const LogSection& section : sections) {
        for (std::size_t i = 0; i < section.lines.size(); ++i) {
            std::vector<std::wstring>& row = table.rows.emplace_back();
            row.reserve(section.lines[i].size() + 1);
            row.emplace_back(i == 0 ? section.title : L"");
            row.insert(row.end(), section.lines[i].begin(), section.lines[i].end());
            table.columns.resize(std::max(table.columns.size(), row.size()));
        }
        table.styles.insert(table.styles.end(), section.styles.begin(), section.styles.end());
    }
    return table;
}

std::wstring DetailsText::ListCopyText(const std::vector<DriveInfo>& drives)
{
    std::wstring out;
    AppendLine(out, std::vector<std::wstring>(CellText::kTitles.begin(), CellText::kTitles.end()));
    for (const DriveInfo& drive : drives) {
        AppendLine(out, ListCells(drive));
    }
    return out;
}

std::vector<std::wstring> DetailsText::ListCells(const DriveInfo& drive)
{
    std::vector<std::wstring> cells;
    cells.reserve(CellText::kColumnCount);
    for (int column = 0; column < CellText::kColumnCount; ++column) {
        cells.push_back(FullCell(drive, column));
    }
    return cells;
}

std::wstring DetailsText::CopyLine(std::span<const std::wstring> cells)
{
    std::wstring line;
    AppendLine(line, cells);
    return line;
}

std::wstring DetailsText::BusTypeName(std::uint32_t busType)
{
    // STORAGE_BUS_TYPE values as the Windows SDK numbers them.
    switch (busType) {
    case 0x01:
        return L"SCSI";
    case 0x03:
        return L"ATA";
    case 0x07:
        return L"USB";
    case 0x08:
        return L"RAID";
    case 0x0A:
        return L"SAS";
    case 0x0B:
        return L"SATA";
    case 0x0C:
        return L"SD";
    case 0x0D:
        return L"MMC";
    case 0x0E:
        return L"Virtual";
    case 0x0F:
        return L"File-backed virtual";
    case 0x10:
        return L"Storage Spaces";
    case 0x11:
        return L"NVMe";
    default:
        return Decimal(busType);
    }
}
