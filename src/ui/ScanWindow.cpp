#include "ui/ScanWindow.h"

#include "report/FileText.h"
#include "text/BoundedText.h"
#include "text/Decimal.h"
#include "ui/Clipboard.h"
#include "ui/Controls.h"
#include "ui/DarkList.h"
#include "ui/GdiObject.h"
#include "ui/Theme.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

constexpr wchar_t kClassName[] = L"OstrevaneScanClass";
constexpr DWORD kStyle = WS_OVERLAPPEDWINDOW & ~WS_MINIMIZEBOX;
constexpr DWORD kListStyle =
    WS_CHILD | WS_VISIBLE | WS_TABSTOP | LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS | LVS_OWNERDATA;
constexpr DWORD kButtonStyle = WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_OWNERDRAW;
constexpr UINT WM_SCAN_PROGRESS = WM_APP + 2;
// While a Stop waits, or the thread is ending: cancel again, update the time waited, and see
// whether the thread has ended.
constexpr UINT_PTR kStopTimer = 1;
constexpr UINT kStopTimerInterval = 200;
constexpr wchar_t kConfirmStop[] =
    L"Stop the scan and close this window? The result so far will be lost unless you copy it.";

constexpr wchar_t kIntroduction[] = L"Reads every sector once and writes nothing. On a drive that is failing, copy the "
                                    L"data off first: a full read adds wear.";

// Layout: the text lines at the top, then the progress bar, then the map over the plot on the
// left and the legend over the unreadable ranges on the right, the buttons in their band.
constexpr int kMargin = Controls::kMargin;
constexpr int kLinePitch = 18;
constexpr int kLabelWidth = 110;
constexpr int kHeadingLines = 5;
constexpr int kProgressHeight = 16;
constexpr int kSideWidth = 250;
constexpr int kCellPitch = 10; // a map cell and the gap after it
constexpr int kAxisLeft = 48;  // room for the y axis's figures
constexpr int kAxisBottom = 20;
constexpr int kCheckButtonX = 170;
constexpr int kFindFilesButtonX = 330;
constexpr int kCopyButtonX = 490;
constexpr int kCloseButtonX = 650;
constexpr int kWidth = 960;
constexpr int kHeight = 720;
constexpr int kMinimumWidth = 820;
constexpr int kMinimumHeight = 560;
constexpr std::size_t kShownRanges = 1000;
constexpr int kLbaColumnWidth = 100;
constexpr int kSectorsColumnWidth = 60;
constexpr int kErrorColumnWidth = 70;
constexpr std::array<int, FileText::kColumns.size()> kFileColumnWidths{100, 70, 90, 300, 100};

// Block classes' colours, by ScanRecord::Class; unscanned cells in the list background.
constexpr std::array<COLORREF, 6> kClassColours{Theme::kListBackground, 0x3C8C3C, 0x00C8C8, Theme::kCaution,
                                                0x0060FF, Theme::kBad};
constexpr std::array<std::wstring_view, ScanRecord::kScannedClasses> kClassNames{
    L"Up to 50 ms", L"Up to 150 ms", L"Up to 500 ms", L"Over 500 ms", L"Unreadable"};
constexpr COLORREF kGridColour = 0x3C3C3C;
constexpr COLORREF kRateColour = 0xF0B040;

// Where the scan is, as the Start button shows it: Start, Stop, or Start disabled while a Stop
// waits for the thread to end.
enum class Phase { Idle, Running, Stopping };

struct State {
    HWND window = nullptr;
    HWND owner = nullptr;
    ScanRecord::Drive drive;
    SurfaceScan::Geometry geometry;
    ScanRecord shown;     // what the window shows: the last snapshot of the scan
    bool logsNameLbas = true; // as the last check of the drive found; untold until one has
    bool started = false; // a scan has started since the window opened
    bool findsFiles = false; // what runs, or ran last, is Find Files
    DriveFiles::Found files; // what it found: the Files list
    Phase phase = Phase::Idle;
    ULONGLONG stopAskedAt = 0;   // the tick count when Stop was asked
    bool closeWhenEnded = false; // Close was asked while the thread was still in a read
};
State g;

struct Layout {
    RECT status;
    RECT progress;
    RECT map;
    RECT plot;
    RECT legend;
    RECT rangesTitle;
    RECT ranges;
};

