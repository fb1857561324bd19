// The main window as created and laid out: class, window, controls, list set-up, the dark
// theme's answers, the owner-drawn buttons and the message loop's end.
#include "DriveAnswers.h"
#include "test_ui_harness.h"
#include "ui/Controls.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace {

constexpr COLORREF kBackground = 0x1E1E1E;
constexpr COLORREF kLightText = 0xDCDCDC;
constexpr COLORREF kListBackground = 0x282828;

struct ExpectedWindow {
    DWORD exStyle;
    const wchar_t* className;
    const wchar_t* text;
    DWORD style;
    int x, y, width, height;
    bool childOfMain;
    INT_PTR id;
};

struct ExpectedColumn {
    const wchar_t* title;
    int width;
};

TEST_F(UiTest, CreatesClassWindowAndControls)
{
    ASSERT_NO_FATAL_FAILURE(Open(SW_SHOWNORMAL));
    const HINSTANCE instance = GetModuleHandleW(nullptr);

    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    ASSERT_TRUE(GetClassInfoExW(instance, L"OstrevaneClass", &windowClass));
    EXPECT_EQ(windowClass.style, static_cast<UINT>(CS_HREDRAW | CS_VREDRAW));
    EXPECT_EQ(windowClass.lpfnWndProc, &UI::WindowProc);
    EXPECT_EQ(windowClass.cbClsExtra, 0);
    EXPECT_EQ(windowClass.cbWndExtra, 0);
    const HICON icon = LoadIconW(instance, MAKEINTRESOURCEW(101));
    ASSERT_NE(icon, nullptr) << "icon resource 101";
    EXPECT_EQ(windowClass.hIcon, icon);
    EXPECT_EQ(windowClass.hIconSm, icon);
    // The 48-pixel image is stored PNG-compressed, as Windows reads icons since Vista: it decodes
    // as itself, transparent at (10, 10) and grey 60 at (5, 30), not scaled from another.
    const HICON large = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(101), IMAGE_ICON, 48, 48, 0));
    ASSERT_NE(large, nullptr);
    ICONINFO parts{};
    ASSERT_TRUE(GetIconInfo(large, &parts));
    BITMAPINFO format{};
    format.bmiHeader = {sizeof(BITMAPINFOHEADER), 48, -48, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    std::vector<std::uint32_t> pixels(48 * 48);
    const HDC screen = GetDC(nullptr);
    EXPECT_EQ(GetDIBits(screen, parts.hbmColor, 0, 48, pixels.data(), &format, DIB_RGB_COLORS), 48);
    ReleaseDC(nullptr, screen);
    EXPECT_EQ(pixels[10 * 48 + 10] >> 24, 0u);
    EXPECT_EQ(pixels[30 * 48 + 5], 0xFF3C3C3Cu);
    DeleteObject(parts.hbmColor);
    DeleteObject(parts.hbmMask);
    DestroyIcon(large);
    EXPECT_EQ(windowClass.hCursor, LoadCursorW(nullptr, IDC_ARROW));
    EXPECT_EQ(windowClass.hbrBackground, UI::s_hbrBg.Get());
    EXPECT_EQ(windowClass.lpszMenuName, nullptr);
    LOGBRUSH brush{};
    ASSERT_EQ(GetObjectW(UI::s_hbrBg.Get(), sizeof(brush), &brush), static_cast<int>(sizeof(brush)));
    EXPECT_EQ(brush.lbStyle, static_cast<UINT>(BS_SOLID));
    EXPECT_EQ(brush.lbColor, kBackground);

    const std::vector<ExpectedWindow> expected{
        {0, L"OstrevaneClass", L"Ostrevane (x64/ARM64)", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, 800, 600,
         false, 0},
        {WS_EX_CLIENTEDGE, L"SysListView32", L"", 0x5000100D, 10, 10, 760, 450, true, 1003},
        {0, L"BUTTON", L"Refresh Drives", 0x5000000B, 10, 480, 150, 40, true, 1001},
        {0, L"BUTTON", L"Run Read Test", 0x5000000B, 170, 480, 150, 40, true, 1002},
        {0, L"BUTTON", L"Drive Details", 0x5000000B, 330, 480, 150, 40, true, 1004},
        {0, L"BUTTON", L"Surface Scan", 0x5000000B, 490, 480, 150, 40, true, 1005},
        {0, L"STATIC", L"", 0x40000080, 10, 470, 760, 0, true, 1006},
    };
    ASSERT_EQ(Recorders::created.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(expected[i].className);
        const CreatedWindow& actual = Recorders::created[i];
        EXPECT_EQ(actual.exStyle, expected[i].exStyle);
        EXPECT_EQ(actual.className, expected[i].className);
        EXPECT_EQ(actual.text, expected[i].text);
        EXPECT_EQ(actual.style, expected[i].style);
        EXPECT_EQ(actual.x, expected[i].x);
        EXPECT_EQ(actual.y, expected[i].y);
        EXPECT_EQ(actual.width, expected[i].width);
        EXPECT_EQ(actual.height, expected[i].height);
        EXPECT_EQ(actual.parent, expected[i].childOfMain ? m_main : nullptr);
        EXPECT_EQ(actual.id, expected[i].id);
        ASSERT_NE(actual.result, nullptr);
        if (expected[i].childOfMain) {
            EXPECT_EQ(GetDlgCtrlID(actual.result), expected[i].id);
        }
    }
    EXPECT_EQ(Recorders::created[0].result, m_main);
    EXPECT_EQ(Recorders::created[1].result, UI::s_hwndList);
    EXPECT_EQ(Recorders::created[2].result, UI::s_hwndBtnRefresh);
    EXPECT_EQ(Recorders::created[3].result, UI::s_hwndBtnTest);
    EXPECT_EQ(Recorders::created[4].result, UI::s_hwndBtnDetails);
    EXPECT_EQ(Recorders::created[5].result, UI::s_hwndBtnScan);
    EXPECT_EQ(Recorders::created[6].result, UI::s_hwndHint);

    RECT outer{};
    GetWindowRect(m_main, &outer);
    EXPECT_GE(outer.right - outer.left, 800); // widened to its columns: see below
    EXPECT_EQ(outer.bottom - outer.top, 600);
    EXPECT_TRUE(IsWindowVisible(m_main));
}

