#pragma once

#include "diskinfo/Assessment.h"
#include "diskinfo/DiskInfo.h"

#include <span>
#include <string>
#include <string_view>
#include <vector>

// Everything the details view of one drive says, as text: its heading, the assessment with
// its reasons, and the table of SMART attributes or NVMe health-log fields; and the
// tab-separated texts that copying puts on the clipboard. Free of <windows.h>, so it is tested
// natively and fuzzed.
class DetailsText {
public:
    DetailsText() = delete;

    // The reasons as the window shows them: the first kShownReasons, then "and N more: see the
    // table" for the rest, so that a drive with many findings still leaves room for its table.
    static constexpr std::size_t kShownReasons = 6;
    static std::vector<std::wstring> ShownReasons(const Assessment& assessment);

    struct Field {
        std::wstring label;
        std::wstring value;
    };
    // Model, serial number, firmware, capacity, bus type and where the SMART figures came from.
    static std::vector<Field> Heading(const DriveDetails& details);

    // How a row is coloured: the status of its attribute; NVMe rows and the line of a drive
    // without SMART data are Normal.
    enum class RowStyle { Normal, Watch, FailedInPast, FailingNow };
    struct Table {
        std::vector<std::wstring> columns;           // empty for a drive without SMART data
        std::vector<std::vector<std::wstring>> rows; // each as many cells as there are columns
        std::vector<RowStyle> styles;                // one per row
        std::wstring note;                           // what stands in place of a table, if anything
    };
    static Table BuildTable(const DriveDetails& details);

    // What the drive recorded over its life, a section each: "Self-tests" (newest first),
    // "Errors" (the count, then the newest five), "Statistics". One item a line, its cells as
    // the copy puts them; the line "Not available" where the drive gave none. Failures and
    // media errors are styled FailingNow, so the window colours them.
    struct LogSection {
        const wchar_t* title;
        std::vector<std::vector<std::wstring>> lines;
        std::vector<RowStyle> styles; // one per line
    };
    static std::vector<LogSection> LogSections(const DriveDetails& details);
    // The sections as one table for the window: each section's title in the first column of
    // its first line; untitled columns, as many as the widest line needs.
    static Table LogTable(const std::vector<LogSection>& sections);

    // The whole details view as the clipboard takes it: heading, assessment, reasons, the
    // table, the logs' sections and the partitions, tab-separated, lines ended by CR LF.
    static std::wstring CopyText(const DriveDetails& details);

    // The drive list as the clipboard takes it: the column titles, then one line per drive with
    // the cell texts the list shows, never cut short.
    static std::wstring ListCopyText(const std::vector<DriveInfo>& drives);
    // One drive's line of that text, cell by cell.
    static std::vector<std::wstring> ListCells(const DriveInfo& drive);
    // One line of copied text: the cells tab-separated, with tabs and line breaks inside a cell
    // made blanks, ended by CR LF.
    static std::wstring CopyLine(std::span<const std::wstring> cells);

    // A storage bus type by its name, or its number when it has no common one.
    static std::wstring BusTypeName(std::uint32_t busType);
};
