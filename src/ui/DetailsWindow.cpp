#include "ui/DetailsWindow.h"

#include "kernel/KernelResources.h"
#include "report/DetailsText.h"
#include "report/PartitionText.h"
#include "ui/Clipboard.h"
#include "ui/Controls.h"
#include "ui/DarkList.h"
#include "ui/GdiObject.h"
#include "ui/Theme.h"

#include <algorithm>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

constexpr wchar_t kClassName[] = L"OstrevaneDetailsClass";
constexpr wchar_t kTitle[] = L"Drive Details";
// No minimise box: minimised, the window would leave its owner disabled and, in WinPE, no
// taskbar to bring it back from.
constexpr DWORD kStyle = WS_OVERLAPPEDWINDOW & ~WS_MINIMIZEBOX;
constexpr DWORD kListStyle = WS_CHILD | WS_TABSTOP | LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS;
constexpr DWORD kButtonStyle = WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_OWNERDRAW;

// Layout, as in the main window, with the text lines above the table.
constexpr int kMargin = Controls::kMargin;
constexpr int kLinePitch = 18;
constexpr int kLabelWidth = 120;
constexpr int kCloseButtonX = 170;
// A full ATA attribute table, every slot used; and the rows the table keeps however small
// the window is made.
constexpr int kShownRows = 30;
constexpr int kMinimumRows = 8;
// The logs' list shows this many lines, and the rows a short table leaves, at most; it scrolls
// the rest.
constexpr int kLogRows = 6;
constexpr int kCellPadding = 16;
constexpr int kMinimumWidth = 480;
constexpr int kMinimumHeight = 320;
// Posted when the partitions' file systems have been read.
constexpr UINT WM_FILE_SYSTEMS = WM_APP + 3;

// What the open window shows, made once when it opens.
struct Shown {
    std::vector<DetailsText::Field> heading;
    Assessment::Verdict verdict = Assessment::Verdict::Unknown;
    std::wstring_view verdictText;
    std::vector<std::wstring> reasons; // as shown, the surplus summed up in one line
    DetailsText::Table table;
    std::wstring copyText;
    std::wstring partitionStyle;
    DetailsText::Table partitions;
    DetailsText::Table logs;
    int partitionListHeight = 0; // of the partitions' list, once made; 0 without partitions
    int logListHeight = 0;       // of the logs' list, once made
    int minimumClientHeight = 0; // known once the table is filled
};
Shown g_shown;
// The details shown, whose texts are made again once the partitions' file systems are read.
DriveDetails g_details;

// The reads of the partitions' first sectors, on a thread of their own so that a drive slow to
// answer keeps no window waiting; shared by the thread and the window, which may close first.
struct FileSystemReads {
    SRWLOCK lock = SRWLOCK_INIT;
    HWND window = nullptr; // under `lock`: the window to tell, null once it has gone
    std::int32_t drive = 0;
    DriveLayout::Layout layout; // the thread's until it tells the window, then under `lock`
};
std::shared_ptr<FileSystemReads> g_reads;

class ReadsLock {
public:
    explicit ReadsLock(FileSystemReads& reads) noexcept : m_lock(reads.lock) { AcquireSRWLockExclusive(&m_lock); }
    ReadsLock(const ReadsLock&) = delete;
    ReadsLock& operator=(const ReadsLock&) = delete;
    ~ReadsLock() { ReleaseSRWLockExclusive(&m_lock); }

private:
    SRWLOCK& m_lock;
};

DWORD WINAPI ReadFileSystems(void* parameter)
{
    const std::unique_ptr<std::shared_ptr<FileSystemReads>> owned(static_cast<std::shared_ptr<FileSystemReads>*>(parameter));
    FileSystemReads& reads = **owned;
    DriveLayout::Layout layout = std::move(reads.layout);
    DiskManager::ReadFileSystems(reads.drive, layout);
    const ReadsLock lock(reads);
    reads.layout = std::move(layout);
    if (reads.window != nullptr) {
        PostMessageW(reads.window, WM_FILE_SYSTEMS, 0, 0);
    }
    return 0;
}

// Starts the reads of the shown drive's partitions for `window`, when it has any.
void StartReads(HWND window)
{
    if (!g_details.layout || g_details.layout->partitions.empty()) {
        return;
    }
    g_reads = std::make_shared<FileSystemReads>();
    g_reads->window = window;
    g_reads->drive = g_details.info.index;
    g_reads->layout = *g_details.layout;
    auto parameter = std::make_unique<std::shared_ptr<FileSystemReads>>(g_reads);
    const KernelHandle thread(Kernel::CreateThread(nullptr, 0, ReadFileSystems, parameter.get(), 0, nullptr));
    if (thread) {
        parameter.release(); // the thread's now
    }
}