Layout LayoutFor(int width, int height)
{
    Layout layout{};
    const int statusTop = kMargin + kHeadingLines * kLinePitch + 4;
    layout.status = {kMargin, statusTop, width - kMargin, statusTop + kLinePitch};
    const int progressTop = layout.status.bottom + 4;
    layout.progress = {kMargin, progressTop, width - kMargin, progressTop + kProgressHeight};
    const int top = layout.progress.bottom + kMargin;
    const int bottom = std::max(top + 2 * kLinePitch, height - Controls::kButtonBand);
    const int sideLeft = width - kMargin - kSideWidth;
    const int mapBottom = top + (bottom - top) * 11 / 20;
    layout.map = {kMargin, top, sideLeft - kMargin, mapBottom};
    layout.plot = {kMargin, mapBottom + kMargin, sideLeft - kMargin, bottom};
    layout.legend = {sideLeft, top, width - kMargin, top + (1 + static_cast<int>(kClassNames.size())) * kLinePitch};
    layout.rangesTitle = {sideLeft, layout.legend.bottom + kMargin, width - kMargin,
                          layout.legend.bottom + kMargin + kLinePitch};
    layout.ranges = {sideLeft, layout.rangesTitle.bottom, width - kMargin, bottom};
    return layout;
}

int Width(const RECT& rect)
{
    return rect.right - rect.left;
}

int Height(const RECT& rect)
{
    return rect.bottom - rect.top;
}

void PaintText(HDC dc, std::wstring_view text, RECT rect, COLORREF colour, UINT format = DT_LEFT)
{
    SetTextColor(dc, colour);
    DrawTextW(dc, text.data(), static_cast<int>(text.size()), &rect,
              format | DT_SINGLELINE | DT_NOPREFIX | DT_END_ELLIPSIS | DT_VCENTER);
}

void Fill(HDC dc, const RECT& rect, COLORREF colour)
{
    const GdiObject<HBRUSH> brush(CreateSolidBrush(colour));
    FillRect(dc, &rect, brush.Get());
}

void DrawHeading(HDC dc, int width)
{
    const std::array<std::pair<std::wstring_view, std::wstring>, kHeadingLines> lines{{
        {L"Drive", BoundedText::Formatted(L"%d", g.drive.number)},
        {L"Model", g.drive.model},
        {L"Serial Number", g.drive.serialNumber},
        {L"Capacity", BoundedText::Formatted(L"%.1f GB (%llu bytes)", static_cast<double>(g.geometry.capacityBytes) / 1073741824.0,
                                static_cast<unsigned long long>(g.geometry.capacityBytes))},
        {L"Sector Size", BoundedText::Formatted(L"%u bytes", g.geometry.sectorSize)},
    }};
    int top = kMargin;
    for (const auto& [label, value] : lines) {
        PaintText(dc, label, {kMargin, top, kMargin + kLabelWidth, top + kLinePitch}, Theme::kLightText);
        PaintText(dc, value, {kMargin + kLabelWidth, top, width - kMargin, top + kLinePitch}, Theme::kLightText);
        top += kLinePitch;
    }
}

void DrawProgress(HDC dc, const RECT& rect)
{
    Fill(dc, rect, Theme::kListBackground);
    const ScanRecord& shown = g.shown;
    if (shown.CapacityBytes() > 0) {
        RECT bar = rect;
        bar.right = rect.left + static_cast<int>(Width(rect) * shown.Progress());
        Fill(dc, bar, Theme::kSelectedBackground);
    }
}

void DrawMap(HDC dc, const RECT& rect)
{
    const int columns = std::max(1, Width(rect) / kCellPitch);
    const int rows = std::max(1, Height(rect) / kCellPitch);
    const auto cells = static_cast<std::size_t>(columns) * static_cast<std::size_t>(rows);
    std::array<GdiObject<HBRUSH>, kClassColours.size()> brushes;
    for (std::size_t index = 0; index < brushes.size(); ++index) {
        brushes[index].Reset(CreateSolidBrush(kClassColours[index]));
    }
    for (std::size_t cell = 0; cell < cells; ++cell) {
        const int x = rect.left + static_cast<int>(cell % static_cast<std::size_t>(columns)) * kCellPitch;
        const int y = rect.top + static_cast<int>(cell / static_cast<std::size_t>(columns)) * kCellPitch;
        const RECT box{x, y, x + kCellPitch - 1, y + kCellPitch - 1};
        FillRect(dc, &box, brushes[static_cast<std::size_t>(g.shown.MapCell(cell, cells))].Get());
    }
}

