#include "report/ScriptText.h"

#include "diskinfo/Assessment.h"
#include "report/CellText.h"
#include "report/DetailsText.h"
#include "report/FileText.h"
#include "report/PartitionText.h"
#include "report/ResultText.h"
#include "text/Decimal.h"
#include "text/Json.h"

#include <algorithm>
#include <array>
#include <charconv>

namespace {

constexpr std::wstring_view kNewLine = L"\r\n";
constexpr wchar_t kNone[] = L"-";

// The columns, in every table, whose cells are figures: the title and the unit the cell
// shows after its figure, which JSON leaves to the name.
struct NumberColumn {
    std::wstring_view title;
    std::wstring_view unit;
};
constexpr std::array<NumberColumn, 15> kNumberColumns{{
    {L"Drive", L""},         {L"Size (GB)", L""},     {L"Temp", L" C"},          {L"Power(h)", L""},
    {L"Cycles", L""},        {L"ID", L""},            {L"Current", L""},         {L"Worst", L""},
    {L"Threshold", L""},     {L"Raw", L""},           {L"#", L""},               {L"Start (GB)", L""},
    {L"Start (bytes)", L""}, {L"Capacity (GB)", L""}, {L"Free (GB)", L""},
}};

const NumberColumn* NumberColumnOf(std::wstring_view title)
{
    const auto it = std::find_if(kNumberColumns.begin(), kNumberColumns.end(),
                                 [title](const NumberColumn& column) { return column.title == title; });
    return it == kNumberColumns.end() ? nullptr : &*it;
}

// One cell under its column's title: "-" as null, a figure as a number, anything else as text.
void Member(JsonWriter& json, std::wstring_view title, std::wstring_view cell)
{
    json.Key(title);
    if (cell == kNone) {
        json.Null();
        return;
    }
    const NumberColumn* number = NumberColumnOf(title);
    const std::wstring_view figure =
        number != nullptr && cell.ends_with(number->unit) ? cell.substr(0, cell.size() - number->unit.size()) : cell;
    if (number != nullptr && JsonWriter::IsNumber(figure)) {
        json.Number(figure);
    } else {
        json.String(cell);
    }
}

void Row(JsonWriter& json, std::span<const std::wstring> titles, std::span<const std::wstring> cells)
{
    json.BeginObject();
    for (std::size_t column = 0; column < titles.size() && column < cells.size(); ++column) {
        Member(json, titles[column], cells[column]);
    }
    json.EndObject();
}

void Rows(JsonWriter& json, const DetailsText::Table& table)
{
    json.BeginArray();
    for (const std::vector<std::wstring>& row : table.rows) {
        Row(json, table.columns, row);
    }
    json.EndArray();
}

std::vector<std::wstring> ListTitles()
{
    std::vector<std::wstring> titles(CellText::kTitles.begin(), CellText::kTitles.end());
    titles.insert(titles.end(), {L"Assessment", L"Bus", L"Source"});
    return titles;
}

std::wstring HeadingValue(const std::vector<DetailsText::Field>& heading, std::wstring_view label)
{
    const auto it = std::find_if(heading.begin(), heading.end(),
                                 [label](const DetailsText::Field& field) { return field.label == label; });
    return it == heading.end() ? std::wstring(kNone) : it->value;
}

} // namespace

std::vector<std::wstring> ScriptText::ListCells(const ListedDrive& drive)
{
    std::vector<std::wstring> cells = DetailsText::ListCells(drive.row);
    if (drive.details) {
        const std::vector<DetailsText::Field> heading = DetailsText::Heading(*drive.details);
        cells.emplace_back(Assessment::Of(*drive.details).Text());
        cells.push_back(HeadingValue(heading, L"Bus Type"));
        cells.push_back(HeadingValue(heading, L"SMART Data"));
    } else {
        cells.insert(cells.end(), 3, kNone);
    }
    return cells;
}

namespace {

void DetailsObject(JsonWriter& json, const DriveDetails& details)
{
    json.BeginObject();
    for (const DetailsText::Field& field : DetailsText::Heading(details)) {
        Member(json, field.label, field.value);
    }
    const Assessment assessment = Assessment::Of(details);
    json.Key(L"Assessment");
    json.String(assessment.Text());
    json.Key(L"Reasons");
    json.BeginArray();
    for (const std::wstring& reason : assessment.reasons) {
        json.String(reason);
    }
    json.EndArray();
    const DetailsText::Table table = DetailsText::BuildTable(details);
    json.Key(L"Note");
    if (table.note.empty()) {
        json.Null();
    } else {
        json.String(table.note);
    }
    json.Key(L"SMART");
    Rows(json, table);
    for (const DetailsText::LogSection& section : DetailsText::LogSections(details)) {
        json.Key(section.title);
        json.BeginArray();
        for (const std::vector<std::wstring>& line : section.lines) {
            json.BeginArray();
            for (const std::wstring& cell : line) {
                json.String(cell);
            }
            json.EndArray();
        }
        json.EndArray();
    }
    json.Key(L"Partitions");
    json.String(PartitionText::StyleText(details));
    json.Key(L"Partition Table");
    Rows(json, PartitionText::BuildTable(details, PartitionText::Purpose::Copy));
    if (!details.members.empty()) {
        json.Key(L"Members");
        json.BeginArray();
        for (const DriveDetails& member : details.members) {
            DetailsObject(json, member);
        }
        json.EndArray();
    }
    json.EndObject();
}

} // namespace

