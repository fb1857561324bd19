#include "ui/UI.h"

#include "diskinfo/Assessment.h"
#include "disktest/DiskTest.h"
#include "report/CellText.h"
#include "report/ControllerText.h"
#include "report/DetailsText.h"
#include "report/ResultText.h"
#include "resources/resource.h"
#include "ui/Clipboard.h"
#include "ui/Controls.h"
#include "ui/DarkList.h"
#include "ui/DetailsWindow.h"
#include "ui/ScanWindow.h"
#include "ui/Theme.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

HINSTANCE UI::s_hInstance = nullptr;
GdiObject<HBRUSH> UI::s_hbrBg;
HWND UI::s_hwndList = nullptr;
HWND UI::s_hwndBtnRefresh = nullptr;
HWND UI::s_hwndBtnTest = nullptr;
HWND UI::s_hwndBtnDetails = nullptr;
HWND UI::s_hwndBtnScan = nullptr;
HWND UI::s_hwndHint = nullptr;
std::vector<DriveInfo> UI::s_drives;

namespace {

constexpr wchar_t kClassName[] = L"OstrevaneClass";
constexpr wchar_t kTitle[] = L"Ostrevane (x64/ARM64)";
constexpr wchar_t kStandardTitle[] = L"Ostrevane (x64/ARM64, standard requests only)";
constexpr int kWindowWidth = 800;
constexpr int kWindowHeight = 600;

// How long the process waits, its windows gone, for a scan's thread still in a read to end, and
// how often it asks again for the read to be cancelled meanwhile.
constexpr ULONGLONG kScanEndLimit = 10'000;
constexpr DWORD kCancelInterval = 100;

constexpr DWORD kListStyle = WS_CHILD | WS_VISIBLE | LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS | LVS_OWNERDATA;
constexpr DWORD kButtonStyle = WS_CHILD | WS_VISIBLE | BS_OWNERDRAW;
// The hint names devices by IDs that hold '&', which is no mnemonic there.
constexpr DWORD kHintStyle = WS_CHILD | SS_LEFT | SS_NOPREFIX;
static_assert(kListStyle == 0x5000100D && kButtonStyle == 0x5000000B && kHintStyle == 0x40000080);

// Layout at creation; OnSize follows the client area from there.
constexpr int kMargin = Controls::kMargin;
constexpr int kTestButtonX = 170;
constexpr int kDetailsButtonX = 330;
constexpr int kScanButtonX = 490;
constexpr int kListWidthAtCreation = 760;
constexpr int kListHeightAtCreation = 450;
constexpr int kButtonYAtCreation = 480;
// Between the list and the hint below it.
constexpr int kHintGap = 6;

constexpr std::array<int, CellText::kColumnCount> kColumnWidths{40, 150, 100, 70, 70, 70, 50, 70, 60, 60, 110};

// A header item's margins either side of its title, with room for the sort mark.
constexpr int kTitleMargins = 24;

HICON AppIcon(HINSTANCE instance)
{
    return LoadIconW(instance, MAKEINTRESOURCEW(IDI_OSTREVANE));
}

HWND CreateButton(HWND parent, const wchar_t* text, int x, int id)
{
    return Controls::CreateButton(parent, text, kButtonStyle, x, kButtonYAtCreation, id);
}

// The hint's text, its lines as long as they come.
std::wstring g_hint;

HWND CreateHint(HWND parent)
{
    const HWND hint = CreateWindowExW(0, L"STATIC", L"", kHintStyle, kMargin, kButtonYAtCreation - kMargin,
                                      kListWidthAtCreation, 0, parent, Controls::Id(ID_HINT),
                                      Controls::InstanceOf(parent), nullptr);
    SendMessageW(hint, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(DEFAULT_GUI_FONT)), FALSE);
    g_hint.clear();
    return hint;
}

// The hint's height with its words wrapped at `width`, as the control wraps them, and the gap
// above it; 0 without a hint.
int HintHeight(int width)
{
    if (g_hint.empty()) {
        return 0;
    }
    const WindowDc dc(UI::s_hwndHint);
    const SelectedObject font(dc.Get(), GetStockObject(DEFAULT_GUI_FONT));
    RECT text{0, 0, width, 0};
    DrawTextW(dc.Get(), g_hint.c_str(), -1, &text, DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX);
    return text.bottom + kHintGap;
}

// The drive a scan reads, or -1. Its requests would wait behind the scan's read: the list is not
// refreshed and its details are not asked for meanwhile.
std::int32_t g_scannedDrive = -1;

bool IsScanned(std::size_t row)
{
    return row < UI::s_drives.size() && UI::s_drives[row].index == g_scannedDrive;
}