void DrawLegend(HDC dc, const RECT& rect)
{
    PaintText(dc, L"Blocks", {rect.left, rect.top, rect.right, rect.top + kLinePitch}, Theme::kLightText);
    int top = rect.top + kLinePitch;
    for (std::size_t index = 0; index < kClassNames.size(); ++index) {
        const RECT swatch{rect.left, top + 3, rect.left + 12, top + 15};
        Fill(dc, swatch, kClassColours[index + 1]);
        const RECT line{rect.left + 20, top, rect.right, top + kLinePitch};
        PaintText(dc, kClassNames[index], line, Theme::kLightText);
        const auto count = static_cast<unsigned long long>(g.shown.Count(static_cast<ScanRecord::Class>(index + 1)));
        PaintText(dc, BoundedText::Formatted(L"%llu", count), line, Theme::kLightText, DT_RIGHT);
        top += kLinePitch;
    }
}

void Line(HDC dc, int x0, int y0, int x1, int y1)
{
    MoveToEx(dc, x0, y0, nullptr);
    LineTo(dc, x1, y1);
}

// MB/s against position: grid lines with their figures, the axes, and one point per 0.1 %.
void DrawPlot(HDC dc, const RECT& rect)
{
    const RECT area{rect.left + kAxisLeft, rect.top + kLinePitch / 2, rect.right - kMargin, rect.bottom - kAxisBottom};
    if (Width(area) <= 0 || Height(area) <= 0) {
        return;
    }
    const std::vector<ScanRecord::PlotPoint> points = g.shown.PlotPoints();
    double highest = 0;
    for (const ScanRecord::PlotPoint& point : points) {
        highest = std::max(highest, point.mibPerSecond);
    }
    const ScanRecord::Scale scale = ScanRecord::PlotScale(highest);
    const double capacity = static_cast<double>(g.shown.CapacityBytes()) / 1073741824.0;
    const auto xOf = [&](double gib) {
        return area.left + static_cast<int>(capacity > 0 ? Width(area) * gib / capacity : 0.0);
    };
    const auto yOf = [&](double rate) { return area.bottom - static_cast<int>(Height(area) * rate / scale.top); };

    {
        const GdiObject<HPEN> grid(CreatePen(PS_SOLID, 1, kGridColour));
        const SelectedObject selection(dc, grid.Get());
        for (int step = 1; step <= scale.steps; ++step) {
            const double rate = scale.top * step / scale.steps;
            Line(dc, area.left, yOf(rate), area.right, yOf(rate));
        }
        for (int quarter = 1; quarter <= 4; ++quarter) {
            Line(dc, xOf(capacity * quarter / 4), area.top, xOf(capacity * quarter / 4), area.bottom);
        }
    }
    for (int step = 0; step <= scale.steps; ++step) {
        const double rate = scale.top * step / scale.steps;
        const int y = yOf(rate);
        PaintText(dc, BoundedText::Formatted(L"%g", rate), {rect.left, y - kLinePitch / 2, area.left - 4, y + kLinePitch / 2},
                  Theme::kLightText, DT_RIGHT);
    }
    for (int quarter = 0; quarter <= 4; ++quarter) {
        const int x = xOf(capacity * quarter / 4);
        const UINT align = quarter == 0 ? DT_LEFT : (quarter == 4 ? DT_RIGHT : DT_CENTER);
        const RECT label{quarter == 0 ? x : x - 60, area.bottom + 2, quarter == 4 ? x : x + 60, rect.bottom};
        PaintText(dc, ScanRecord::AxisLabel(g.geometry.capacityBytes, quarter), label, Theme::kLightText, align);
    }
    PaintText(dc, L"MB/s", {area.left + 4, area.top, area.left + 80, area.top + kLinePitch}, Theme::kLightText);
    {
        const GdiObject<HPEN> axis(CreatePen(PS_SOLID, 1, Theme::kLightText));
        const SelectedObject selection(dc, axis.Get());
        Line(dc, area.left, area.top, area.left, area.bottom);
        Line(dc, area.left, area.bottom, area.right, area.bottom);
    }
    if (points.empty()) {
        return;
    }
    std::vector<POINT> line;
    line.reserve(points.size());
    for (const ScanRecord::PlotPoint& point : points) {
        line.push_back({xOf(point.positionGiB), yOf(point.mibPerSecond)});
    }
    const GdiObject<HPEN> pen(CreatePen(PS_SOLID, 1, kRateColour));
    const SelectedObject selection(dc, pen.Get());
    if (line.size() == 1) {
        line.push_back({line[0].x + 1, line[0].y});
    }
    Polyline(dc, line.data(), static_cast<int>(line.size()));
}