TEST_F(UiTest, TitleSaysStandardRequestsOnly)
{
    DiskManager::SetStandardRequestsOnly(true);
    ASSERT_NO_FATAL_FAILURE(Open());
    EXPECT_EQ(Recorders::created.at(0).text, L"Ostrevane (x64/ARM64, standard requests only)");
}

// After its first fill the window shows every column, the Volumes column last, as far as the
// work area allows, and stays inside it: wider for long texts, cut at the work area's width and
// moved left there, and 800 pixels where the work area is narrower than that.
TEST_F(UiTest, WidensToShowEveryColumn)
{
    RECT screen{};
    ASSERT_TRUE(SystemParametersInfoW(SPI_GETWORKAREA, 0, &screen, 0));
    struct Case {
        std::size_t modelLength;
        RECT work;
    };
    const Case cases[] = {
        {40, screen},
        {1000, screen},
        {40, {screen.left, screen.top, screen.left + 640, screen.bottom}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.modelLength << " characters, work area " << c.work.right - c.work.left);
        FakeKernel::Reset();
        DriveAnswers::TypicalDrive(std::string(c.modelLength, 'M'), "S", "F", 1, 1, 1, 1).ApplyTo(FakeKernel::Drive(0));
        RECT work = c.work;
        ASSERT_TRUE(SystemParametersInfoW(SPI_SETWORKAREA, 0, &work, 0));
        ASSERT_NO_FATAL_FAILURE(Open());
        SystemParametersInfoW(SPI_SETWORKAREA, 0, &screen, 0);

        int columns = 0;
        for (int i = 0; i < 11; ++i) {
            columns += static_cast<int>(SendMessageW(UI::s_hwndList, LVM_GETCOLUMNWIDTH, static_cast<WPARAM>(i), 0));
        }
        RECT outer{};
        RECT listClient{};
        GetWindowRect(m_main, &outer);
        GetClientRect(UI::s_hwndList, &listClient);
        const int workWidth = c.work.right - c.work.left;
        if (workWidth < 800) {
            EXPECT_EQ(outer.right - outer.left, 800);
        } else {
            EXPECT_LE(outer.right - outer.left, workWidth);
            EXPECT_GE(outer.left, c.work.left);
            EXPECT_LE(outer.right, c.work.right);
            // Every column shown, or the window as wide as the work area.
            EXPECT_TRUE(listClient.right >= columns || outer.right - outer.left == workWidth)
                << listClient.right << " < " << columns;
            EXPECT_EQ(listClient.right >= columns, c.modelLength == 40);
        }
        EXPECT_EQ(outer.bottom - outer.top, 600);
        DestroyWindow(m_main);
        EXPECT_EQ(UI::MessageLoop(), 0);
        UnregisterClassW(L"OstrevaneClass", GetModuleHandleW(nullptr));
        m_main = nullptr;
    }
}