// Drive Details for the selected drive, unless a scan reads it.
void EnableDetails()
{
    const LRESULT row = SendMessageW(UI::s_hwndList, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED);
    EnableWindow(UI::s_hwndBtnDetails, row >= 0 && IsScanned(static_cast<std::size_t>(row)) ? FALSE : TRUE);
}

// The list's texts when its columns were last fitted to them.
std::wstring g_fittedTexts;

HWND CreateList(HWND parent)
{
    const HWND list = DarkList::Create(parent, ID_LISTVIEW, kListStyle, kMargin, kMargin, kListWidthAtCreation,
                                       kListHeightAtCreation);
    for (std::size_t position = 0; position < kColumnWidths.size(); ++position) {
        DarkList::AddColumn(list, static_cast<int>(position), CellText::kTitles[position], kColumnWidths[position]);
    }
    g_fittedTexts.clear();
    return list;
}

// Each column as wide as its longest text and its title, never narrower than at creation; the
// list scrolls sideways when they no longer fit. Measuring is slow, so texts already fitted
// are not measured again.
void FitColumns(HWND list)
{
    std::wstring texts = DetailsText::ListCopyText(UI::s_drives);
    if (texts == g_fittedTexts) {
        return;
    }
    g_fittedTexts = std::move(texts);
    for (std::size_t position = 0; position < kColumnWidths.size(); ++position) {
        SendMessageW(list, LVM_SETCOLUMNWIDTH, position, MAKELPARAM(LVSCW_AUTOSIZE_USEHEADER, 0));
        // Some versions of the control leave no room for the header's own margins: the title
        // would be cut there.
        const auto title = static_cast<int>(SendMessageW(list, LVM_GETSTRINGWIDTHW, 0,
                                                         reinterpret_cast<LPARAM>(CellText::kTitles[position])));
        const int least = std::max(kColumnWidths[position], title + kTitleMargins);
        if (SendMessageW(list, LVM_GETCOLUMNWIDTH, position, 0) < least) {
            SendMessageW(list, LVM_SETCOLUMNWIDTH, position, MAKELPARAM(least, 0));
        }
    }
}

// Wide enough to show every column of the list, as far as the work area allows and never
// narrower than at creation, moved left where the work area would cut it: which drive holds
// which volume is in the last column.
void WidenToColumns(HWND hwnd)
{
    int columns = 0;
    for (std::size_t position = 0; position < kColumnWidths.size(); ++position) {
        columns += static_cast<int>(SendMessageW(UI::s_hwndList, LVM_GETCOLUMNWIDTH, position, 0));
    }
    RECT window{};
    RECT client{};
    RECT list{};
    RECT listClient{};
    RECT work{};
    if (GetWindowRect(hwnd, &window) == FALSE || GetClientRect(hwnd, &client) == FALSE ||
        GetWindowRect(UI::s_hwndList, &list) == FALSE || GetClientRect(UI::s_hwndList, &listClient) == FALSE ||
        SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0) == FALSE) {
        return;
    }
    // Room for a vertical scroll bar too, which more drives than rows would bring.
    const bool scrolls = (GetWindowLongW(UI::s_hwndList, GWL_STYLE) & WS_VSCROLL) != 0;
    const int frames = (window.right - window.left - client.right) + (list.right - list.left - listClient.right) +
                       (scrolls ? 0 : GetSystemMetrics(SM_CXVSCROLL));
    const int width = std::min<int>(columns + frames + 2 * kMargin, work.right - work.left);
    if (width <= window.right - window.left) {
        return;
    }
    const int left = std::max<int>(work.left, std::min<int>(window.left, work.right - width));
    SetWindowPos(hwnd, nullptr, left, window.top, width, window.bottom - window.top, SWP_NOZORDER | SWP_NOACTIVATE);
}

COLORREF HealthColour(const std::wstring& health)
{
    if (health == Assessment::kGood) {
        return Theme::kGood;
    }
    if (health == Assessment::kCaution) {
        return Theme::kCaution;
    }
    return health == Assessment::kBad ? Theme::kBad : Theme::kLightText;
}

// Health in its verdict's colour, the rest light. A row the list asks about beyond the
// records keeps the list's own text colour.
COLORREF CellColour(std::size_t row, int column, COLORREF given)
{
    if (row >= UI::s_drives.size()) {
        return given;
    }
    return column == CellText::kHealth ? HealthColour(UI::s_drives[row].health) : Theme::kLightText;
}

} // namespace