std::wstring RangesTitle()
{
    if (g.shown.ChecksLogged()) {
        return BoundedText::Formatted(L"Logged LBAs: %llu", static_cast<unsigned long long>(g.shown.LoggedLbas().size()));
    }
    const std::size_t count = g.shown.UnreadableRanges().size();
    std::wstring title = BoundedText::Formatted(L"Unreadable ranges: %llu", static_cast<unsigned long long>(count));
    return count > kShownRanges ? title + L" (the first 1,000 shown)" : title;
}

// A memory bitmap the size of the client area, so that a repaint ten times a second does not
// flicker; copied to the window when it goes.
class BufferedPaint {
public:
    BufferedPaint(HDC target, int width, int height)
        : m_target(target), m_width(width), m_height(height), m_dc(CreateCompatibleDC(target)),
          m_bitmap(CreateCompatibleBitmap(target, width, height)), m_selection(m_dc, m_bitmap.Get())
    {
    }
    BufferedPaint(const BufferedPaint&) = delete;
    BufferedPaint& operator=(const BufferedPaint&) = delete;
    ~BufferedPaint()
    {
        BitBlt(m_target, 0, 0, m_width, m_height, m_dc, 0, 0, SRCCOPY);
    }
    HDC Get() const { return m_dc; }

private:
    struct MemoryDc {
        explicit MemoryDc(HDC dc) : handle(dc) {}
        MemoryDc(const MemoryDc&) = delete;
        MemoryDc& operator=(const MemoryDc&) = delete;
        ~MemoryDc() { DeleteDC(handle); }
        operator HDC() const { return handle; }
        HDC handle;
    };
    HDC m_target;
    int m_width;
    int m_height;
    MemoryDc m_dc;
    GdiObject<HBITMAP> m_bitmap;
    SelectedObject m_selection;
};

void SetPhase(HWND hwnd, Phase phase)
{
    g.phase = phase;
    const HWND start = GetDlgItem(hwnd, ID_SCAN_START);
    SetWindowTextW(start, phase == Phase::Running ? L"Stop" : L"Start");
    if (phase == Phase::Stopping && GetFocus() == start) {
        // A disabled button would take the keyboard's focus with it.
        SetFocus(GetDlgItem(hwnd, IDCANCEL));
    }
    EnableWindow(start, phase == Phase::Stopping ? FALSE : TRUE);
    InvalidateRect(start, nullptr, FALSE);
    EnableWindow(GetDlgItem(hwnd, ID_SCAN_CHECK_LOGGED), phase == Phase::Idle && g.logsNameLbas ? TRUE : FALSE);
    EnableWindow(GetDlgItem(hwnd, ID_SCAN_FIND_FILES),
                 phase == Phase::Idle && !g.shown.UnreadableRanges().empty() ? TRUE : FALSE);
    InvalidateRect(hwnd, nullptr, FALSE);
}

// The right-hand list's column titles: the unreadable ranges', or a check's logged LBAs'.
void TitleColumns(HWND list, bool logged)
{
    const std::array<const wchar_t*, 3> titles{logged ? L"Logged LBA" : L"First LBA", logged ? L"Now" : L"Sectors",
                                               logged ? L"" : L"Error"};
    for (int column = 0; column < 3; ++column) {
        LVCOLUMNW title{};
        title.mask = LVCF_TEXT;
        title.pszText = const_cast<wchar_t*>(titles[static_cast<std::size_t>(column)]);
        SendMessageW(list, LVM_SETCOLUMNW, static_cast<WPARAM>(column), reinterpret_cast<LPARAM>(&title));
    }
}

void ShowSnapshot(HWND hwnd)
{
    const bool wasLogged = g.shown.ChecksLogged();
    g.shown = SurfaceScan::Snapshot();
    const bool logged = g.shown.ChecksLogged();
    const std::size_t shown =
        logged ? g.shown.LoggedLbas().size() : std::min(g.shown.UnreadableRanges().size(), kShownRanges);
    const HWND ranges = GetDlgItem(hwnd, ID_SCAN_RANGES);
    if (logged != wasLogged) {
        TitleColumns(ranges, logged);
    }
    if (static_cast<std::size_t>(SendMessageW(ranges, LVM_GETITEMCOUNT, 0, 0)) != shown) {
        SendMessageW(ranges, LVM_SETITEMCOUNT, shown, LVSICF_NOSCROLL);
    }
    InvalidateRect(ranges, nullptr, FALSE);
    if (g.findsFiles) {
        g.files = SurfaceScan::FilesSnapshot();
        const HWND files = GetDlgItem(hwnd, ID_SCAN_FILES);
        SendMessageW(files, LVM_SETITEMCOUNT, g.files.rows.size() + g.files.notes.size(), LVSICF_NOSCROLL);
        InvalidateRect(files, nullptr, FALSE);
    }
    InvalidateRect(hwnd, nullptr, FALSE);
}

