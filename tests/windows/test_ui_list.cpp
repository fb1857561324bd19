// The list's rows, cell texts and custom drawing, and the commands that are not the read test.
#include "DriveAnswers.h"
#include "test_ui_harness.h"

#include <array>
#include <string>
#include <vector>

namespace {

using namespace std::string_literals;
constexpr std::int64_t kOneAndAHalfGiB = 3 * (std::int64_t{1} << 29);
constexpr std::int64_t kHugeHours = 235'939'733'439'020;

std::vector<int> DriveNumbers()
{
    std::vector<int> numbers;
    for (const DriveInfo& drive : UI::s_drives) {
        numbers.push_back(drive.index);
    }
    return numbers;
}

TEST_F(UiTest, RefreshCommandFollowsTheDrivesAndOtherIdsDoNothing)
{
    FakeKernel::Drive(0);
    ASSERT_NO_FATAL_FAILURE(Open());
    ASSERT_EQ(Rows(), 1);
    MessageBoxCapture boxes;

    enum class Change { Attach, Remove, Controllers, None };
    // A click is a BN_CLICKED command, or Enter or Space on the focused button as the program's
    // loop takes them (a key held down repeats, and clicks once).
    enum class Key { None, Enter, Space, SpaceRepeated };
    struct Case {
        Change change;
        int drive;
        WPARAM command;
        std::vector<int> numbers;   // drive numbers of the rows afterwards
        Key key = Key::None;
        std::wstring hint = {};     // the line below the list
    };
    const std::vector<Case> cases{
        {Change::Attach, 2, MAKEWPARAM(1001, BN_CLICKED), {0, 2}},
        {Change::Attach, 1, MAKEWPARAM(1001, BN_DOUBLECLICKED), {0, 2}},
        {Change::Remove, 0, MAKEWPARAM(1001, 0xFFFF), {0, 2}},
        {Change::None, 0, MAKEWPARAM(1001, BN_CLICKED), {1, 2}},
        {Change::Attach, 5, MAKEWPARAM(1003, BN_CLICKED), {1, 2}},
        {Change::Remove, 1, MAKEWPARAM(1003, LVN_ITEMCHANGED & 0xFFFF), {1, 2}},
        {Change::None, 0, MAKEWPARAM(1006, 0), {1, 2}},
        {Change::None, 0, MAKEWPARAM(0, 0), {1, 2}},
        {Change::None, 0, MAKEWPARAM(0xFFFF, 0xFFFF), {1, 2}},
        {Change::Attach, 31, MAKEWPARAM(1001, 0x1234), {1, 2}},
        {Change::None, 0, MAKEWPARAM(1001, BN_CLICKED), {2, 5, 31}, Key::Enter},
        {Change::Attach, 1, MAKEWPARAM(1001, BN_CLICKED), {1, 2, 5, 31}, Key::Space},
        {Change::Attach, 0, MAKEWPARAM(1001, BN_CLICKED), {1, 2, 5, 31}, Key::SpaceRepeated},
        // Intel VMD without its driver is named below the list; an AHCI controller with its driver is not.
        {Change::Controllers, 0, MAKEWPARAM(1001, BN_CLICKED), {0, 1, 2, 5, 31}, Key::None,
         L"Intel RAID/VMD controller (PCI\\VEN_8086&DEV_9A0B) has no driver: its drives are hidden. Load its driver "
         L"(drvload X:\\Drivers\\iaStorVD.inf), then Refresh Drives."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "command 0x" << std::hex << c.command << " key " << static_cast<int>(c.key));
        if (c.change == Change::Attach) {
            FakeKernel::Drive(c.drive);
        } else if (c.change == Change::Remove) {
            FakeKernel::RemoveDrive(c.drive);
        } else if (c.change == Change::Controllers) {
            FakeKernel::AddPciDevice({L"PCI\\VEN_8086&DEV_06D2&CC_010601\0"s});
            FakeKernel::AddPciDevice({L"PCI\\VEN_8086&DEV_9A0B&SUBSYS_0A231028\0PCI\\VEN_8086&DEV_9A0B&CC_010400\0"s, DN_HAS_PROBLEM, 28});
        }
        const std::size_t callsBefore = FakeKernel::Calls().size();
        if (c.key == Key::None) {
            Command(c.command);
        } else {
            MSG key{UI::s_hwndBtnRefresh, WM_KEYDOWN, c.key == Key::Enter ? WPARAM{VK_RETURN} : WPARAM{VK_SPACE},
                    c.key == Key::SpaceRepeated ? LPARAM{1} << 30 | 1 : 1, 0, {}};
            UI::Dispatch(key);
        }
        const bool refreshes = LOWORD(c.command) == 1001 && HIWORD(c.command) == BN_CLICKED && c.key != Key::SpaceRepeated;
        EXPECT_EQ(FakeKernel::Calls().size() > callsBefore, refreshes);
        EXPECT_EQ(DriveNumbers(), c.numbers);
        ASSERT_EQ(Rows(), static_cast<int>(c.numbers.size()));
        for (std::size_t row = 0; row < c.numbers.size(); ++row) {
            EXPECT_EQ(CellOf(m_main, static_cast<int>(row), 0), std::to_wstring(c.numbers[row]));
        }
        std::array<wchar_t, 512> hint{};
        GetWindowTextW(UI::s_hwndHint, hint.data(), static_cast<int>(hint.size()));
        EXPECT_EQ(hint.data(), c.hint);
        EXPECT_EQ((GetWindowLongW(UI::s_hwndHint, GWL_STYLE) & WS_VISIBLE) != 0, !c.hint.empty());
        const RECT list = ChildRect(UI::s_hwndList), shown = ChildRect(UI::s_hwndHint); // between list and buttons
        EXPECT_TRUE(c.hint.empty() || (list.bottom < shown.top && shown.top + 12 <= shown.bottom && 
                                       shown.bottom <= ChildRect(UI::s_hwndBtnRefresh).top));
    }
    EXPECT_TRUE(boxes.Boxes().empty());
    EXPECT_EQ(FakeKernel::OpenHandles(), 0);
}

TEST_F(UiTest, WritesEveryCellFromItsRecordAndFindsRowsByModel)
{
    DriveAnswers::TypicalDrive("WDC WD20EARS-00MVWB0", "     WD-WMAZA0075739", "50.0AB50", kOneAndAHalfGiB, 0,
                               kHugeHours, 22)
        .ApplyTo(FakeKernel::Drive(7));
    FakeKernel::Drive(9); // answers nothing: every field keeps its sentinel
    DriveAnswers::Drive failing = DriveAnswers::TypicalDrive("M", "S", "F", 0, 45, 0, 0);
    failing.predictFailure = 1;
    failing.ApplyTo(FakeKernel::Drive(12));
    for (const std::wstring letter : {L"E", L"C"}) {
        FakeVolume& volume = FakeKernel::AddVolume(L"\\\\?\\Volume{" + letter + L"}\\");
        volume.paths = {letter + L":\\"};
        volume.extents = DriveAnswers::Extents({{7, 1 << 20, 1 << 30}});
    }
    ASSERT_NO_FATAL_FAILURE(Open());
    ASSERT_EQ(Rows(), 3);
    // Every cell shown whole: each column is wider than its longest text.
    for (int column = 0; column < 11; ++column) {
        const auto width = SendMessageW(UI::s_hwndList, LVM_GETCOLUMNWIDTH, static_cast<WPARAM>(column), 0);
        for (int row = 0; row < Rows(); ++row) {
            const std::wstring text = CellOf(m_main, row, column);
            EXPECT_GT(width, SendMessageW(UI::s_hwndList, LVM_GETSTRINGWIDTHW, 0, reinterpret_cast<LPARAM>(text.c_str())))
                << "row " << row << " column " << column;
        }
    }

    struct Case {
        int row;
        int column;
        int capacity;
        const wchar_t* text;
    };
    const std::vector<Case> cases{
        {0, 0, 260, L"7"},
        {0, 1, 260, L"WDC WD20EARS-00MVWB0"},
        {0, 2, 260, L"WD-WMAZA0075739"},
        {0, 3, 260, L"50.0AB50"},
        {0, 4, 260, L"1.5"},
        {0, 5, 260, L"Good"},
        {0, 6, 260, L"0 C"},
        {0, 7, 260, L"235939733439020"},
        {0, 8, 260, L"22"},
        {0, 9, 260, L"-"},
        {0, 10, 260, L"C: E:"},
        {1, 0, 260, L"9"},
        {1, 1, 260, L"Unknown"},
        {1, 2, 260, L"Unknown"},
        {1, 3, 260, L"Unknown"},
        {1, 4, 260, L"0.0"},
        {1, 5, 260, L"Good"},
        {1, 6, 260, L"-"},
        {1, 7, 260, L"-"},
        {1, 8, 260, L"-"},
        {1, 9, 260, L"-"},
        {1, 10, 260, L"-"},
        {2, 5, 260, L"Caution / Bad"},
        {2, 6, 260, L"45 C"},
        {2, 7, 260, L"0"},
        {2, 4, 260, L"0.0"},
        // Copied texts are cut to the buffer; numbers that do not fit leave the cell empty.
        {0, 1, 8, L"WDC WD2"},
        {2, 5, 5, L"Caut"},
        {1, 9, 1, L""},
        {0, 8, 3, L"22"},
        {0, 8, 2, L""},
        {0, 7, 15, L""},
        {0, 4, 3, L""},
        {2, 6, 4, L""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "row " << c.row << " column " << c.column << " capacity " << c.capacity);
        EXPECT_EQ(CellOf(m_main, c.row, c.column, c.capacity), c.text);
    }

    // Typing looks for a model that starts with the typed text (or is it, without LVFI_PARTIAL
    // or LVFI_SUBSTRING, which Windows sends), ignoring case, from the row the list names,
    // around the end with LVFI_WRAP only.
    struct Find {
        UINT flags;
        const wchar_t* text;
        int start;
        LRESULT row;
    };
    constexpr UINT kTyped = LVFI_PARTIAL | LVFI_WRAP;
    const std::vector<Find> finds{
        {kTyped, L"w", 0, 0},
        {kTyped, L"wdc wd20", 1, 0},
        {kTyped, L"UNK", 2, 1},
        {kTyped, L"u", 1, 1},
        {kTyped, L"m", -1, 2},
        {kTyped, L"m", 7, 2},
        {kTyped, L"wdc x", 0, -1},
        {LVFI_PARTIAL, L"w", 1, -1},
        {kFindSubstring | LVFI_STRING | LVFI_WRAP, L"m", 3, 2},
        {LVFI_WRAP, L"unknown", 2, 1},
        {LVFI_PARTIAL, L"m", 7, -1},
        {LVFI_PARTIAL, L"unknown", 1, 1},
        {LVFI_STRING, L"m", 0, 2},
        {LVFI_STRING, L"unk", 0, -1},
        {LVFI_STRING | LVFI_WRAP, L"UNKNOWN", 2, 1},
        {LVFI_PARAM, L"w", 0, -1},
    };
    for (const Find& f : finds) {
        SCOPED_TRACE(testing::Message() << "\"" << f.text << "\" flags 0x" << std::hex << f.flags << std::dec
                                        << " from " << f.start);
        NMLVFINDITEMW find{};
        find.iStart = f.start;
        find.lvfi.flags = f.flags;
        find.lvfi.psz = f.text;
        EXPECT_EQ(NotifyFromList(m_main, find, LVN_ODFINDITEMW), f.row);
    }
    // And the list view itself asks so when a letter is typed.
    SelectRow(0);
    SendMessageW(UI::s_hwndList, WM_CHAR, L'm', 1);
    EXPECT_EQ(SendMessageW(UI::s_hwndList, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED), 2);
}

TEST_F(UiTest, WritesNothingOutsideTheRecordsOrForOtherRequests)
{
    FakeKernel::Drive(0);
    FakeKernel::Drive(1);
    ASSERT_NO_FATAL_FAILURE(Open());
    struct Case {
        const char* name;
        UINT_PTR sender;
        UINT mask;
        int row;
        int column;
        int capacity;
        bool nullText;
    };
    const std::vector<Case> cases{
        {"row -1", 1003, LVIF_TEXT, -1, 0, 16, false},
        {"row past the records", 1003, LVIF_TEXT, 2, 0, 16, false},
        {"far row", 1003, LVIF_TEXT, 0x7FFFFFFF, 1, 16, false},
        {"column -1", 1003, LVIF_TEXT, 0, -1, 16, false},
        {"column 11", 1003, LVIF_TEXT, 0, 11, 16, false},
        {"no text asked for", 1003, LVIF_IMAGE | LVIF_STATE, 0, 1, 16, false},
        {"another sender", 1002, LVIF_TEXT, 0, 1, 16, false},
        {"capacity 0", 1003, LVIF_TEXT, 0, 1, 0, false},
        {"capacity -5", 1003, LVIF_TEXT, 0, 1, -5, false},
        {"null buffer", 1003, LVIF_TEXT, 0, 1, 16, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::array<wchar_t, 17> buffer{};
        buffer.fill(L'#');
        NMLVDISPINFOW info{};
        info.item.mask = c.mask;
        info.item.iItem = c.row;
        info.item.iSubItem = c.column;
        info.item.pszText = c.nullText ? nullptr : buffer.data();
        info.item.cchTextMax = c.capacity;
        EXPECT_EQ(NotifyFromList(m_main, info, LVN_GETDISPINFOW, c.sender), 0);
        EXPECT_EQ(std::wstring(buffer.begin(), buffer.end()), std::wstring(buffer.size(), L'#'));
    }
}

// The list's own selection decides the colours, not the state the notification reports:
// each case reports the opposite, and the item stage strips the selection and focus flags so
// that the list does not paint its own selection colours over the cells'.
TEST_F(UiTest, CustomDrawAnswersEachStageAndColoursTheCells)
{
    ASSERT_NO_FATAL_FAILURE(Open());
    UI::s_drives = {{0, L"A", L"S", L"F", 1, false, L"Good", 1, 1, 1, L""},
                    {1, L"B", L"S", L"F", 1, true, L"Caution / Bad", 1, 1, 1, L""},
                    {2, L"C", L"S", L"F", 1, false, L"good", 1, 1, 1, L""},
                    {3, L"D", L"S", L"F", 1, false, L"Caution / Bad ", 1, 1, 1, L""},
                    {4, L"E", L"S", L"F", 1, false, L"Caution", 1, 1, 1, L"C:"}};
    // One row more than there are records.
    SendMessageW(UI::s_hwndList, LVM_SETITEMCOUNT, 6, 0);
    constexpr COLORREF kGiven = 0x123456;
    constexpr COLORREF kGivenBack = 0x654321;
    constexpr COLORREF kGreen = 0x00C800, kRed = 0x3232FF, kAmber = 0x00B4FF, kLight = 0xDCDCDC, kWhite = 0xFFFFFF;
    constexpr COLORREF kBlue = 0xD77800, kListBack = 0x282828;
    constexpr DWORD kSubItem = CDDS_ITEMPREPAINT | CDDS_SUBITEM;
    constexpr UINT kReported = CDIS_SELECTED | CDIS_FOCUS;

    struct Case {
        UINT_PTR sender;
        DWORD stage;
        DWORD_PTR row;
        int column;
        bool selected;   // in the list
        LRESULT answer;
        COLORREF text;
        COLORREF back;
    };
    std::vector<Case> cases{
        {1003, CDDS_PREPAINT, 0, 0, false, CDRF_NOTIFYITEMDRAW, kGiven, kGivenBack},
        {1003, CDDS_ITEMPREPAINT, 0, 0, true, CDRF_NOTIFYSUBITEMDRAW, kGiven, kGivenBack},
        {1003, CDDS_ITEMPREPAINT, 2, 0, false, CDRF_NOTIFYSUBITEMDRAW, kGiven, kGivenBack},
        {1003, CDDS_POSTPAINT, 0, 5, false, CDRF_DODEFAULT, kGiven, kGivenBack},
        {1003, CDDS_ITEMPOSTPAINT, 0, 5, true, CDRF_DODEFAULT, kGiven, kGivenBack},
        {1003, CDDS_PREERASE, 0, 5, false, CDRF_DODEFAULT, kGiven, kGivenBack},
        {1003, CDDS_SUBITEM | CDDS_ITEMPOSTPAINT, 1, 5, false, CDRF_DODEFAULT, kGiven, kGivenBack},
        {1003, kSubItem, 0, 5, false, CDRF_NEWFONT, kGreen, kListBack},
        {1003, kSubItem, 1, 5, false, CDRF_NEWFONT, kRed, kListBack},
        {1003, kSubItem, 2, 5, false, CDRF_NEWFONT, kLight, kListBack},
        {1003, kSubItem, 3, 5, false, CDRF_NEWFONT, kLight, kListBack},
        {1003, kSubItem, 0, 0, false, CDRF_NEWFONT, kLight, kListBack},
        {1003, kSubItem, 1, 4, false, CDRF_NEWFONT, kLight, kListBack},
        {1003, kSubItem, 0, 9, false, CDRF_NEWFONT, kLight, kListBack},
        {1003, kSubItem, 4, 5, false, CDRF_NEWFONT, kAmber, kListBack},
        {1003, kSubItem, 4, 10, false, CDRF_NEWFONT, kLight, kListBack},
        {1003, kSubItem, 5, 5, false, CDRF_NEWFONT, kGiven, kListBack},
        {1003, kSubItem, 5, 1, true, CDRF_NEWFONT, kWhite, kBlue},
        {1002, kSubItem, 1, 5, false, 0, kGiven, kGivenBack},
        {0, CDDS_PREPAINT, 0, 0, false, 0, kGiven, kGivenBack},
    };
    for (int column = 0; column < 11; ++column) {
        cases.push_back({1003, kSubItem, 1, column, true, CDRF_NEWFONT, kWhite, kBlue});
        cases.push_back({1003, kSubItem, 0, column, true, CDRF_NEWFONT, kWhite, kBlue});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "sender " << c.sender << " stage 0x" << std::hex << c.stage << std::dec
                                        << " row " << c.row << " column " << c.column << " selected " << c.selected);
        SelectRow(c.selected ? static_cast<int>(c.row) : -1, c.selected);
        const UINT reported = (c.selected ? 0u : kReported) | CDIS_HOT;
        NMLVCUSTOMDRAW draw{};
        draw.nmcd.dwDrawStage = c.stage;
        draw.nmcd.dwItemSpec = c.row;
        draw.nmcd.uItemState = reported;
        draw.iSubItem = c.column;
        draw.clrText = kGiven;
        draw.clrTextBk = kGivenBack;
        EXPECT_EQ(NotifyFromList(m_main, draw, NM_CUSTOMDRAW, c.sender), c.answer);
        EXPECT_EQ(draw.clrText, c.text);
        EXPECT_EQ(draw.clrTextBk, c.back);
        const bool stripped = c.sender == 1003 && c.stage == CDDS_ITEMPREPAINT;
        EXPECT_EQ(draw.nmcd.uItemState, stripped ? UINT{CDIS_HOT} : reported);
    }
}

} // namespace