TEST_F(UiTest, SetsUpTheListThenFillsIt)
{
    FakeKernel::Drive(0);
    ASSERT_NO_FATAL_FAILURE(Open());
    const std::array<ExpectedColumn, 11> columns{{{L"Drive", 40},
                                                  {L"Model", 150},
                                                  {L"Serial Number", 100},
                                                  {L"Firmware", 70},
                                                  {L"Size (GB)", 70},
                                                  {L"Health", 70},
                                                  {L"Temp", 50},
                                                  {L"Power(h)", 70},
                                                  {L"Cycles", 60},
                                                  {L"Speed", 60},
                                                  {L"Volumes", 110}}};

    // The set-up messages in their order, the columns as handed over, then the row count.
    const std::vector<ListSetupMessage>& sent = Recorders::sent;
    ASSERT_GE(sent.size(), 4 + columns.size() + 1);
    const std::array<ListSetupMessage, 4> setup{{{LVM_SETEXTENDEDLISTVIEWSTYLE, 0, 0x10020, {}, {}},
                                                 {LVM_SETBKCOLOR, 0, 0x282828, {}, {}},
                                                 {LVM_SETTEXTBKCOLOR, 0, 0x282828, {}, {}},
                                                 {LVM_SETTEXTCOLOR, 0, 0xDCDCDC, {}, {}}}};
    for (std::size_t i = 0; i < setup.size(); ++i) {
        EXPECT_EQ(sent[i].message, setup[i].message) << i;
        EXPECT_EQ(sent[i].wParam, setup[i].wParam) << i;
        EXPECT_EQ(sent[i].lParam, setup[i].lParam) << i;
    }
    for (std::size_t i = 0; i < columns.size(); ++i) {
        const ListSetupMessage& insert = sent[setup.size() + i];
        SCOPED_TRACE(columns[i].title);
        EXPECT_EQ(insert.message, static_cast<UINT>(LVM_INSERTCOLUMNW));
        EXPECT_EQ(insert.wParam, i);
        EXPECT_EQ(insert.column.mask, static_cast<UINT>(LVCF_FMT | LVCF_WIDTH | LVCF_TEXT | LVCF_SUBITEM));
        EXPECT_EQ(insert.column.fmt, LVCFMT_LEFT);
        EXPECT_EQ(insert.column.cx, columns[i].width);
        EXPECT_EQ(insert.title, columns[i].title);
        EXPECT_EQ(insert.column.iSubItem, static_cast<int>(i));
    }
    const ListSetupMessage& count = sent[setup.size() + columns.size()];
    EXPECT_EQ(count.message, static_cast<UINT>(LVM_SETITEMCOUNT));
    EXPECT_EQ(count.wParam, 1u);
    EXPECT_EQ(count.lParam, 0);
    // Then every column fitted to its texts and title.
    std::vector<WPARAM> fitted;
    for (std::size_t i = setup.size() + columns.size() + 1; i < sent.size(); ++i) {
        if (sent[i].message == LVM_SETCOLUMNWIDTH &&
            static_cast<short>(LOWORD(sent[i].lParam)) == LVSCW_AUTOSIZE_USEHEADER) {
            fitted.push_back(sent[i].wParam);
        }
    }
    EXPECT_EQ(fitted, (std::vector<WPARAM>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));

    // And what the list view itself now holds.
    const HWND list = UI::s_hwndList;
    EXPECT_EQ(SendMessageW(list, LVM_GETEXTENDEDLISTVIEWSTYLE, 0, 0) & 0x10020, 0x10020);
    EXPECT_EQ(static_cast<COLORREF>(SendMessageW(list, LVM_GETBKCOLOR, 0, 0)), kListBackground);
    EXPECT_EQ(static_cast<COLORREF>(SendMessageW(list, LVM_GETTEXTBKCOLOR, 0, 0)), kListBackground);
    EXPECT_EQ(static_cast<COLORREF>(SendMessageW(list, LVM_GETTEXTCOLOR, 0, 0)), kLightText);
    for (std::size_t i = 0; i < columns.size(); ++i) {
        std::array<wchar_t, 64> title{};
        LVCOLUMNW column{};
        column.mask = LVCF_WIDTH | LVCF_TEXT;
        column.pszText = title.data();
        column.cchTextMax = static_cast<int>(title.size());
        ASSERT_TRUE(SendMessageW(list, LVM_GETCOLUMNW, i, reinterpret_cast<LPARAM>(&column)));
        EXPECT_STREQ(title.data(), columns[i].title);
        // Never narrower than at creation, and the title shown whole.
        EXPECT_GE(column.cx, columns[i].width);
        EXPECT_GE(column.cx, SendMessageW(list, LVM_GETSTRINGWIDTHW, 0, reinterpret_cast<LPARAM>(title.data())) + 12);
    }
    LVCOLUMNW twelfth{};
    twelfth.mask = LVCF_WIDTH;
    EXPECT_FALSE(SendMessageW(list, LVM_GETCOLUMNW, columns.size(), reinterpret_cast<LPARAM>(&twelfth)));
    EXPECT_EQ(Rows(), 1);
}