// Whether the thread's record says it is still at work.
bool RecordRuns()
{
    return g.findsFiles ? g.files.IsRunning() : g.shown.IsRunning();
}

// The Files list takes the plot's place once Find Files has run, until the next scan.
void ShowFiles(HWND hwnd, bool show)
{
    ShowWindow(GetDlgItem(hwnd, ID_SCAN_FILES), show ? SW_SHOW : SW_HIDE);
    InvalidateRect(hwnd, nullptr, FALSE);
}

// The thread has ended and freed everything: Start again, the read test back, and the window
// closed if Close was asked meanwhile. A press of Start that began on "Stop" ends here without
// a click, however the button is let go: it was meant for a scan that is over.
void EndScan(HWND hwnd)
{
    if (GetCapture() == GetDlgItem(hwnd, ID_SCAN_START)) {
        ReleaseCapture();
    }
    KillTimer(hwnd, kStopTimer);
    ShowSnapshot(hwnd);
    if (const auto logged = SurfaceScan::LoggedLbas()) {
        g.logsNameLbas = !logged->empty();
    }
    SetPhase(hwnd, Phase::Idle);
    SendMessageW(g.owner, WM_SCAN_RUNNING, FALSE, g.drive.number);
    if (g.closeWhenEnded) {
        DestroyWindow(hwnd);
    } else if (g.shown.FoundAnotherDrive()) {
        MessageBoxW(hwnd, g.shown.ResultText().c_str(), L"Error", MB_OK | MB_ICONERROR);
    }
}

// Asks the thread to end; the timer asks again until it has.
void AskStop(HWND hwnd)
{
    SurfaceScan::Stop();
    g.stopAskedAt = GetTickCount64();
    SetPhase(hwnd, Phase::Stopping);
    SetTimer(hwnd, kStopTimer, kStopTimerInterval, nullptr);
}

// The whole scan, or the check of the logged LBAs; the scan's thread first checks that drive N
// is still the drive of the heading, the same serial number and capacity.
void StartScan(HWND hwnd, bool checkLogged)
{
    if (SurfaceScan::Start(g.drive.number, hwnd, WM_SCAN_PROGRESS, {g.drive.serialNumber, g.geometry}, checkLogged)) {
        g.started = true;
        g.findsFiles = false;
        g.files = {};
        ShowFiles(hwnd, false);
        EnableWindow(GetDlgItem(hwnd, ID_SCAN_COPY), TRUE);
        SetPhase(hwnd, Phase::Running);
        SendMessageW(g.owner, WM_SCAN_RUNNING, TRUE, g.drive.number);
        ShowSnapshot(hwnd);
    }
}

// What lies on the unreadable ranges the window shows.
void FindFiles(HWND hwnd)
{
    if (g.shown.UnreadableRanges().empty() ||
        !SurfaceScan::StartFindingFiles(g.drive.number, hwnd, WM_SCAN_PROGRESS, g.shown.UnreadableRanges())) {
        return;
    }
    g.findsFiles = true;
    SetPhase(hwnd, Phase::Running);
    SendMessageW(g.owner, WM_SCAN_RUNNING, TRUE, 0);
    ShowSnapshot(hwnd);
    ShowFiles(hwnd, true);
}

// The Files list's rows, then a row for each note.
std::vector<std::wstring> FileCells(std::size_t row)
{
    return row < g.files.rows.size() ? FileText::Cells(g.files.rows[row])
                                     : FileText::Cells(g.files.notes[row - g.files.rows.size()]);
}

std::wstring FileLba(std::size_t row)
{
    return FileCells(row)[0];
}

COLORREF RangeColour(std::size_t, int, COLORREF)
{
    return Theme::kLightText;
}

std::wstring RangeLba(std::size_t row)
{
    return Decimal(g.shown.ChecksLogged() ? g.shown.LoggedLbas()[row].lba
                                                  : g.shown.UnreadableRanges()[row].firstLba);
}

} // namespace