bool HasTable()
{
    return !g_shown.table.columns.empty();
}

// The table's rows the window is made to show.
int TableRows()
{
    return std::clamp(static_cast<int>(g_shown.table.rows.size()), kMinimumRows, kShownRows);
}

// A note beside a table (no thresholds known) is a line of the text; without a table the
// note stands in the table's place.
bool HasNoteLine()
{
    return HasTable() && !g_shown.table.note.empty();
}

// The heading, the assessment and its reasons, and the note beside a table, one a line.
int TextLines()
{
    return static_cast<int>(g_shown.heading.size() + 1 + g_shown.reasons.size() + (HasNoteLine() ? 1 : 0));
}

int TableTop()
{
    return kMargin + TextLines() * kLinePitch + kMargin;
}

// The partitions' section below the table: its line, then its list when there are partitions.
int PartitionsHeight()
{
    return kMargin + kLinePitch + g_shown.partitionListHeight;
}

int PartitionsTop(int clientHeight)
{
    return clientHeight - Controls::kButtonBand - PartitionsHeight() + kMargin;
}

// The logs' list and the partitions below the table.
int BelowTableHeight()
{
    return kMargin + g_shown.logListHeight + PartitionsHeight();
}

COLORREF VerdictColour(Assessment::Verdict verdict)
{
    switch (verdict) {
    case Assessment::Verdict::Failing:
        return Theme::kBad;
    case Assessment::Verdict::Caution:
        return Theme::kCaution;
    case Assessment::Verdict::Unknown:
        return Theme::kLightText;
    default:
        return Theme::kGood;
    }
}

COLORREF StyleColour(const DetailsText::Table& table, std::size_t row, COLORREF given)
{
    if (row >= table.styles.size()) {
        return given;
    }
    switch (table.styles[row]) {
    case DetailsText::RowStyle::FailingNow:
        return Theme::kBad;
    case DetailsText::RowStyle::FailedInPast:
    case DetailsText::RowStyle::Watch:
        return Theme::kCaution;
    default:
        return Theme::kLightText;
    }
}

void PaintText(HDC dc, std::wstring_view text, RECT rect, COLORREF colour)
{
    SetTextColor(dc, colour);
    DrawTextW(dc, text.data(), static_cast<int>(text.size()), &rect, DT_SINGLELINE | DT_NOPREFIX | DT_END_ELLIPSIS);
}

// Line `line` of the text: the label in its column, the value beside it.
void DrawLine(HDC dc, int clientWidth, int line, std::wstring_view label, std::wstring_view value,
              COLORREF valueColour)
{
    const int top = kMargin + line * kLinePitch;
    const int valueLeft = kMargin + kLabelWidth;
    PaintText(dc, label, {kMargin, top, valueLeft, top + kLinePitch}, Theme::kLightText);
    PaintText(dc, value, {valueLeft, top, clientWidth - kMargin, top + kLinePitch}, valueColour);
}

COLORREF RowColour(std::size_t row, int, COLORREF given)
{
    return StyleColour(g_shown.table, row, given);
}

COLORREF LogColour(std::size_t row, int, COLORREF given)
{
    return StyleColour(g_shown.logs, row, given);
}

int StringWidth(HWND list, const std::wstring& text)
{
    return static_cast<int>(SendMessageW(list, LVM_GETSTRINGWIDTHW, 0, reinterpret_cast<LPARAM>(text.c_str())));
}

// Wide enough for the column's title and every one of its cells.
int ColumnWidth(HWND list, const DetailsText::Table& table, std::size_t column)
{
    int widest = StringWidth(list, table.columns[column]);
    for (const std::vector<std::wstring>& row : table.rows) {
        if (column < row.size()) {
            widest = std::max(widest, StringWidth(list, row[column]));
        }
    }
    return widest + kCellPadding;
}

// The texts of row `row`'s cells from `first` on.
void SetCells(HWND list, int row, const std::vector<std::wstring>& cells, std::size_t first)
{
    LVITEMW item{};
    item.mask = LVIF_TEXT;
    for (std::size_t cell = first; cell < cells.size(); ++cell) {
        item.iSubItem = static_cast<int>(cell);
        item.pszText = const_cast<wchar_t*>(cells[cell].c_str());
        SendMessageW(list, LVM_SETITEMTEXTW, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
    }
}

void AddRow(HWND list, int row, const std::vector<std::wstring>& cells)
{
    LVITEMW item{};
    item.mask = LVIF_TEXT;
    item.iItem = row;
    item.pszText = const_cast<wchar_t*>(cells.empty() ? L"" : cells[0].c_str());
    SendMessageW(list, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item));
    SetCells(list, row, cells, 1);
}

