#include "main/ScriptText.h"

#include "diskinfo/Assessment.h"
#include "text/Decimal.h"
#include "text/Json.h"
#include "ui/CellText.h"
#include "ui/DetailsText.h"
#include "ui/PartitionText.h"
#include "ui/ResultText.h"

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

// The list's cells of a drive, then its verdict, bus and source as its details name them.
std::vector<std::wstring> ListCells(const ScriptText::ListedDrive& drive)
{
    std::vector<std::wstring> cells = DetailsText::ListCells(drive.row);
    if (drive.details) {
        const std::vector<DetailsText::Field> heading = DetailsText::Heading(*drive.details);
        cells.emplace_back(Assessment::VerdictText(Assessment::Of(*drive.details).verdict));
        cells.push_back(HeadingValue(heading, L"Bus Type"));
        cells.push_back(HeadingValue(heading, L"SMART Data"));
    } else {
        cells.insert(cells.end(), 3, kNone);
    }
    return cells;
}

void DetailsObject(JsonWriter& json, const DriveDetails& details)
{
    json.BeginObject();
    for (const DetailsText::Field& field : DetailsText::Heading(details)) {
        Member(json, field.label, field.value);
    }
    const Assessment assessment = Assessment::Of(details);
    json.Key(L"Assessment");
    json.String(Assessment::VerdictText(assessment.verdict));
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
    json.EndObject();
}

std::optional<std::int32_t> DriveNumber(std::string_view text)
{
    std::int32_t number = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || number < 0 ||
        number >= DiskManager::kMaxDrives || text[0] == '+') {
        return std::nullopt;
    }
    return number;
}

std::wstring Quoted(std::string_view argument)
{
    return L"\"" + Widened(argument) + L"\"";
}

struct Verb {
    std::string_view name;
    ScriptText::Command::Kind kind;
    bool takesDrive;
    bool takesAll;
    bool takesJson;
};
constexpr std::array<Verb, 4> kVerbs{{
    {"list", ScriptText::Command::Kind::List, false, false, true},
    {"details", ScriptText::Command::Kind::Details, true, true, true},
    {"scan", ScriptText::Command::Kind::Scan, true, false, false},
    {"readtest", ScriptText::Command::Kind::ReadTest, true, false, false},
}};

} // namespace

namespace ScriptText {

Parsed Parse(std::span<const std::string_view> arguments)
{
    const auto help = std::find_if(arguments.begin(), arguments.end(), [](std::string_view argument) {
        return argument == "--help" || argument == "-h" || argument == "/?";
    });
    if (help != arguments.end()) {
        return {Command{Command::Kind::Help, std::nullopt, false}, {}};
    }
    bool json = false;
    bool logged = false;
    std::vector<std::string_view> words;
    for (const std::string_view argument : arguments) {
        if (argument == "--json") {
            json = true;
        } else if (argument == "--logged") {
            logged = true;
        } else if (argument.starts_with("-") && argument.size() > 1) {
            return {std::nullopt, L"unknown option " + Quoted(argument)};
        } else {
            words.push_back(argument);
        }
    }
    const Verb* verb = &kVerbs[0];
    if (!words.empty()) {
        const auto it = std::find_if(kVerbs.begin(), kVerbs.end(), [&](const Verb& v) { return v.name == words[0]; });
        if (it == kVerbs.end()) {
            return {std::nullopt, L"unknown command " + Quoted(words[0])};
        }
        verb = &*it;
    }
    const std::wstring name = Widened(verb->name);
    Command command{verb->kind, std::nullopt, json, logged};
    if (json && !verb->takesJson) {
        return {std::nullopt, name + L" takes no --json"};
    }
    if (logged && verb->kind != Command::Kind::Scan) {
        return {std::nullopt, name + L" takes no --logged"};
    }
    const std::size_t wanted = verb->takesDrive ? 2 : 1;
    if (words.size() > wanted) {
        return {std::nullopt, L"unexpected " + Quoted(words[wanted])};
    }
    if (verb->takesDrive) {
        if (words.size() < 2) {
            return {std::nullopt, name + L" needs a drive number"};
        }
        if (!(verb->takesAll && words[1] == "all")) {
            command.drive = DriveNumber(words[1]);
            if (!command.drive) {
                return {std::nullopt, Quoted(words[1]) + L" is no drive number (0 to " +
                                          Decimal(DiskManager::kMaxDrives - 1) + L")"};
            }
        }
    }
    return {command, {}};
}

std::wstring UsageLine()
{
    return L"Usage: ostrevane-cli [list [--json] | details N|all [--json] | scan N [--logged] | readtest N | --help]";
}

std::wstring Help()
{
    constexpr std::array<std::wstring_view, 22> kLines{
        L"Ostrevane for scripts: every physical drive's identity and health, and its read tests.",
        L"It only reads from drives, and writes nothing anywhere but its own output.",
        L"",
        L"ostrevane-cli [list] [--json]         one line per drive, tab-separated, with a header line",
        L"ostrevane-cli details N|all [--json]  the details of drive N, or of every drive",
        L"ostrevane-cli scan N                  read every sector of drive N once: progress on standard",
        L"                                      error, the result at the end; Ctrl+C stops the scan",
        L"ostrevane-cli scan N --logged         read again only the LBAs that the drive's logs name",
        L"ostrevane-cli readtest N              the sequential read speed of drive N in MB/s",
        L"ostrevane-cli --help                  this text",
        L"",
        L"--json gives the same as JSON: numbers as numbers, \"-\" as null.",
        L"Output is UTF-8 with CR LF line ends.",
        L"",
        L"Exit status, the sum of:",
        L"   1  the command line did not parse",
        L"   2  a drive that was named could not be opened",
        L"   4  a health request failed where the drive should answer",
        L"   8  a drive is Failing (its failure prediction or the assessment)",
        L"  16  a drive is Caution",
        L"  32  a scan found unreadable blocks or stopped by itself, or the read test failed",
        L"   0  every drive looked at is Good",
    };
    std::wstring text;
    for (const std::wstring_view line : kLines) {
        text.append(line).append(kNewLine);
    }
    return text;
}

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
    if ((details.source == SmartSource::None && answeringBus) || (details.smartData && !details.smartThresholds)) {
        bits |= kRequestFailed;
    }
    switch (Assessment::Of(details).verdict) {
    case Assessment::Verdict::Failing:
        return bits | kFailing;
    case Assessment::Verdict::Caution:
        return bits | kCaution;
    case Assessment::Verdict::Unknown:
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

std::wstring ReadTestLine(double speed)
{
    return L"Speed\t" + ResultText::Figure(speed) + std::wstring(kNewLine);
}

} // namespace ScriptText