TEST_F(UiTest, LaysOutTheControlsFromTheClientArea)
{
    ASSERT_NO_FATAL_FAILURE(Open());
    struct Case {
        int width, height;
        RECT list, refresh, test, details, scan;
    };
    const std::array<Case, 3> cases{{
        {400, 300, {10, 10, 390, 230}, {10, 240, 160, 280}, {170, 240, 320, 280}, {330, 240, 480, 280},
         {490, 240, 640, 280}},
        {1000, 700, {10, 10, 990, 630}, {10, 640, 160, 680}, {170, 640, 320, 680}, {330, 640, 480, 680},
         {490, 640, 640, 680}},
        {300, 100, {10, 10, 290, 30}, {10, 40, 160, 80}, {170, 40, 320, 80}, {330, 40, 480, 80}, {490, 40, 640, 80}},
    }};
    const auto expectRect = [](HWND control, const RECT& expected) {
        const RECT actual = ChildRect(control);
        EXPECT_EQ(actual.left, expected.left);
        EXPECT_EQ(actual.top, expected.top);
        EXPECT_EQ(actual.right, expected.right);
        EXPECT_EQ(actual.bottom, expected.bottom);
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.width << " x " << c.height);
        RECT outer{0, 0, c.width, c.height};
        AdjustWindowRectEx(&outer, WS_OVERLAPPEDWINDOW, FALSE,
                           static_cast<DWORD>(GetWindowLongPtrW(m_main, GWL_EXSTYLE)));
        SetWindowPos(m_main, nullptr, 0, 0, outer.right - outer.left, outer.bottom - outer.top,
                     SWP_NOMOVE | SWP_NOZORDER);
        RECT client{};
        GetClientRect(m_main, &client);
        ASSERT_EQ(client.right, c.width);
        ASSERT_EQ(client.bottom, c.height);

        // The size carried by the message is not what counts: the client rectangle is.
        SendMessageW(m_main, WM_SIZE, SIZE_RESTORED, MAKELPARAM(50, 50));
        expectRect(UI::s_hwndList, c.list);
        expectRect(UI::s_hwndBtnRefresh, c.refresh);
        expectRect(UI::s_hwndBtnTest, c.test);
        expectRect(UI::s_hwndBtnDetails, c.details);
        expectRect(UI::s_hwndBtnScan, c.scan);
    }
}

TEST_F(UiTest, AnswersControlColoursWithTheDarkTheme)
{
    ASSERT_NO_FATAL_FAILURE(Open());
    const HDC dc = CreateCompatibleDC(nullptr);
    for (const UINT message : {UINT{WM_CTLCOLORBTN}, UINT{WM_CTLCOLORSTATIC}}) {
        SCOPED_TRACE(message);
        SetBkMode(dc, OPAQUE);
        SetTextColor(dc, 0x123456);
        const LRESULT brush = SendMessageW(m_main, message, reinterpret_cast<WPARAM>(dc),
                                           reinterpret_cast<LPARAM>(UI::s_hwndBtnTest));
        EXPECT_EQ(reinterpret_cast<HBRUSH>(brush), UI::s_hbrBg.Get());
        EXPECT_EQ(GetBkMode(dc), TRANSPARENT);
        EXPECT_EQ(GetTextColor(dc), kLightText);
    }
    DeleteDC(dc);
}

// One button drawn into a bitmap of its own through WM_DRAWITEM.
class ButtonCanvas {
public:
    static constexpr int kWidth = 150;
    static constexpr int kHeight = 40;
    static constexpr COLORREF kUntouched = 0xFF00FF;