bool ScanWindow::Open(HWND owner, const DriveInfo& drive, const SurfaceScan::Geometry& geometry)
{
    if (g.window != nullptr) {
        return true;
    }
    const HINSTANCE instance = Controls::InstanceOf(owner);
    if (!Controls::RegisterWindowClass(instance, kClassName, WindowProc)) {
        return false;
    }
    g = State{};
    g.owner = owner;
    g.drive = {drive.index, drive.model, drive.serialNumber};
    g.geometry = geometry;
    const std::wstring title = BoundedText::Formatted(L"Surface Scan - Drive %d", drive.index);
    const HWND window = CreateWindowExW(0, kClassName, title.c_str(), kStyle | WS_CLIPCHILDREN, CW_USEDEFAULT,
                                        CW_USEDEFAULT, kWidth, kHeight, owner, nullptr, instance, nullptr);
    if (window == nullptr) {
        return false;
    }
    ShowWindow(window, SW_SHOWNORMAL);
    SetFocus(GetDlgItem(window, ID_SCAN_START));
    return true;
}

HWND ScanWindow::Window()
{
    return g.window;
}

bool ScanWindow::IsScanning()
{
    return g.window != nullptr && g.phase == Phase::Running;
}

bool ScanWindow::ConfirmStop(HWND owner)
{
    return MessageBoxW(owner, kConfirmStop, L"Surface Scan", MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2) == IDYES;
}

std::wstring ScanWindow::StatusText()
{
    if (g.phase == Phase::Stopping) {
        return ScanRecord::StoppingText(static_cast<double>(GetTickCount64() - g.stopAskedAt) / 1000.0);
    }
    if (g.findsFiles && (g.phase == Phase::Running || g.files.state != DriveFiles::State::Finished)) {
        return FileText::ResultText(g.files);
    }
    return g.started ? g.shown.StatusLine() : std::wstring(kIntroduction);
}

LRESULT CALLBACK ScanWindow::WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
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
        return TRUE; // WM_PAINT covers the whole client area
    case WM_PAINT:
        OnPaint(hwnd);
        return 0;
    case WM_NOTIFY:
        return OnNotify(hwnd, reinterpret_cast<NMHDR*>(lParam));
    case WM_COMMAND:
        if (Controls::IsClick(wParam)) {
            OnCommand(hwnd, LOWORD(wParam));
        }
        return 0;
    case WM_SCAN_PROGRESS:
        OnProgress(hwnd);
        return 0;
    case WM_TIMER:
        OnTimer(hwnd);
        return 0;
    case WM_CLOSE:
        OnClose(hwnd);
        return 0;
    case WM_DESTROY:
        OnDestroy(hwnd);
        return 0;
    case WM_GETMINMAXINFO:
        OnGetMinMaxInfo(*reinterpret_cast<MINMAXINFO*>(lParam));
        return 0;
    default:
        break;
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

void ScanWindow::OnCreate(HWND hwnd)
{
    g.window = hwnd;
    Controls::AttachFrame(hwnd, Controls::Keys::Dialog, ID_SCAN_COPY);
    const Layout layout = LayoutFor(kWidth, kHeight);
    const HWND ranges = DarkList::Create(hwnd, ID_SCAN_RANGES, kListStyle, layout.ranges.left, layout.ranges.top,
                                         Width(layout.ranges), Height(layout.ranges));
    DarkList::AddColumn(ranges, 0, L"First LBA", kLbaColumnWidth);
    DarkList::AddColumn(ranges, 1, L"Sectors", kSectorsColumnWidth);
    DarkList::AddColumn(ranges, 2, L"Error", kErrorColumnWidth);
    const HWND files = DarkList::Create(hwnd, ID_SCAN_FILES, kListStyle & ~DWORD{WS_VISIBLE}, layout.plot.left, layout.plot.top,
                                        Width(layout.plot), Height(layout.plot));
    for (std::size_t column = 0; column < FileText::kColumns.size(); ++column) {
        DarkList::AddColumn(files, static_cast<int>(column), FileText::kColumns[column].data(), kFileColumnWidths[column]);
    }
    Controls::CreateButton(hwnd, L"Start", kButtonStyle, kMargin, 0, ID_SCAN_START);
    Controls::CreateButton(hwnd, L"Check Logged LBAs", kButtonStyle, kCheckButtonX, 0, ID_SCAN_CHECK_LOGGED);
    Controls::CreateButton(hwnd, L"Find Files", kButtonStyle | WS_DISABLED, kFindFilesButtonX, 0, ID_SCAN_FIND_FILES);
    Controls::CreateButton(hwnd, L"Copy", kButtonStyle | WS_DISABLED, kCopyButtonX, 0, ID_SCAN_COPY);
    Controls::CreateButton(hwnd, L"Close", kButtonStyle, kCloseButtonX, 0, IDCANCEL);
    Controls::PlaceOverOwner(hwnd, kWidth, kHeight);
}

