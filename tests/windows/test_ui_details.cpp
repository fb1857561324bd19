// The details window, opened from the list in each of its three ways: modal to the main
// window, its table in a list that shows a whole ATA table at once, copied with its button
// and with Ctrl+C, closed with Escape or Enter on Close; and the list itself copied with Ctrl+C.
#include "DriveAnswers.h"
#include "report/CellText.h"
#include "report/DetailsText.h"
#include "test_ui_harness.h"
#include "ui/DetailsWindow.h"

#include <winioctl.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

namespace {

constexpr wchar_t kDetailsClass[] = L"OstrevaneDetailsClass";

std::wstring ItemText(HWND list, int row, int column)
{
    std::array<wchar_t, 256> text{};
    LVITEMW item{};
    item.iSubItem = column;
    item.pszText = text.data();
    item.cchTextMax = static_cast<int>(text.size());
    SendMessageW(list, LVM_GETITEMTEXTW, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
    return text.data();
}

// Every line of a text whose lines end with CR LF, the last one's ending optional.
std::vector<std::wstring> Lines(const std::wstring& text)
{
    std::vector<std::wstring> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = std::min(text.find(L"\r\n", start), text.size());
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

// What the test saw of the details window while it was open.
struct Seen {
    int opened = 0;
    HWND owner = nullptr;
    bool ownerEnabled = true;
    bool tableShown = false;
    int columns = 0;
    int rows = 0;
    std::vector<std::wstring> firstRow;
    int rowsPerPage = 0;
    bool scrollsSideways = true;
    DWORD style = 0;
    int listTop = 0;
    RECT resizedList{};
    RECT resizedLogs{};
    RECT resizedClose{};
    int logRows = 0;
    std::wstring logTitle;
    int resizedRowsPerPage = 0;
    std::wstring copiedByButton;
    std::wstring copiedByKey;
};
Seen g_seen;
int g_step = 0;
bool g_closeWithEnter = false;

void LookAt(HWND window, HWND list)
{
    ++g_seen.opened;
    g_seen.owner = GetWindow(window, GW_OWNER);
    g_seen.ownerEnabled = IsWindowEnabled(g_seen.owner) != FALSE;
    g_seen.tableShown = IsWindowVisible(list) != FALSE;
    g_seen.columns = static_cast<int>(
        SendMessageW(reinterpret_cast<HWND>(SendMessageW(list, LVM_GETHEADER, 0, 0)), HDM_GETITEMCOUNT, 0, 0));
    g_seen.rows = static_cast<int>(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
    for (int column = 0; column < g_seen.columns && g_seen.rows > 0; ++column) {
        g_seen.firstRow.push_back(ItemText(list, 0, column));
    }
    g_seen.rowsPerPage = static_cast<int>(SendMessageW(list, LVM_GETCOUNTPERPAGE, 0, 0));
    g_seen.scrollsSideways = (GetWindowLongPtrW(list, GWL_STYLE) & WS_HSCROLL) != 0;
    g_seen.style = static_cast<DWORD>(GetWindowLongPtrW(window, GWL_STYLE));
    g_seen.listTop = ChildRect(list).top;

    RECT outer{0, 0, 600, 500};
    AdjustWindowRectEx(&outer, static_cast<DWORD>(GetWindowLongPtrW(window, GWL_STYLE)), FALSE, 0);
    SetWindowPos(window, nullptr, 0, 0, outer.right - outer.left, outer.bottom - outer.top, SWP_NOMOVE | SWP_NOZORDER);
    g_seen.resizedList = ChildRect(list);
    const HWND logs = GetDlgItem(window, ID_LOGS_LIST);
    g_seen.resizedLogs = ChildRect(logs);
    g_seen.logRows = static_cast<int>(SendMessageW(logs, LVM_GETITEMCOUNT, 0, 0));
    g_seen.logTitle = ItemText(logs, 0, 0);
    g_seen.resizedClose = ChildRect(GetDlgItem(window, IDCANCEL));
    g_seen.resizedRowsPerPage = static_cast<int>(SendMessageW(list, LVM_GETCOUNTPERPAGE, 0, 0));
}

// Runs inside the program's message loop, a step a tick: looks at the window and copies with
// its button, then with Ctrl+C, then closes it with Escape, or with Enter in the table (which
// leaves it open) and then, after Shift+Tab has gone back to Close, with Enter there; a window
// still there after that is closed all the same, so that the test goes on.
void CALLBACK StepThroughDetails(HWND, UINT, UINT_PTR, DWORD)
{
    const HWND window = FindWindowW(kDetailsClass, L"Drive Details");
    if (window == nullptr) {
        return;
    }
    const HWND list = GetDlgItem(window, ID_DETAILS_LIST);
    switch (g_step++) {
    case 0:
        LookAt(window, list);
        ClearClipboard();
        SendMessageW(window, WM_COMMAND, MAKEWPARAM(ID_BTN_COPY, BN_CLICKED), 0);
        g_seen.copiedByButton = ClipboardText();
        ClearClipboard();
        HoldKey(VK_CONTROL, true);
        PostMessageW(list, WM_KEYDOWN, 'C', 1);
        break;
    case 1:
        HoldKey(VK_CONTROL, false);
        g_seen.copiedByKey = ClipboardText();
        PostMessageW(list, WM_KEYDOWN, g_closeWithEnter ? VK_RETURN : VK_ESCAPE, 1);
        break;
    case 2:
        if (g_closeWithEnter) {
            SetFocus(list);
            HoldKey(VK_SHIFT, true);
            PostMessageW(list, WM_KEYDOWN, VK_TAB, 1);
            break;
        }
        [[fallthrough]];
    case 3:
        if (g_closeWithEnter) {
            HoldKey(VK_SHIFT, false);
            PostMessageW(GetFocus(), WM_KEYDOWN, VK_RETURN, 1);
            break;
        }
        [[fallthrough]];
    default:
        PostMessageW(window, WM_CLOSE, 0, 0);
        break;
    }
}

// Every one of the 30 attribute slots used, each with its threshold (above 100, every one
// failing now).
void UseEverySlot(DriveAnswers::Drive& drive, std::uint8_t threshold = 10)
{
    DriveAnswers::SmartPage data;
    DriveAnswers::SmartPage thresholds;
    for (std::size_t slot = 0; slot < DriveAnswers::SmartPage::kSlots; ++slot) {
        const auto id = static_cast<std::uint8_t>(slot + 1);
        data.Attribute(slot, id, 1000 * slot);
        thresholds.Threshold(slot, id, threshold);
    }
    drive.smartPage = data.Build();
    drive.smartThresholds = thresholds.Build();
}

// The drive keeps a self-test log and an error log, with more lines than the logs' list shows.
void KeepLogs(DriveAnswers::Drive& drive)
{
    auto& page = *drive.smartPage;
    page[367] |= 0x10;
    page[370] |= 0x01;
    page[511] = static_cast<std::uint8_t>(page[511] - 0x11);
    drive.smartLogs = {
        {0x06, DriveAnswers::AtaSelfTestLog({{1, 0, 1}, {1, 0, 2}, {1, 0, 3}, {1, 0, 4}, {1, 0, 5}, {2, 0x70, 6, 9}})},
        {0x01, DriveAnswers::AtaErrorLog(2, {{0xC8, 0x40, 9, 5}, {0xC8, 0x40, 9, 6}})}};
}

TEST_F(UiTest, DetailsWindowOpensFromTheListCopiesAndCloses)
{
    DriveAnswers::Drive full = DriveAnswers::TypicalDrive("FULL TABLE", "SN-FULL", "FW1", 1 << 30, 40, 100, 5);
    UseEverySlot(full);
    full.ApplyTo(FakeKernel::Drive(0));
    FakeKernel::Drive(3); // answers nothing: no SMART data, a note in place of the table
    DriveAnswers::Drive failing = DriveAnswers::TypicalDrive("FAILING", "SN-BAD", "FW1", 1 << 30, 40, 100, 5);
    UseEverySlot(failing, 200); // 30 reasons
    KeepLogs(failing);
    failing.ApplyTo(FakeKernel::Drive(4));
    ASSERT_NO_FATAL_FAILURE(Open(SW_SHOWNORMAL));
    ASSERT_EQ(Rows(), 3);
    MessageBoxCapture boxes;
    const HWND list = UI::s_hwndList;

    enum class Gesture { Button, DoubleClick, Enter };
    struct Case {
        const char* name;
        int row;
        Gesture gesture;
        bool closeWithEnter = false;
    };
    for (const Case& c : {Case{"button", 0, Gesture::Button}, Case{"double click, no SMART data", 1, Gesture::DoubleClick},
                          Case{"Enter", 0, Gesture::Enter}, Case{"many reasons, closed with Enter", 2, Gesture::Button, true}}) {
        SCOPED_TRACE(c.name);
        // Other tests' windows share the Wine session and may have taken the foreground while the
        // last case's window closed: each case starts from the list with the keyboard focus.
        SetForegroundWindow(m_main);
        SetFocus(list);
        SelectRow(c.row);
        DriveDetails details;
        ASSERT_TRUE(DiskManager::GetDriveDetails(UI::s_drives[static_cast<std::size_t>(c.row)].index, details));
        const DetailsText::Table table = DetailsText::BuildTable(details);
        const DetailsText::Table logs = DetailsText::LogTable(DetailsText::LogSections(details));
        const std::wstring copyText = DetailsText::CopyText(details);
        const std::size_t reasons = Assessment::Of(details).reasons.size();
        g_seen = {};
        g_step = 0;
        g_closeWithEnter = c.closeWithEnter;
        const UINT_PTR timer = SetTimer(nullptr, 0, 20, StepThroughDetails);
        if (c.gesture == Gesture::Button) {
            Command(MAKEWPARAM(ID_BTN_DETAILS, BN_CLICKED));
        } else if (c.gesture == Gesture::DoubleClick) {
            RECT row{};
            row.left = LVIR_BOUNDS;
            SendMessageW(list, LVM_GETITEMRECT, static_cast<WPARAM>(c.row), reinterpret_cast<LPARAM>(&row));
            SendMessageW(list, WM_LBUTTONDBLCLK, MK_LBUTTON, MAKELPARAM(row.left + 20, (row.top + row.bottom) / 2));
        } else {
            SendMessageW(list, WM_KEYDOWN, VK_RETURN, 1);
        }
        EXPECT_TRUE(PumpUntil([] { return g_step > 0 && FindWindowW(kDetailsClass, nullptr) == nullptr; }));
        KillTimer(nullptr, timer);

        EXPECT_EQ(g_seen.opened, 1);
        EXPECT_EQ(g_step, c.closeWithEnter ? 4 : 2) << "Escape, or Enter on Close and only there, did not close it";
        EXPECT_EQ(g_seen.style & (WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_THICKFRAME), DWORD{WS_MAXIMIZEBOX | WS_THICKFRAME});
        if (g_seen.tableShown) { // heading, assessment, at most 6 + 1 reason lines; 18 pixels each, margins of 10
            EXPECT_EQ(g_seen.listTop, 20 + 18 * (8 + static_cast<int>(std::min<std::size_t>(reasons, 7))));
            EXPECT_GE(g_seen.resizedRowsPerPage, 8);
        }
        EXPECT_EQ(g_seen.owner, m_main);
        EXPECT_FALSE(g_seen.ownerEnabled);
        EXPECT_EQ(g_seen.tableShown, !table.columns.empty());
        EXPECT_EQ(g_seen.columns, static_cast<int>(table.columns.size()));
        EXPECT_EQ(g_seen.rows, static_cast<int>(table.rows.size()));
        EXPECT_EQ(g_seen.firstRow, table.rows.empty() ? std::vector<std::wstring>{} : table.rows[0]);
        if (table.rows.size() == DriveAnswers::SmartPage::kSlots) {
            EXPECT_GE(g_seen.rowsPerPage, static_cast<int>(table.rows.size()));
            EXPECT_FALSE(g_seen.scrollsSideways);
        }
        EXPECT_EQ(g_seen.resizedList.right, 590);
        // Below the table the logs' list, then the partitions' line and its margin.
        EXPECT_EQ(g_seen.logRows, static_cast<int>(logs.rows.size()));
        EXPECT_EQ(g_seen.logTitle, L"Self-tests");
        EXPECT_EQ(g_seen.resizedLogs.right, 590);
        if (reasons <= 6) {
            EXPECT_EQ(g_seen.resizedLogs.top, g_seen.resizedList.bottom + 10);
            EXPECT_EQ(g_seen.resizedLogs.bottom, 420 - 28);
        }
        EXPECT_GT(g_seen.resizedLogs.bottom - g_seen.resizedLogs.top, 3 * 14);
        EXPECT_EQ(g_seen.resizedClose.top, g_seen.resizedLogs.bottom + 28 + 20);
        EXPECT_EQ(g_seen.copiedByButton, copyText);
        EXPECT_EQ(g_seen.copiedByKey, copyText);
        EXPECT_NE(copyText.find(details.info.model), std::wstring::npos);

        EXPECT_EQ(FindWindowW(kDetailsClass, nullptr), nullptr);
        EXPECT_EQ(GetObjectType(UI::s_hbrBg.Get()), DWORD{OBJ_BRUSH}) << "the main window's brush went with the window";
        EXPECT_TRUE(IsWindowEnabled(m_main));
        EXPECT_EQ(GetFocus(), list);
    }
    EXPECT_TRUE(boxes.Boxes().empty());

    // Ctrl+C in the list: its column titles, then every row's cells, never cut short, a tab
    // between cells; C alone copies nothing.
    std::vector<std::wstring> expected{L""};
    for (int column = 0; column < CellText::kColumnCount; ++column) {
        expected[0] += (column == 0 ? L"" : L"\t") + std::wstring(CellText::kTitles[static_cast<std::size_t>(column)]);
    }
    for (int row = 0; row < Rows(); ++row) {
        expected.emplace_back();
        for (int column = 0; column < CellText::kColumnCount; ++column) {
            expected.back() += (column == 0 ? L"" : L"\t") + CellOf(m_main, row, column, 1024);
        }
    }
    ASSERT_NO_FATAL_FAILURE(ClearClipboard());
    SendMessageW(list, WM_KEYDOWN, 'C', 1);
    EXPECT_EQ(ClipboardText(), L"(no text)");
    HoldKey(VK_CONTROL, true);
    SendMessageW(list, WM_KEYDOWN, 'C', 1);
    HoldKey(VK_CONTROL, false);
    EXPECT_EQ(Lines(ClipboardText()), expected);

    // No row, or a drive that no longer opens: a box each, and no window.
    SelectRow(-1, false);
    Command(MAKEWPARAM(ID_BTN_DETAILS, BN_CLICKED));
    FakeKernel::RemoveDrive(0);
    SelectRow(0);
    Command(MAKEWPARAM(ID_BTN_DETAILS, BN_CLICKED));
    ASSERT_EQ(boxes.Boxes().size(), 2u);
    EXPECT_EQ(boxes.Boxes()[0].caption, L"Information");
    EXPECT_EQ(boxes.Boxes()[0].text, L"Please select a drive first.");
    EXPECT_EQ(boxes.Boxes()[1].caption, L"Error");
    EXPECT_EQ(boxes.Boxes()[1].text.rfind(L"The drive could not be opened.", 0), 0u);
    EXPECT_EQ(boxes.Boxes()[1].owner, m_main);
    EXPECT_EQ(FakeKernel::OpenHandles(), 0);
}

// A partition's first sectors are read off the window's thread: its file system shows as none
// until the read comes back, then as the sectors name it, in the list and the copy.
TEST_F(UiTest, DetailsWindowFillsInFileSystemsWhenTheirReadsComeBack)
{
    DriveAnswers::TypicalDrive("PARTED", "SN-P", "FW1", 1 << 30, 40, 100, 5).ApplyTo(FakeKernel::Drive(0));
    const char* const basicData = "{EBD0A0A2-B9E5-4433-87C0-68B6B72699C7}";
    FakeKernel::Drive(0).Answer(IOCTL_DISK_GET_DRIVE_LAYOUT_EX, DriveAnswers::Layout(1).Gpt(1, 1 << 20, 1 << 26, basicData, "").Build());
    FakeKernel::Drive(0).contents[1 << 20] = DriveAnswers::FileSystemStart("NTFS");
    ASSERT_NO_FATAL_FAILURE(Open(SW_SHOWNORMAL));
    SelectRow(0);
    Command(MAKEWPARAM(ID_BTN_DETAILS, BN_CLICKED));
    const HWND details = FindWindowW(kDetailsClass, nullptr);
    ASSERT_NE(details, nullptr);
    const HWND partitions = GetDlgItem(details, ID_PARTITIONS_LIST);
    const auto last = static_cast<int>(
        SendMessageW(reinterpret_cast<HWND>(SendMessageW(partitions, LVM_GETHEADER, 0, 0)), HDM_GETITEMCOUNT, 0, 0) - 1);
    EXPECT_EQ(ItemText(partitions, 0, last), L"-");
    EXPECT_EQ(FakeKernel::CallsOf(KernelCall::Kind::Thread).size(), 1u);
    EXPECT_TRUE(PumpUntil([&] { return ItemText(partitions, 0, last) == L"NTFS"; }));
    ASSERT_NO_FATAL_FAILURE(ClearClipboard());
    SendMessageW(details, WM_COMMAND, MAKEWPARAM(ID_BTN_COPY, BN_CLICKED), 0);
    EXPECT_NE(ClipboardText().find(L"\tNTFS"), std::wstring::npos);
    EXPECT_EQ(FakeKernel::OpenHandles(), 0);
}

} // namespace