    ButtonCanvas() : m_dc(CreateCompatibleDC(nullptr))
    {
        BITMAPINFO info{};
        info.bmiHeader.biSize = sizeof(info.bmiHeader);
        info.bmiHeader.biWidth = kWidth;
        info.bmiHeader.biHeight = -kHeight;
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        void* bits = nullptr;
        m_bitmap = CreateDIBSection(m_dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
        m_previous = SelectObject(m_dc, m_bitmap);
        const HBRUSH fill = CreateSolidBrush(kUntouched);
        const RECT all{0, 0, kWidth, kHeight};
        FillRect(m_dc, &all, fill);
        DeleteObject(fill);
    }
    ButtonCanvas(const ButtonCanvas&) = delete;
    ButtonCanvas& operator=(const ButtonCanvas&) = delete;
    ~ButtonCanvas()
    {
        SelectObject(m_dc, m_previous);
        DeleteObject(m_bitmap);
        DeleteDC(m_dc);
    }

    LRESULT Draw(HWND main, HWND button, UINT state) const
    {
        DRAWITEMSTRUCT item{};
        item.CtlType = ODT_BUTTON;
        item.CtlID = static_cast<UINT>(GetDlgCtrlID(button));
        item.itemAction = ODA_DRAWENTIRE;
        item.itemState = state;
        item.hwndItem = button;
        item.hDC = m_dc;
        item.rcItem = {0, 0, kWidth, kHeight};
        return SendMessageW(main, WM_DRAWITEM, item.CtlID, reinterpret_cast<LPARAM>(&item));
    }
    void DrawDirect(HWND button, UINT state, Controls::FocusMark mark) const
    {
        DRAWITEMSTRUCT item{};
        item.CtlType = ODT_BUTTON;
        item.itemState = state;
        item.hwndItem = button;
        item.hDC = m_dc;
        item.rcItem = {0, 0, kWidth, kHeight};
        Controls::DrawButton(item, mark);
    }
    HDC Dc() const { return m_dc; }
    COLORREF At(int x, int y) const { return GetPixel(m_dc, x, y); }
    std::vector<COLORREF> Pixels() const
    {
        std::vector<COLORREF> pixels;
        for (int y = 0; y < kHeight; ++y) {
            for (int x = 0; x < kWidth; ++x) {
                pixels.push_back(At(x, y));
            }
        }
        return pixels;
    }
    // The box around the label's pixels: neither face nor border colour.
    RECT Label(COLORREF face) const
    {
        RECT box{kWidth, kHeight, -1, -1};
        for (int y = 1; y < kHeight - 1; ++y) {
            for (int x = 1; x < kWidth - 1; ++x) {
                if (At(x, y) != face) {
                    box = {std::min<LONG>(box.left, x), std::min<LONG>(box.top, y), std::max<LONG>(box.right, x),
                           std::max<LONG>(box.bottom, y)};
                }
            }
        }
        return box;
    }

private:
    HDC m_dc;
    HBITMAP m_bitmap = nullptr;
    HGDIOBJ m_previous = nullptr;
};

TEST_F(UiTest, DrawsButtonsFlatWithABorderAndAPressedShift)
{
    ASSERT_NO_FATAL_FAILURE(Open());
    using Mark = Controls::FocusMark;
    struct Case {
        const char* name;
        UINT state;
        Mark mark; // Hidden: through the main window's handler; Shown: as a keyboard window draws it
        COLORREF face;
        COLORREF text;
        int shift;
    };
    constexpr COLORREF kGrey = 0x808080;
    const std::array<Case, 7> cases{{
        {"normal", 0, Mark::Hidden, 0x3C3C3C, kLightText, 0},
        {"pressed", ODS_SELECTED, Mark::Hidden, 0x505050, kLightText, 1},
        {"focused", ODS_FOCUS, Mark::Hidden, 0x3C3C3C, kLightText, 0},
        {"disabled", ODS_DISABLED, Mark::Hidden, 0x3C3C3C, kGrey, 0},
        {"pressed and focused", ODS_SELECTED | ODS_FOCUS, Mark::Hidden, 0x505050, kLightText, 1},
        {"focus shown", ODS_FOCUS, Mark::Shown, 0x3C3C3C, kLightText, 0},
        {"disabled, focus shown", ODS_DISABLED | ODS_FOCUS, Mark::Shown, 0x3C3C3C, kGrey, 0},
    }};
    ButtonCanvas normal;
    ASSERT_EQ(normal.Draw(m_main, UI::s_hwndBtnRefresh, 0), TRUE);
    const RECT normalLabel = normal.Label(0x3C3C3C);
    ASSERT_LT(normalLabel.left, normalLabel.right) << "no label drawn";

    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ButtonCanvas canvas;
        const HGDIOBJ pen = GetCurrentObject(canvas.Dc(), OBJ_PEN);
        const HGDIOBJ brush = GetCurrentObject(canvas.Dc(), OBJ_BRUSH);
        if (c.mark == Mark::Hidden) {
            EXPECT_EQ(canvas.Draw(m_main, UI::s_hwndBtnRefresh, c.state), TRUE);
        } else {
            canvas.DrawDirect(UI::s_hwndBtnRefresh, c.state, c.mark);
        }

        for (const POINT corner : {POINT{0, 0}, POINT{149, 0}, POINT{0, 39}, POINT{149, 39}, POINT{75, 0}}) {
            EXPECT_EQ(canvas.At(corner.x, corner.y), 0x646464u) << corner.x << "," << corner.y;
        }
        EXPECT_EQ(canvas.At(1, 1), c.face);
        EXPECT_EQ(canvas.At(148, 38), c.face);
        const bool marked = c.mark == Mark::Shown && (c.state & ODS_FOCUS) != 0;
        for (const POINT inset : {POINT{3, 20}, POINT{146, 20}, POINT{75, 3}, POINT{75, 36}}) {
            EXPECT_EQ(canvas.At(inset.x, inset.y), marked ? kLightText : c.face) << inset.x << "," << inset.y;
        }
        const RECT label = canvas.Label(c.face);
        if (!marked) {
            EXPECT_EQ(label.left, normalLabel.left + c.shift);
            EXPECT_EQ(label.top, normalLabel.top + c.shift);
        }
        EXPECT_EQ(GetTextColor(canvas.Dc()), c.text);
        EXPECT_EQ(GetBkMode(canvas.Dc()), TRANSPARENT);
        EXPECT_EQ(GetCurrentObject(canvas.Dc(), OBJ_PEN), pen);
        EXPECT_EQ(GetCurrentObject(canvas.Dc(), OBJ_BRUSH), brush);
        if (c.shift == 0 && c.text == kLightText && !marked) {
            EXPECT_EQ(canvas.Pixels(), normal.Pixels()) << "a state other than pressed changes nothing";
        }
    }

