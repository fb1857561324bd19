#pragma once

#include "disktest/DriveFiles.h"
#include "text/Json.h"

#include <array>
#include <string>
#include <string_view>
#include <vector>

// What lies on the unreadable sectors, in words: the scan window's Files list, its copy, and the
// console program's lines and JSON, all made here. Free of <windows.h>, so it is tested natively.
namespace FileText {

// The Files list's columns.
inline constexpr std::array<std::wstring_view, 5> kColumns{L"First LBA", L"Sectors", L"Partition", L"File", L"Offset"};
// The list's cells of a row: the partition as its number and letters, "-" where there is none.
std::vector<std::wstring> Cells(const DriveFiles::Row& row);
// A note's row after them: its partition, and what could not be read under File.
std::vector<std::wstring> Cells(const DriveFiles::Note& note);

// "Partition 2: " and the reader's note.
std::wstring NoteText(const DriveFiles::Note& note);
// "Reading the file table of partition 2: 40 %", or of the partition table before it.
std::wstring ProgressText(const DriveFiles::Found& found);
// "Finished", "Stopped", or why it stopped by itself.
std::wstring ResultText(const DriveFiles::Found& found);

// The header "LBA, Sectors, Partition, Volume, File System, File, Offset", tab-separated, a line
// per row, then a "Note" line per note and, unless it finished, a "Result" line: what the
// console program prints and the scan window's copy carries.
std::wstring Lines(const DriveFiles::Found& found);
// The same as members of the open object: "Files", an array of objects named by the header's
// titles (figures as numbers, none as null), "Notes" and "Result".
void JsonMembers(JsonWriter& json, const DriveFiles::Found& found);

} // namespace FileText
