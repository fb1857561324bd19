#include "report/FileText.h"

#include "text/Decimal.h"

#include <algorithm>
#include <span>

namespace {

constexpr std::wstring_view kNewLine = L"\r\n";
constexpr wchar_t kNone[] = L"-";
constexpr std::array<std::wstring_view, 7> kTitles{L"LBA",         L"Sectors", L"Partition", L"Volume",
                                                   L"File System", L"File",    L"Offset"};

std::wstring FileOf(const DriveFiles::Row& row)
{
    switch (row.kind) {
    case DriveFiles::Kind::Owner:
        return row.file;
    case DriveFiles::Kind::NoPartition:
        return L"(no partition)";
    case DriveFiles::Kind::PartitionTable:
        return L"(partition table)";
    case DriveFiles::Kind::Encrypted:
        return L"encrypted: files unknown";
    case DriveFiles::Kind::NotRead:
        return L"not read";
    case DriveFiles::Kind::NotRecognised:
        return L"file system not recognised";
    }
    return {};
}

std::wstring OrNone(const std::wstring& text)
{
    return text.empty() ? std::wstring(kNone) : text;
}

std::wstring OffsetOf(const DriveFiles::Row& row)
{
    return row.offset ? Decimal(*row.offset) : std::wstring(kNone);
}

std::wstring NumberOf(const DriveFiles::Row& row)
{
    return row.partition ? Decimal(*row.partition) : std::wstring(kNone);
}

// The cells under kTitles.
std::array<std::wstring, kTitles.size()> ScriptCells(const DriveFiles::Row& row)
{
    return {Decimal(row.firstLba), Decimal(row.sectors), NumberOf(row),    OrNone(row.volume),
            OrNone(row.fileSystem), FileOf(row),         OffsetOf(row)};
}

void AppendLine(std::wstring& text, std::span<const std::wstring> cells)
{
    for (std::size_t index = 0; index < cells.size(); ++index) {
        text.append(index == 0 ? L"" : L"\t").append(cells[index]);
    }
    text.append(kNewLine);
}

} // namespace

namespace FileText {

std::vector<std::wstring> Cells(const DriveFiles::Row& row)
{
    std::array<std::wstring, kTitles.size()> cells = ScriptCells(row);
    if (row.partition && !row.volume.empty()) {
        cells[2] += L" (" + row.volume + L")";
    }
    // The list's columns: the script's cells but the volume, which joins the partition's, and the file system.
    std::vector<std::wstring> list;
    for (const std::size_t column : {0u, 1u, 2u, 5u, 6u}) {
        list.push_back(std::move(cells[column]));
    }
    return list;
}

std::vector<std::wstring> Cells(const DriveFiles::Note& note)
{
    return {kNone, kNone, Decimal(note.partition), note.text, kNone};
}

std::wstring NoteText(const DriveFiles::Note& note)
{
    return L"Partition " + Decimal(note.partition) + L": " + note.text;
}

std::wstring ProgressText(const DriveFiles::Found& found)
{
    if (found.partition == 0) {
        return L"Reading the partition table";
    }
    return L"Reading the file table of partition " + Decimal(found.partition) + L": " +
           Decimal(static_cast<std::uint64_t>(std::clamp(found.percent, 0, 100))) + L" %";
}

std::wstring ResultText(const DriveFiles::Found& found)
{
    switch (found.state) {
    case DriveFiles::State::NotStarted:
        return L"Not started";
    case DriveFiles::State::Running:
        return ProgressText(found);
    case DriveFiles::State::Finished:
        return L"Finished";
    case DriveFiles::State::Stopped:
        return L"Stopped";
    case DriveFiles::State::StoppedByItself:
        return found.reason;
    }
    return {};
}

std::wstring Lines(const DriveFiles::Found& found)
{
    std::wstring text;
    AppendLine(text, std::vector<std::wstring>(kTitles.begin(), kTitles.end()));
    for (const DriveFiles::Row& row : found.rows) {
        AppendLine(text, ScriptCells(row));
    }
    for (const DriveFiles::Note& note : found.notes) {
        AppendLine(text, std::array<std::wstring, 2>{L"Note", NoteText(note)});
    }
    if (found.state != DriveFiles::State::Finished) {
        AppendLine(text, std::array<std::wstring, 2>{L"Result", ResultText(found)});
    }
    return text;
}

void JsonMembers(JsonWriter& json, const DriveFiles::Found& found)
{
    json.Key(L"Files");
    json.BeginArray();
    for (const DriveFiles::Row& row : found.rows) {
        const std::array<std::wstring, kTitles.size()> cells = ScriptCells(row);
        json.BeginObject();
        for (std::size_t column = 0; column < kTitles.size(); ++column) {
            json.Key(kTitles[column]);
            const bool figure = column < 3 || column == kTitles.size() - 1;
            if (cells[column] == kNone) {
                json.Null();
            } else if (figure) {
                json.Number(cells[column]);
            } else {
                json.String(cells[column]);
            }
        }
        json.EndObject();
    }
    json.EndArray();
    json.Key(L"Notes");
    json.BeginArray();
    for (const DriveFiles::Note& note : found.notes) {
        json.String(NoteText(note));
    }
    json.EndArray();
    json.Key(L"Result");
    json.String(ResultText(found));
}

} // namespace FileText