bool UI::Initialize(HINSTANCE instance)
{
    s_hInstance = instance;
    s_hbrBg.Reset(CreateSolidBrush(Theme::kWindowBackground));

    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = AppIcon(instance);
    windowClass.hIconSm = AppIcon(instance);
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = s_hbrBg.Get();
    windowClass.lpszClassName = kClassName;
    return RegisterClassExW(&windowClass) != 0;
}

HWND UI::CreateMainWindow(int showCommand)
{
    const HWND hwnd = CreateWindowExW(0, kClassName, DiskManager::StandardRequestsOnly() ? kStandardTitle : kTitle,
                                      WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, kWindowWidth, kWindowHeight,
                                      nullptr, nullptr, s_hInstance, nullptr);
    if (hwnd != nullptr) {
        WidenToColumns(hwnd); // the list was filled as the window was made
        ShowWindow(hwnd, showCommand);
        UpdateWindow(hwnd);
    }
    return hwnd;
}

int UI::MessageLoop()
{
    MSG message{};
    while (GetMessageW(&message, nullptr, 0, 0) != FALSE) {
        Dispatch(message);
    }
    AwaitScanEnd();
    s_hbrBg.Reset();
    return static_cast<int>(message.wParam);
}

void UI::Dispatch(MSG& message)
{
    if (!Controls::TranslateKeys(message)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

// The windows are gone, but a scan's thread may still be in a read that the drive does not let
// go of: the process waits for it with its messages answered, asking again and again for the
// read to be cancelled, and ends anyway when the limit has passed.
void UI::AwaitScanEnd()
{
    const ULONGLONG until = GetTickCount64() + kScanEndLimit;
    while (SurfaceScan::IsRunning() && GetTickCount64() < until) {
        SurfaceScan::Stop();
        MsgWaitForMultipleObjects(0, nullptr, FALSE, kCancelInterval, QS_ALLINPUT);
        MSG message{};
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE) != FALSE) {
            Dispatch(message);
        }
    }
}

LRESULT CALLBACK UI::WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (LRESULT result = 0; Controls::OnFrameMessage(hwnd, message, wParam, lParam, result)) {
        return result;
    }
    switch (message) {
    case WM_CREATE:
        OnCreate(hwnd);
        return 0;
    case WM_CLOSE:
        OnClose(hwnd);
        return 0;
    case WM_DESTROY:
        Controls::DetachFrame(hwnd);
        PostQuitMessage(0);
        return 0;
    case WM_SIZE:
        OnSize(hwnd);
        return 0;
    case WM_DRAWITEM:
        if (wParam == ID_BTN_REFRESH || wParam == ID_BTN_TEST || wParam == ID_BTN_DETAILS || wParam == ID_BTN_SCAN) {
            DrawCustomButton(*reinterpret_cast<const DRAWITEMSTRUCT*>(lParam));
            return TRUE;
        }
        break;
    case WM_NOTIFY:
        return OnNotify(hwnd, reinterpret_cast<NMHDR*>(lParam));
    case WM_COMMAND:
        if (Controls::IsClick(wParam)) {
            OnCommand(hwnd, LOWORD(wParam));
        }
        return 0;
    case WM_SCAN_RUNNING:
        OnScanRunning(wParam != FALSE, static_cast<std::int32_t>(lParam));
        return 0;
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORSTATIC:
        return OnCtlColor(reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam));
    default:
        break;
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

void UI::OnCreate(HWND hwnd)
{
    Controls::AttachFrame(hwnd, Controls::Keys::Own);
    s_hwndList = CreateList(hwnd);
    s_hwndBtnRefresh = CreateButton(hwnd, L"Refresh Drives", kMargin, ID_BTN_REFRESH);
    s_hwndBtnTest = CreateButton(hwnd, L"Run Read Test", kTestButtonX, ID_BTN_TEST);
    s_hwndBtnDetails = CreateButton(hwnd, L"Drive Details", kDetailsButtonX, ID_BTN_DETAILS);
    s_hwndBtnScan = CreateButton(hwnd, L"Surface Scan", kScanButtonX, ID_BTN_SCAN);
    s_hwndHint = CreateHint(hwnd);
    RefreshDrives(hwnd);
}