    // The other buttons carry their own labels; any other control is left to the system.
    ButtonCanvas test;
    EXPECT_EQ(test.Draw(m_main, UI::s_hwndBtnTest, 0), TRUE);
    EXPECT_NE(test.Pixels(), normal.Pixels());
    ButtonCanvas details;
    EXPECT_EQ(details.Draw(m_main, UI::s_hwndBtnDetails, 0), TRUE);
    EXPECT_NE(details.Pixels(), normal.Pixels());
    EXPECT_NE(details.Pixels(), test.Pixels());
    ButtonCanvas other;
    EXPECT_EQ(other.Draw(m_main, UI::s_hwndList, 0), FALSE);
    EXPECT_EQ(other.At(75, 20), ButtonCanvas::kUntouched);
}

TEST_F(UiTest, MessageLoopReturnsTheQuitCodeAndDeletesTheBrush)
{
    struct Case {
        const char* name;
        bool closeWindow;
        int quitCode;
    };
    for (const Case& c : {Case{"quit message", false, 7}, Case{"window closed", true, 0}}) {
        SCOPED_TRACE(c.name);
        ASSERT_NO_FATAL_FAILURE(Open());
        const HBRUSH brush = UI::s_hbrBg.Get();
        ASSERT_EQ(GetObjectType(brush), static_cast<DWORD>(OBJ_BRUSH));
        if (c.closeWindow) {
            PostMessageW(m_main, WM_CLOSE, 0, 0);
        } else {
            PostQuitMessage(c.quitCode);
        }
        EXPECT_EQ(UI::MessageLoop(), c.quitCode);
        EXPECT_EQ(GetObjectType(brush), 0u) << "brush still exists";
        EXPECT_EQ(UI::s_hbrBg.Get(), nullptr);
        EXPECT_EQ(IsWindow(m_main) == FALSE, c.closeWindow);
        TearDown();
    }
}

} // namespace