// The same rows with new texts, each column as wide as they need.
void RefillList(HWND list, const DetailsText::Table& table)
{
    for (std::size_t column = 0; column < table.columns.size(); ++column) {
        SendMessageW(list, LVM_SETCOLUMNWIDTH, column, MAKELPARAM(ColumnWidth(list, table, column), 0));
    }
    for (std::size_t row = 0; row < table.rows.size(); ++row) {
        SetCells(list, static_cast<int>(row), table.rows[row], 0);
    }
}

void FillList(HWND list, const DetailsText::Table& table)
{
    for (std::size_t column = 0; column < table.columns.size(); ++column) {
        DarkList::AddColumn(list, static_cast<int>(column), table.columns[column].c_str(),
                            ColumnWidth(list, table, column));
    }
    for (std::size_t row = 0; row < table.rows.size(); ++row) {
        AddRow(list, static_cast<int>(row), table.rows[row]);
    }
}

int Height(const RECT& rect)
{
    return rect.bottom - rect.top;
}

// How high `list` is with its header, if shown, and `rows` rows.
int ListHeight(HWND list, int rows)
{
    RECT row{};
    row.left = LVIR_BOUNDS;
    SendMessageW(list, LVM_GETITEMRECT, 0, reinterpret_cast<LPARAM>(&row));
    RECT header{};
    if ((GetWindowLongW(list, GWL_STYLE) & LVS_NOCOLUMNHEADER) == 0) {
        GetWindowRect(reinterpret_cast<HWND>(SendMessageW(list, LVM_GETHEADER, 0, 0)), &header);
    }
    return Height(header) + rows * Height(row) + 2 * GetSystemMetrics(SM_CYEDGE);
}

// The client height that shows `rows` rows of the table under the text, and the partitions.
int ClientHeightFor(HWND list, int rows)
{
    return TableTop() + ListHeight(list, rows) + BelowTableHeight() + Controls::kButtonBand;
}

// The width that shows every column of `list` without scrolling sideways.
int ListWidth(HWND list, std::size_t columns)
{
    int width = GetSystemMetrics(SM_CXVSCROLL) + 2 * GetSystemMetrics(SM_CXEDGE);
    for (std::size_t column = 0; column < columns; ++column) {
        width += static_cast<int>(SendMessageW(list, LVM_GETCOLUMNWIDTH, column, 0));
    }
    return width;
}

// The client size that shows the whole table, up to kShownRows rows, and every partition, each
// list without scrolling sideways.
SIZE ClientSizeFor(HWND list, HWND logs, HWND partitions)
{
    const int width = 2 * kMargin + std::max({ListWidth(list, g_shown.table.columns.size()),
                                              ListWidth(logs, g_shown.logs.columns.size()),
                                              ListWidth(partitions, g_shown.partitions.columns.size())});
    return {std::max(width, kMinimumWidth), std::max(ClientHeightFor(list, TableRows()), kMinimumHeight)};
}

COLORREF PartitionColour(std::size_t, int, COLORREF)
{
    return Theme::kLightText;
}

// Centred over the owner at the outer size of `client`.
void PlaceOverOwner(HWND hwnd, SIZE client)
{
    RECT outer{0, 0, client.cx, client.cy};
    AdjustWindowRectEx(&outer, kStyle, FALSE, 0);
    Controls::PlaceOverOwner(hwnd, outer.right - outer.left, Height(outer));
}

} // namespace

bool DetailsWindow::Show(HWND owner, DriveDetails shown)
{
    g_details = std::move(shown);
    const DriveDetails& details = g_details;
    const Assessment assessment = Assessment::Of(details);
    g_shown = {DetailsText::Heading(details), assessment.verdict, assessment.Text(), DetailsText::ShownReasons(assessment),
               DetailsText::BuildTable(details), DetailsText::CopyText(details), PartitionText::StyleText(details),
               PartitionText::BuildTable(details), DetailsText::LogTable(DetailsText::LogSections(details))};
    const HINSTANCE instance = Controls::InstanceOf(owner);
    if (!Controls::RegisterWindowClass(instance, kClassName, WindowProc)) {
        return false;
    }
    const HWND window = CreateWindowExW(0, kClassName, kTitle, kStyle, CW_USEDEFAULT, CW_USEDEFAULT, kMinimumWidth,
                                        kMinimumHeight, owner, nullptr, instance, nullptr);
    if (window == nullptr) {
        return false;
    }
    // Shown first, so that the owner notes its focused control as it goes inactive; disabled
    // before, it would lose the focus instead.
    ShowWindow(window, SW_SHOWNORMAL);
    EnableWindow(owner, FALSE);
    SetFocus(GetDlgItem(window, HasTable() ? ID_DETAILS_LIST : IDCANCEL));
    StartReads(window);
    return true;
}