void UI::OnSize(HWND hwnd)
{
    RECT client{};
    GetClientRect(hwnd, &client);
    const int width = client.right - client.left;
    const int height = client.bottom - client.top;
    const int hint = HintHeight(width - 2 * kMargin);
    if (s_hwndList != nullptr) {
        Controls::Move(s_hwndList, kMargin, kMargin, width - 2 * kMargin, height - Controls::kButtonBand - hint);
    }
    if (hint > 0) {
        Controls::Move(s_hwndHint, kMargin, height - Controls::kButtonBand + kMargin - hint + kHintGap,
                       width - 2 * kMargin, hint - kHintGap);
    }
    if (s_hwndBtnRefresh != nullptr && s_hwndBtnTest != nullptr && s_hwndBtnDetails != nullptr &&
        s_hwndBtnScan != nullptr) {
        Controls::MoveButton(s_hwndBtnRefresh, kMargin, height);
        Controls::MoveButton(s_hwndBtnTest, kTestButtonX, height);
        Controls::MoveButton(s_hwndBtnDetails, kDetailsButtonX, height);
        Controls::MoveButton(s_hwndBtnScan, kScanButtonX, height);
    }
}

// Closing the program while a scan runs asks first, as closing the scan's window does.
void UI::OnClose(HWND hwnd)
{
    if (!ScanWindow::IsScanning() || ScanWindow::ConfirmStop(hwnd)) {
        DestroyWindow(hwnd);
    }
}

void UI::OnCommand(HWND hwnd, int controlId)
{
    if (controlId == ID_BTN_REFRESH && g_scannedDrive < 0) {
        RefreshDrives(hwnd);
    } else if (controlId == ID_BTN_TEST) {
        RunTest(hwnd);
    } else if (controlId == ID_BTN_DETAILS) {
        ShowDetails(hwnd);
    } else if (controlId == ID_BTN_SCAN) {
        ShowScan(hwnd);
    }
}

LRESULT UI::OnNotify(HWND hwnd, NMHDR* header)
{
    if (header == nullptr || header->idFrom != ID_LISTVIEW) {
        return 0;
    }
    switch (header->code) {
    case LVN_GETDISPINFOW:
        OnGetDispInfo(*reinterpret_cast<NMLVDISPINFOW*>(header));
        return 0;
    case NM_CUSTOMDRAW:
        return DarkList::OnCustomDraw(*reinterpret_cast<NMLVCUSTOMDRAW*>(header), CellColour);
    case LVN_ODFINDITEMW:
        return OnFindItem(*reinterpret_cast<const NMLVFINDITEMW*>(header));
    case LVN_KEYDOWN:
        OnListKeyDown(hwnd, *reinterpret_cast<const NMLVKEYDOWN*>(header));
        return 0;
    case NM_DBLCLK:
        OnDoubleClick(hwnd, *reinterpret_cast<const NMITEMACTIVATE*>(header));
        return 0;
    case LVN_ITEMCHANGED:
        // Only a scan changes what Drive Details may do: the selection alone leaves it be.
        if (g_scannedDrive >= 0) {
            EnableDetails();
        }
        return 0;
    default:
        return 0;
    }
}

void UI::RefreshDrives(HWND hwnd)
{
    s_drives = DiskManager::EnumerateDrives();
    if (std::wstring hint = ControllerText::NoDriver(PciStorage::WithoutDriver()); hint != g_hint) {
        g_hint = std::move(hint);
        SetWindowTextW(s_hwndHint, g_hint.c_str());
        ShowWindow(s_hwndHint, g_hint.empty() ? SW_HIDE : SW_SHOWNA);
        OnSize(hwnd);
    }
    SendMessageW(s_hwndList, LVM_SETITEMCOUNT, s_drives.size(), 0);
    FitColumns(s_hwndList);
    InvalidateRect(s_hwndList, nullptr, TRUE);
}

void UI::DrawCustomButton(const DRAWITEMSTRUCT& item)
{
    Controls::DrawButton(item, Controls::FocusMark::Hidden);
}

void UI::RunTest(HWND hwnd)
{
    const std::optional<std::size_t> row = SelectedRow(hwnd);
    if (!row) {
        return;
    }

    EnableWindow(s_hwndBtnTest, FALSE);
    EnableWindow(s_hwndBtnRefresh, FALSE);
    EnableWindow(s_hwndBtnDetails, FALSE);
    EnableWindow(s_hwndBtnScan, FALSE);
    std::uint32_t error = 0;
    const double speed = DiskTest::RunSequentialReadTest(s_drives[*row].index, &error);
    EnableWindow(s_hwndBtnTest, TRUE);
    EnableWindow(s_hwndBtnRefresh, TRUE);
    EnableWindow(s_hwndBtnDetails, TRUE);
    EnableWindow(s_hwndBtnScan, TRUE);

    if (speed < 0) {
        MessageBoxW(hwnd, ResultText::ForFailure(error, SurfaceScan::MeansDriveGone(error)).c_str(), L"Error",
                    MB_OK | MB_ICONERROR);
    }
    const ResultText::Message message = ResultText::ForResult(ResultText::ForSpeed(speed));
    MessageBoxW(hwnd, message.data(), L"Test Result", MB_OK | MB_ICONINFORMATION);
}