namespace ScriptText {

std::wstring ListText(std::span<const ListedDrive> drives)
{
    std::wstring text = DetailsText::CopyLine(ListTitles());
    for (const ListedDrive& drive : drives) {
        text += DetailsText::CopyLine(ListCells(drive));
    }
    return text;
}

std::wstring ListJson(std::span<const ListedDrive> drives)
{
    const std::vector<std::wstring> titles = ListTitles();
    JsonWriter json;
    json.BeginArray();
    for (const ListedDrive& drive : drives) {
        Row(json, titles, ListCells(drive));
    }
    json.EndArray();
    return json.Take();
}

std::wstring DetailsCopies(std::span<const DriveDetails> drives)
{
    std::wstring text;
    for (const DriveDetails& details : drives) {
        text += (text.empty() ? std::wstring() : std::wstring(kNewLine)) + DetailsText::CopyText(details);
    }
    return text;
}

std::wstring DetailsJson(const DriveDetails& details)
{
    JsonWriter json;
    DetailsObject(json, details);
    return json.Take();
}

std::wstring DetailsJson(std::span<const DriveDetails> drives)
{
    JsonWriter json;
    json.BeginArray();
    for (const DriveDetails& details : drives) {
        DetailsObject(json, details);
    }
    json.EndArray();
    return json.Take();
}

int HealthBits(const DriveDetails& details)
{
    // STORAGE_BUS_TYPE values of the buses whose drives answer SMART or the NVMe log themselves.
    constexpr std::array<std::uint32_t, 3> kAnsweringBuses{0x03, 0x0B, 0x11}; // ATA, SATA, NVMe
    const bool answeringBus =
        details.busType && std::find(kAnsweringBuses.begin(), kAnsweringBuses.end(), *details.busType) !=
                               kAnsweringBuses.end();
    int bits = 0;
    if ((details.source == SmartSource::None && answeringBus && !details.virtualDisk) || (details.smartData && !details.smartThresholds)) {
        bits |= kRequestFailed;
    }
    switch (Assessment::Of(details).verdict) {
    case Assessment::Verdict::Failing:
        return bits | kFailing;
    case Assessment::Verdict::Caution:
        return bits | kCaution;
    case Assessment::Verdict::Unknown:
        // A script that tests for 0 must not pass a drive that nobody checked.
        return bits | kUnknown;
    case Assessment::Verdict::Good:
        break;
    }
    return bits;
}

int ScanBits(const ScanRecord& record)
{
    const bool unreadable = !record.UnreadableRanges().empty() || record.Count(ScanRecord::Class::Unreadable) != 0;
    return unreadable || record.GetState() == ScanRecord::State::StoppedByItself ? kReadFailed : 0;
}

std::wstring FilesJson(std::int32_t drive, const DriveFiles::Found& found)
{
    JsonWriter json;
    json.BeginObject();
    json.Key(L"Drive");
    json.Number(Decimal(static_cast<std::uint64_t>(drive)));
    FileText::JsonMembers(json, found);
    json.EndObject();
    return json.Take();
}

std::wstring ScanJson(const ScanRecord& record, const ScanRecord::Drive& drive, const DriveFiles::Found* files)
{
    JsonWriter json;
    json.BeginObject();
    json.Key(L"Scan");
    json.BeginArray();
    const std::wstring text = record.CopyText(drive);
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = std::min(text.find(kNewLine, start), text.size());
        const std::wstring_view line = std::wstring_view(text).substr(start, end - start);
        json.BeginArray();
        for (std::size_t cell = 0; cell <= line.size();) {
            const std::size_t tab = std::min(line.find(L'\t', cell), line.size());
            json.String(line.substr(cell, tab - cell));
            cell = tab + 1;
        }
        json.EndArray();
        start = end + kNewLine.size();
    }
    json.EndArray();
    if (files != nullptr) {
        json.Key(L"File Owners");
        json.BeginObject();
        FileText::JsonMembers(json, *files);
        json.EndObject();
    }
    json.EndObject();
    return json.Take();
}

std::wstring ReadTestLine(double speed)
{
    return L"Speed\t" + ResultText::Figure(speed) + std::wstring(kNewLine);
}

} // namespace ScriptText