void ScanWindow::OnSize(HWND hwnd)
{
    RECT client{};
    GetClientRect(hwnd, &client);
    const Layout layout = LayoutFor(client.right, client.bottom);
    Controls::Move(GetDlgItem(hwnd, ID_SCAN_RANGES), layout.ranges.left, layout.ranges.top, Width(layout.ranges),
                   Height(layout.ranges));
    Controls::MoveButton(GetDlgItem(hwnd, ID_SCAN_START), kMargin, client.bottom);
    Controls::Move(GetDlgItem(hwnd, ID_SCAN_FILES), layout.plot.left, layout.plot.top, Width(layout.plot),
                   Height(layout.plot));
    Controls::MoveButton(GetDlgItem(hwnd, ID_SCAN_CHECK_LOGGED), kCheckButtonX, client.bottom);
    Controls::MoveButton(GetDlgItem(hwnd, ID_SCAN_FIND_FILES), kFindFilesButtonX, client.bottom);
    Controls::MoveButton(GetDlgItem(hwnd, ID_SCAN_COPY), kCopyButtonX, client.bottom);
    Controls::MoveButton(GetDlgItem(hwnd, IDCANCEL), kCloseButtonX, client.bottom);
    InvalidateRect(hwnd, nullptr, FALSE);
}

void ScanWindow::OnPaint(HWND hwnd)
{
    const PaintDc paint(hwnd);
    RECT client{};
    GetClientRect(hwnd, &client);
    const BufferedPaint buffer(paint.Get(), std::max<LONG>(client.right, 1), std::max<LONG>(client.bottom, 1));
    const HDC dc = buffer.Get();
    Controls::FillBackground(dc, client);
    const SelectedObject font(dc, GetStockObject(DEFAULT_GUI_FONT));
    SetBkMode(dc, TRANSPARENT);
    const Layout layout = LayoutFor(client.right, client.bottom);
    DrawHeading(dc, client.right);
    PaintText(dc, StatusText(), layout.status, Theme::kLightText);
    DrawProgress(dc, layout.progress);
    DrawMap(dc, layout.map);
    DrawLegend(dc, layout.legend);
    if (!IsWindowVisible(GetDlgItem(hwnd, ID_SCAN_FILES))) {
        DrawPlot(dc, layout.plot);
    }
    PaintText(dc, RangesTitle(), layout.rangesTitle, Theme::kLightText);
}

// Start and Stop act on what the button showed when it was clicked: a click on "Stop" that
// comes after the scan ended by itself starts nothing.
void ScanWindow::OnCommand(HWND hwnd, int controlId)
{
    switch (controlId) {
    case ID_SCAN_START:
        if (g.phase == Phase::Running) {
            AskStop(hwnd);
        } else if (g.phase == Phase::Idle) {
            StartScan(hwnd, false);
        }
        break;
    case ID_SCAN_CHECK_LOGGED:
        if (g.phase == Phase::Idle) {
            StartScan(hwnd, true);
        }
        break;
    case ID_SCAN_FIND_FILES:
        if (g.phase == Phase::Idle) {
            FindFiles(hwnd);
        }
        break;
    case ID_SCAN_COPY:
        if (g.started) {
            const std::wstring files = g.findsFiles ? L"\r\n" + FileText::Lines(g.files) : std::wstring();
            Clipboard::Copy(hwnd, SurfaceScan::Snapshot().CopyText(g.drive) + files);
        }
        break;
    case IDCANCEL:
        OnClose(hwnd);
        break;
    default:
        break;
    }
}