void UI::ShowDetails(HWND hwnd)
{
    const std::optional<std::size_t> row = SelectedRow(hwnd);
    if (!row || IsScanned(*row)) {
        return;
    }
    DriveDetails details;
    if (!DiskManager::GetDriveDetails(s_drives[*row].index, details, false)) {
        MessageBoxW(hwnd, ResultText::kDriveNotOpened, L"Error", MB_OK | MB_ICONERROR);
        return;
    }
    // The focus the main window finds again when the details window closes.
    SetFocus(s_hwndList);
    if (!DetailsWindow::Show(hwnd, std::move(details))) {
        MessageBoxW(hwnd, L"The details window could not be opened.", L"Error", MB_OK | MB_ICONERROR);
    }
}

void UI::ShowScan(HWND hwnd)
{
    if (const HWND open = ScanWindow::Window(); open != nullptr) {
        // Brought forward as it is: a maximised window stays maximised.
        if (IsIconic(open) != FALSE) {
            ShowWindow(open, SW_RESTORE);
        }
        SetForegroundWindow(open);
        return;
    }
    const std::optional<std::size_t> row = SelectedRow(hwnd);
    if (!row) {
        return;
    }
    const DriveInfo& drive = s_drives[*row];
    const SurfaceScan::GeometryAnswer answer = SurfaceScan::ReadGeometry(drive.index);
    if (answer.outcome == SurfaceScan::GeometryAnswer::Outcome::NoCapacity) {
        MessageBoxW(hwnd, ResultText::NoCapacity(drive.index, answer.error).c_str(), L"Error", MB_OK | MB_ICONERROR);
        return;
    }
    if (answer.outcome == SurfaceScan::GeometryAnswer::Outcome::NotOpened) {
        MessageBoxW(hwnd, ResultText::kDriveNotOpened, L"Error", MB_OK | MB_ICONERROR);
        return;
    }
    if (!ScanWindow::Open(hwnd, drive, answer.geometry)) {
        MessageBoxW(hwnd, L"The surface scan window could not be opened.", L"Error", MB_OK | MB_ICONERROR);
    }
}

void UI::OnScanRunning(bool running, std::int32_t drive)
{
    g_scannedDrive = running ? drive : -1;
    EnableWindow(s_hwndBtnTest, running ? FALSE : TRUE);
    EnableWindow(s_hwndBtnRefresh, running ? FALSE : TRUE);
    EnableDetails();
}

// The hint in the colour of a caution: the drives it speaks of are missing from the list.
LRESULT UI::OnCtlColor(HDC dc, HWND control)
{
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, control != nullptr && control == s_hwndHint ? Theme::kCaution : Theme::kLightText);
    return reinterpret_cast<LRESULT>(s_hbrBg.Get());
}

void UI::OnGetDispInfo(NMLVDISPINFOW& info)
{
    const LVITEMW& item = info.item;
    if (item.iItem < 0 || static_cast<std::size_t>(item.iItem) >= s_drives.size() || (item.mask & LVIF_TEXT) == 0) {
        return;
    }
    CellText::Write(s_drives[static_cast<std::size_t>(item.iItem)], item.iSubItem, item.pszText, item.cchTextMax);
}

// Typing in the list looks for the next drive whose model starts with what was typed.
LRESULT UI::OnFindItem(const NMLVFINDITEMW& find)
{
    return DarkList::FindRow(find, s_drives.size(),
                             [](std::size_t row) { return UI::s_drives[row].model; });
}

void UI::OnListKeyDown(HWND hwnd, const NMLVKEYDOWN& key)
{
    if (key.wVKey == VK_RETURN) {
        ShowDetails(hwnd);
    } else if (Clipboard::IsCopyKey(key.wVKey)) {
        Clipboard::Copy(hwnd, DetailsText::ListCopyText(s_drives));
    }
}

void UI::OnDoubleClick(HWND hwnd, const NMITEMACTIVATE& click)
{
    if (click.iItem >= 0) {
        ShowDetails(hwnd);
    }
}

std::optional<std::size_t> UI::SelectedRow(HWND hwnd)
{
    const LRESULT row = SendMessageW(s_hwndList, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED);
    if (row == -1) {
        MessageBoxW(hwnd, L"Please select a drive first.", L"Information", MB_OK | MB_ICONINFORMATION);
        return std::nullopt;
    }
    if (row < 0 || static_cast<std::size_t>(row) >= s_drives.size()) {
        return std::nullopt;
    }
    return static_cast<std::size_t>(row);
}
