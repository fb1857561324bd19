#pragma once

#include "diskinfo/DiskInfo.h"
#include "disktest/DriveFiles.h"
#include "disktest/ScanRecord.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// What the console program says, for scripts: the drive list and the details as tab-separated
// text and as JSON, and the bits of its exit status. Every text the window shows too comes from
// the same text functions as the window's. Free of <windows.h>, so it is tested natively and
// fuzzed.
namespace ScriptText {

// The exit status is the sum of these, 127 at most; 0 when every drive looked at is Good.
// Deployment tools read 3010 and 1641 as "restart", which no sum of these reaches.
enum ExitBit : int {
    kUsageError = 1,    // the command line did not parse
    kNotOpened = 2,     // a drive that was named could not be opened
    kRequestFailed = 4, // a health request failed where the drive should answer
    kFailing = 8,       // the drive predicts its failure, or the assessment says Failing
    kCaution = 16,      // the assessment says Caution
    kReadFailed = 32,   // a scan found unreadable blocks or stopped by itself; the read test failed
    kUnknown = 64,      // a drive could not be assessed (Unknown)
};

// A drive of the list: its row as the window's list shows it, and its details, absent when the
// drive no longer opened for them.
struct ListedDrive {
    DriveInfo row;
    std::optional<DriveDetails> details;
};
// The list's cells of a drive, then its verdict, bus and source as its details name them ("-"
// for each without details).
std::vector<std::wstring> ListCells(const ListedDrive& drive);
// The list's copied columns, then Assessment, Bus and Source; a header line first.
std::wstring ListText(std::span<const ListedDrive> drives);
// The same as an array of objects named by the header's titles: numbers as numbers, "-" as null.
std::wstring ListJson(std::span<const ListedDrive> drives);

// The details' copied texts of the drives, apart by a blank line.
std::wstring DetailsCopies(std::span<const DriveDetails> drives);
// The details of one drive as an object: the heading's fields, the assessment and its reasons,
// the attribute table or the NVMe health log, the partition style and the partitions.
std::wstring DetailsJson(const DriveDetails& details);
// The details of every drive, as an array of those objects.
std::wstring DetailsJson(std::span<const DriveDetails> drives);

// What the drive's health adds to the exit status.
int HealthBits(const DriveDetails& details);
// What a finished or stopped scan adds to it.
int ScanBits(const ScanRecord& record);

// The files on given LBAs of drive `drive` as an object: "Drive", then "Files", "Notes" and
// "Result" as FileText gives them.
std::wstring FilesJson(std::int32_t drive, const DriveFiles::Found& found);
// A scan's copied result as an object: "Scan", its lines each an array of its cells, and, given
// what lies on its unreadable sectors, "File Owners", the object FileText gives.
std::wstring ScanJson(const ScanRecord& record, const ScanRecord::Drive& drive, const DriveFiles::Found* files);

// "Speed", a tab and the read test's figure.
std::wstring ReadTestLine(double speed);

} // namespace ScriptText