LRESULT ScanWindow::OnNotify(HWND hwnd, NMHDR* header)
{
    if (header == nullptr || (header->idFrom != ID_SCAN_RANGES && header->idFrom != ID_SCAN_FILES)) {
        return 0;
    }
    const bool files = header->idFrom == ID_SCAN_FILES;
    switch (header->code) {
    case NM_CUSTOMDRAW:
        return DarkList::OnCustomDraw(*reinterpret_cast<NMLVCUSTOMDRAW*>(header), RangeColour);
    case LVN_ODFINDITEMW:
        return DarkList::FindRow(*reinterpret_cast<const NMLVFINDITEMW*>(header),
                                 static_cast<std::size_t>(SendMessageW(GetDlgItem(hwnd, static_cast<int>(header->idFrom)),
                                                                       LVM_GETITEMCOUNT, 0, 0)),
                                 files ? FileLba : RangeLba);
    case LVN_GETDISPINFOW:
        break;
    default:
        return 0;
    }
    LVITEMW& item = reinterpret_cast<NMLVDISPINFOW*>(header)->item;
    const std::span<wchar_t> text(item.pszText, static_cast<std::size_t>(std::max(item.cchTextMax, 0)));
    if ((item.mask & LVIF_TEXT) != 0 && files && item.iItem >= 0 &&
        static_cast<std::size_t>(item.iItem) < g.files.rows.size() + g.files.notes.size() && item.iSubItem >= 0 &&
        static_cast<std::size_t>(item.iSubItem) < FileText::kColumns.size()) {
        const std::vector<std::wstring> cells = FileCells(static_cast<std::size_t>(item.iItem));
        BoundedText::Format(text, L"%ls", cells[static_cast<std::size_t>(item.iSubItem)].c_str());
    }
    if (files) {
        return 0;
    }
    const std::vector<ScanRecord::LoggedLba>& logged = g.shown.LoggedLbas();
    if ((item.mask & LVIF_TEXT) != 0 && g.shown.ChecksLogged() && item.iItem >= 0 &&
        static_cast<std::size_t>(item.iItem) < logged.size()) {
        const ScanRecord::LoggedLba& entry = logged[static_cast<std::size_t>(item.iItem)];
        BoundedText::Format(text, L"%ls",
                            (item.iSubItem == 0   ? Decimal(entry.lba)
                             : item.iSubItem == 1 ? ScanRecord::NowText(entry)
                                                  : std::wstring())
                                .c_str());
        return 0;
    }
    const std::vector<ScanRecord::Range>& ranges = g.shown.UnreadableRanges();
    if ((item.mask & LVIF_TEXT) != 0 && item.iItem >= 0 && static_cast<std::size_t>(item.iItem) < ranges.size()) {
        const ScanRecord::Range& range = ranges[static_cast<std::size_t>(item.iItem)];
        BoundedText::Format(text, L"%ls",
                            (item.iSubItem == 0   ? Decimal(range.firstLba)
                             : item.iSubItem == 1 ? Decimal(range.sectors)
                                                  : ScanRecord::ErrorText(range.error))
                                .c_str());
    }
    return 0;
}

// The record is final a moment before the thread has freed everything and ended: the timer
// sees the end when this message comes too early for it.
void ScanWindow::OnProgress(HWND hwnd)
{
    SurfaceScan::Acknowledge();
    ShowSnapshot(hwnd);
    if (!g.started || g.phase == Phase::Idle || RecordRuns()) {
        return;
    }
    if (SurfaceScan::IsRunning()) {
        SetTimer(hwnd, kStopTimer, kStopTimerInterval, nullptr);
    } else {
        EndScan(hwnd);
    }
}

void ScanWindow::OnTimer(HWND hwnd)
{
    if (!SurfaceScan::IsRunning()) {
        EndScan(hwnd);
        return;
    }
    if (g.phase == Phase::Stopping) {
        SurfaceScan::Stop();
        InvalidateRect(hwnd, nullptr, FALSE);
    }
}

// A running scan is not thrown away unasked; a Stop that still waits for the drive closes the
// window when the thread has ended.
void ScanWindow::OnClose(HWND hwnd)
{
    if (g.phase == Phase::Running && !ConfirmStop(hwnd)) {
        return;
    }
    if (g.phase == Phase::Running) {
        AskStop(hwnd);
    }
    if (g.phase == Phase::Idle) {
        DestroyWindow(hwnd);
    } else {
        g.closeWhenEnded = true;
    }
}

// Gone with the main window, the window asks the thread to end; the program waits for it.
void ScanWindow::OnDestroy(HWND hwnd)
{
    SurfaceScan::Stop();
    KillTimer(hwnd, kStopTimer);
    Controls::DetachFrame(hwnd);
    if (g.phase != Phase::Idle) {
        SendMessageW(g.owner, WM_SCAN_RUNNING, FALSE, g.drive.number);
    }
    g = State{};
}

void ScanWindow::OnGetMinMaxInfo(MINMAXINFO& limits)
{
    limits.ptMinTrackSize = {kMinimumWidth, kMinimumHeight};
}