LRESULT CALLBACK DetailsWindow::WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (LRESULT result = 0; Controls::OnFrameMessage(hwnd, message, wParam, lParam, result)) {
        return result;
    }
    switch (message) {
    case WM_CREATE:
        OnCreate(hwnd);
        return 0;
    case WM_SIZE:
        OnSize(hwnd);
        return 0;
    case WM_ERASEBKGND:
        OnEraseBkgnd(hwnd, reinterpret_cast<HDC>(wParam));
        return TRUE;
    case WM_PAINT:
        OnPaint(hwnd);
        return 0;
    case WM_NOTIFY:
        return OnNotify(reinterpret_cast<NMHDR*>(lParam));
    case WM_COMMAND:
        if (Controls::IsClick(wParam)) {
            OnCommand(hwnd, LOWORD(wParam));
        }
        return 0;
    case WM_CLOSE:
        OnClose(hwnd);
        return 0;
    case WM_FILE_SYSTEMS:
        OnFileSystems(hwnd);
        return 0;
    case WM_DESTROY:
        Controls::DetachFrame(hwnd);
        if (g_reads) {
            const ReadsLock lock(*g_reads);
            g_reads->window = nullptr;
        }
        g_reads.reset();
        return 0;
    case WM_GETMINMAXINFO:
        OnGetMinMaxInfo(*reinterpret_cast<MINMAXINFO*>(lParam));
        return 0;
    default:
        break;
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

void DetailsWindow::OnCreate(HWND hwnd)
{
    Controls::AttachFrame(hwnd, Controls::Keys::Dialog, ID_BTN_COPY);
    const DWORD shown = HasTable() ? WS_VISIBLE : 0;
    const HWND list = DarkList::Create(hwnd, ID_DETAILS_LIST, kListStyle | shown, kMargin, TableTop(),
                                       kMinimumWidth - 2 * kMargin, kMinimumHeight);
    FillList(list, g_shown.table);
    const bool hasPartitions = !g_shown.partitions.columns.empty();
    const HWND partitions = DarkList::Create(hwnd, ID_PARTITIONS_LIST, kListStyle | (hasPartitions ? WS_VISIBLE : 0),
                                             kMargin, 0, kMinimumWidth - 2 * kMargin, kMinimumHeight);
    FillList(partitions, g_shown.partitions);
    const HWND logs = DarkList::Create(hwnd, ID_LOGS_LIST, kListStyle | WS_VISIBLE | LVS_NOCOLUMNHEADER, kMargin, 0,
                                       kMinimumWidth - 2 * kMargin, kMinimumHeight);
    FillList(logs, g_shown.logs);
    g_shown.logListHeight =
        ListHeight(logs, std::min(kLogRows + kShownRows - TableRows(), static_cast<int>(g_shown.logs.rows.size())));
    g_shown.partitionListHeight =
        hasPartitions ? ListHeight(partitions, static_cast<int>(g_shown.partitions.rows.size())) : 0;
    if (HasTable()) {
        // Made narrow, the table scrolls sideways too.
        g_shown.minimumClientHeight = ClientHeightFor(list, kMinimumRows) + GetSystemMetrics(SM_CYHSCROLL);
    }
    Controls::CreateButton(hwnd, L"Copy", kButtonStyle, kMargin, 0, ID_BTN_COPY);
    Controls::CreateButton(hwnd, L"Close", kButtonStyle, kCloseButtonX, 0, IDCANCEL);
    PlaceOverOwner(hwnd, ClientSizeFor(list, logs, partitions));
}

void DetailsWindow::OnSize(HWND hwnd)
{
    RECT client{};
    GetClientRect(hwnd, &client);
    const int width = client.right - client.left;
    const int height = Height(client);
    Controls::Move(GetDlgItem(hwnd, ID_DETAILS_LIST), kMargin, TableTop(), width - 2 * kMargin,
                   height - TableTop() - BelowTableHeight() - Controls::kButtonBand);
    Controls::Move(GetDlgItem(hwnd, ID_LOGS_LIST), kMargin, height - Controls::kButtonBand - BelowTableHeight() + kMargin,
                   width - 2 * kMargin, g_shown.logListHeight);
    Controls::Move(GetDlgItem(hwnd, ID_PARTITIONS_LIST), kMargin, PartitionsTop(height) + kLinePitch,
                   width - 2 * kMargin, g_shown.partitionListHeight);
    Controls::MoveButton(GetDlgItem(hwnd, ID_BTN_COPY), kMargin, height);
    Controls::MoveButton(GetDlgItem(hwnd, IDCANCEL), kCloseButtonX, height);
}

void DetailsWindow::OnEraseBkgnd(HWND hwnd, HDC dc)
{
    RECT client{};
    GetClientRect(hwnd, &client);
    Controls::FillBackground(dc, client);
}

void DetailsWindow::OnPaint(HWND hwnd)
{
    const PaintDc paint(hwnd);
    const HDC dc = paint.Get();
    const SelectedObject font(dc, GetStockObject(DEFAULT_GUI_FONT));
    SetBkMode(dc, TRANSPARENT);
    RECT client{};
    GetClientRect(hwnd, &client);
    int line = 0;
    for (const DetailsText::Field& field : g_shown.heading) {
        DrawLine(dc, client.right, line++, field.label, field.value, Theme::kLightText);
    }
    DrawLine(dc, client.right, line++, L"Assessment", g_shown.verdictText,
             VerdictColour(g_shown.verdict));
    for (const std::wstring& reason : g_shown.reasons) {
        DrawLine(dc, client.right, line++, L"", reason, Theme::kLightText);
    }
    if (HasNoteLine()) {
        DrawLine(dc, client.right, line++, L"", g_shown.table.note, Theme::kLightText);
    }
    if (!HasTable()) {
        PaintText(dc, g_shown.table.note, {kMargin, TableTop(), client.right - kMargin, TableTop() + kLinePitch},
                 Theme::kLightText);
    }
    const int partitionsTop = PartitionsTop(client.bottom);
    PaintText(dc, L"Partitions", {kMargin, partitionsTop, kMargin + kLabelWidth, partitionsTop + kLinePitch},
              Theme::kLightText);
    PaintText(dc, g_shown.partitionStyle,
              {kMargin + kLabelWidth, partitionsTop, client.right - kMargin, partitionsTop + kLinePitch},
              Theme::kLightText);
}

void DetailsWindow::OnCommand(HWND hwnd, int controlId)
{
    if (controlId == ID_BTN_COPY) {
        Clipboard::Copy(hwnd, g_shown.copyText);
    } else if (controlId == IDCANCEL) {
        OnClose(hwnd);
    }
}

LRESULT DetailsWindow::OnNotify(NMHDR* header)
{
    if (header == nullptr || header->code != NM_CUSTOMDRAW) {
        return 0;
    }
    const auto colour = header->idFrom == ID_DETAILS_LIST ? RowColour
                        : header->idFrom == ID_LOGS_LIST  ? LogColour
                        : header->idFrom == ID_PARTITIONS_LIST ? PartitionColour
                                                               : nullptr;
    return colour != nullptr ? DarkList::OnCustomDraw(*reinterpret_cast<NMLVCUSTOMDRAW*>(header), colour) : 0;
}

// The partitions' file systems have been read: their column, and the copy, show them.
void DetailsWindow::OnFileSystems(HWND hwnd)
{
    if (!g_reads) {
        return;
    }
    {
        const ReadsLock lock(*g_reads);
        g_details.layout = std::move(g_reads->layout);
    }
    g_shown.partitions = PartitionText::BuildTable(g_details);
    g_shown.copyText = DetailsText::CopyText(g_details);
    RefillList(GetDlgItem(hwnd, ID_PARTITIONS_LIST), g_shown.partitions);
}

// The owner is enabled first, so that it, not another program, becomes the active window.
void DetailsWindow::OnClose(HWND hwnd)
{
    EnableWindow(GetWindow(hwnd, GW_OWNER), TRUE);
    DestroyWindow(hwnd);
}

void DetailsWindow::OnGetMinMaxInfo(MINMAXINFO& limits)
{
    RECT outer{0, 0, kMinimumWidth, g_shown.minimumClientHeight};
    AdjustWindowRectEx(&outer, kStyle, FALSE, 0);
    limits.ptMinTrackSize = {kMinimumWidth, std::max(kMinimumHeight, Height(outer))};
}
