// The surface scan window over a fake drive whose read hangs mid-drive: it opens once per
// selection, answers while the scan runs, keeps the read test off meanwhile, stops, copies,
// closes, and closing the main window during a scan leaves nothing behind. A read that no
// cancel ends keeps no window waiting: the window shows the Stop's wait and closes once the
// thread has ended, and the program ends within its limit whatever the read does.
#include "DriveAnswers.h"
#include "test_ui_harness.h"
#include "ui/ScanWindow.h"

#include <winioctl.h>

#include <string>
#include <vector>

namespace {

constexpr std::int64_t kMiB = 1024 * 1024;

std::wstring TextOf(HWND window)
{
    wchar_t text[128]{};
    GetWindowTextW(window, text, 128);
    return text;
}

// Drive 0 reads at 100 MB/s until its eleventh block, whose read hangs until it is cancelled,
// or, stuck, until the test releases it.
void ScriptHangingDrive(bool stuck = false, const char* serial = "SCAN SERIAL", std::int64_t size = 64 * kMiB)
{
    FakeSurface surface;
    (stuck ? surface.stuckAtLba : surface.hangAtLba) = 10 * 2048;
    DriveAnswers::TypicalDrive("SCAN MODEL", serial, "1.0", size, 40, 1, 1).ApplyTo(FakeKernel::Drive(0));
    FakeKernel::Drive(0).WithSurface(surface);
}

void Click(HWND window, int id, WORD notification = BN_CLICKED)
{
    SendMessageW(window, WM_COMMAND, MAKEWPARAM(id, notification), reinterpret_cast<LPARAM>(GetDlgItem(window, id)));
}

// A key as the program's loop takes it from the queue, typed in `window`.
void Type(HWND window, WPARAM key)
{
    MSG message{window, WM_KEYDOWN, key, 1, 0, {}};
    UI::Dispatch(message);
}

// The main window over drive 0, scripted as above, with the drive's scan window open.
class ScanTest : public UiTest {
protected:
    HWND OpenScanWindow(bool stuck)
    {
        ScriptHangingDrive(stuck);
        Open(SW_SHOWNORMAL);
        SelectRow(0);
        Command(MAKEWPARAM(ID_BTN_SCAN, BN_CLICKED));
        return ScanWindow::Window();
    }
};

constexpr wchar_t kStopping[] = L"Stopping: waiting for the drive to answer the current read (0:0";
constexpr wchar_t kConfirm[] =
    L"Stop the scan and close this window? The result so far will be lost unless you copy it.";

// The first of the demo's NTFS volumes, made by mkntfs and ntfscp, on drive 0's one partition
// from LBA 8, and an unreadable stretch 64 KiB into its file; the row Find Files must show there,
// from where istat put the file.
std::wstring PutVolumeWithUnreadableFile()
{
    const DriveAnswers::MadeVolume volume = DriveAnswers::LoadMadeVolumes(OSTREVANE_DEMO_VOLUMES).at(0);
    constexpr std::uint64_t kStart = 8;
    FakeDrive& drive = FakeKernel::Drive(0);
    drive.Answer(DriveAnswers::kGetDriveLayoutEx, DriveAnswers::Layout(0)
                                                      .Signature(0x5CA11ED)
                                                      .Mbr(1, kStart * 512, static_cast<std::int64_t>(volume.sectors * 512), 7)
                                                      .Mbr(0, 0, 0, 0).Mbr(0, 0, 0, 0).Mbr(0, 0, 0, 0)
                                                      .Build());
    for (const auto& [at, bytes] : volume.contents) {
        drive.contents[kStart * 512 + at] = bytes;
    }
    const std::uint64_t bad = kStart + volume.fileLba + 128;
    drive.surface->unreadable.push_back({bad, 8});
    // The scan reports the 64 KiB piece round it.
    const std::uint64_t piece = bad / 128 * 128;
    return std::to_wstring(piece) + L"\t128\t1\t\\" + std::wstring(volume.file.begin(), volume.file.end()) + L"\t" +
           std::to_wstring((piece - kStart - volume.fileLba) * 512);
}

TEST_F(UiTest, ScanWindowRunsBesideTheMainWindowStopsCopiesAndCloses)
{
    ScriptHangingDrive();
    const std::wstring fileRow = PutVolumeWithUnreadableFile();
    ASSERT_NO_FATAL_FAILURE(Open(SW_SHOWNORMAL));
    MessageBoxCapture boxes;
    Command(MAKEWPARAM(ID_BTN_SCAN, BN_CLICKED));
    ASSERT_EQ(boxes.Boxes().size(), 1u);
    EXPECT_EQ(boxes.Boxes()[0].text, L"Please select a drive first.");
    EXPECT_EQ(ScanWindow::Window(), nullptr);
    // A drive that opens but tells no capacity, as a card reader without a card.
    FakeKernel::Drive(3);
    Command(MAKEWPARAM(ID_BTN_REFRESH, BN_CLICKED));
    SelectRow(1);
    Command(MAKEWPARAM(ID_BTN_SCAN, BN_CLICKED));
    ASSERT_EQ(boxes.Boxes().size(), 2u);
    EXPECT_EQ(boxes.Boxes()[1].text, L"Drive 3 did not report its capacity (error 1)");
    EXPECT_EQ(ScanWindow::Window(), nullptr);
    FakeKernel::RemoveDrive(3);
    Command(MAKEWPARAM(ID_BTN_REFRESH, BN_CLICKED));

    SelectRow(0);
    const std::size_t opensBefore = FakeKernel::CallsOf(KernelCall::Kind::Open).size();
    Command(MAKEWPARAM(ID_BTN_SCAN, BN_CLICKED));
    const HWND scan = ScanWindow::Window();
    ASSERT_NE(scan, nullptr);
    EXPECT_EQ(FakeKernel::CallsOf(KernelCall::Kind::Open).size(), opensBefore + 1)
        << "opening the window asked the drive more than its size";
    Command(MAKEWPARAM(ID_BTN_SCAN, BN_CLICKED));
    EXPECT_EQ(ScanWindow::Window(), scan) << "one scan window at a time";
    EXPECT_EQ(TextOf(scan), L"Surface Scan - Drive 0");
    EXPECT_EQ(GetWindow(scan, GW_OWNER), m_main);
    const auto style = static_cast<DWORD>(GetWindowLongPtrW(scan, GWL_STYLE));
    EXPECT_EQ(style & WS_MINIMIZEBOX, 0u);
    EXPECT_NE(style & WS_THICKFRAME, 0u);
    const HWND start = GetDlgItem(scan, ID_SCAN_START);
    const HWND copy = GetDlgItem(scan, ID_SCAN_COPY);
    EXPECT_FALSE(IsWindowEnabled(copy)) << "nothing to copy before the first start";
    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(scan, ID_SCAN_CHECK_LOGGED))) << "the logs are not read yet";
    const HWND findFiles = GetDlgItem(scan, ID_SCAN_FIND_FILES);
    EXPECT_FALSE(IsWindowEnabled(findFiles)) << "no unreadable sectors found yet";
    for (const auto& [id, x] :
         {std::pair{ID_SCAN_START, 10}, {ID_SCAN_CHECK_LOGGED, 170}, {ID_SCAN_FIND_FILES, 330}, {ID_SCAN_COPY, 490},
          {IDCANCEL, 650}}) {
        RECT client{};
        GetClientRect(scan, &client);
        const RECT button = ChildRect(GetDlgItem(scan, id));
        EXPECT_EQ(button.left, x);
        EXPECT_EQ(button.top, client.bottom - 60);
        EXPECT_EQ(button.right - button.left, 150);
    }

    // The second half of a double click on Start does not stop what the first started.
    Click(scan, ID_SCAN_START);
    Click(scan, ID_SCAN_START, BN_DOUBLECLICKED);
    // Started, the scan reads on its own thread while the window answers: the read test, Refresh
    // Drives and the scanned drive's details are off, and a resize lays the window out again.
    EXPECT_EQ(TextOf(start), L"Stop");
    EXPECT_FALSE(IsWindowEnabled(UI::s_hwndBtnTest));
    EXPECT_FALSE(IsWindowEnabled(UI::s_hwndBtnRefresh));
    EXPECT_FALSE(IsWindowEnabled(UI::s_hwndBtnDetails));
    ASSERT_TRUE(PumpUntil([] { return FakeKernel::Hanging(); }));
    const RECT before = ChildRect(GetDlgItem(scan, ID_SCAN_RANGES));
    SetWindowPos(scan, nullptr, 0, 0, 800, 640, SWP_NOMOVE | SWP_NOZORDER);
    EXPECT_TRUE(PumpUntil([&] { return ChildRect(GetDlgItem(scan, ID_SCAN_RANGES)).right != before.right; }, 2000))
        << "no layout while the scan runs";
    const std::size_t opens = FakeKernel::CallsOf(KernelCall::Kind::Open).size();
    Command(MAKEWPARAM(ID_BTN_REFRESH, BN_CLICKED));
    SendMessageW(UI::s_hwndList, WM_KEYDOWN, VK_RETURN, 1);
    EXPECT_EQ(FakeKernel::CallsOf(KernelCall::Kind::Open).size(), opens) << "a request sent to the scanned drive";
    EXPECT_EQ(FindWindowW(L"OstrevaneDetailsClass", nullptr), nullptr);
    EXPECT_TRUE(FakeKernel::Hanging());

    // Stop cancels the read it hangs in; the read test comes back when the scan has ended, and
    // the result leads the status line.
    Click(scan, ID_SCAN_START);
    ASSERT_TRUE(PumpUntil([&] { return IsWindowEnabled(start) != FALSE; }));
    EXPECT_EQ(TextOf(start), L"Start");
    EXPECT_TRUE(IsWindowEnabled(UI::s_hwndBtnTest));
    EXPECT_TRUE(IsWindowEnabled(UI::s_hwndBtnRefresh));
    EXPECT_TRUE(IsWindowEnabled(UI::s_hwndBtnDetails));
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(scan, ID_SCAN_CHECK_LOGGED))) << "no logs name a failing LBA";
    EXPECT_FALSE(SurfaceScan::IsRunning());
    EXPECT_EQ(ScanWindow::StatusText().rfind(L"Stopped   Scanned 0.0 of 0.1 GB", 0), 0u) << ScanWindow::StatusText().c_str();

    // A scan that ends while Start is held down showing "Stop": letting it go starts nothing, on
    // the button or dragged off it, and the next click starts a scan.
    for (const LPARAM letGo : {MAKELPARAM(5, 5), MAKELPARAM(5, 500)}) {
        Click(scan, ID_SCAN_START);
        ASSERT_TRUE(PumpUntil([] { return FakeKernel::Hanging(); }));
        SendMessageW(start, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
        SurfaceScan::Stop();
        ASSERT_TRUE(PumpUntil([&] { return TextOf(start) == L"Start"; }));
        SendMessageW(start, WM_LBUTTONUP, 0, letGo);
        EXPECT_FALSE(SurfaceScan::IsRunning()) << "the press meant for Stop started a scan";
        EXPECT_EQ(TextOf(start), L"Start");
    }
    EXPECT_EQ(FakeKernel::CallsOf(KernelCall::Kind::Thread).size(), 3u);

    // Find Files names what lies on the unreadable range, on the scan's thread with Stop as in
    // the scan; the Files list takes the plot's place, and the copy carries it.
    ASSERT_TRUE(IsWindowEnabled(findFiles));
    Click(scan, ID_SCAN_FIND_FILES);
    EXPECT_EQ(TextOf(start), L"Stop");
    EXPECT_FALSE(IsWindowEnabled(UI::s_hwndBtnTest));
    ASSERT_TRUE(PumpUntil([&] { return IsWindowEnabled(findFiles) != FALSE; }));
    const HWND files = GetDlgItem(scan, ID_SCAN_FILES);
    EXPECT_TRUE(IsWindowVisible(files));
    ASSERT_EQ(SendMessageW(files, LVM_GETITEMCOUNT, 0, 0), 1);
    std::wstring row;
    for (int column = 0; column < 5; ++column) {
        wchar_t cell[128]{};
        LVITEMW item{};
        item.iSubItem = column;
        item.pszText = cell;
        item.cchTextMax = 128;
        SendMessageW(files, LVM_GETITEMTEXTW, 0, reinterpret_cast<LPARAM>(&item));
        row += (column == 0 ? L"" : L"\t") + std::wstring(cell);
    }
    EXPECT_EQ(row, fileRow);

    // Keys go to the window they were typed in, a details window open beside it or not: Ctrl+C
    // in the scan window copies the scan, in the details window the details.
    Command(MAKEWPARAM(ID_BTN_DETAILS, BN_CLICKED));
    const HWND details = FindWindowW(L"OstrevaneDetailsClass", nullptr);
    ASSERT_NE(details, nullptr);
    ASSERT_NO_FATAL_FAILURE(ClearClipboard());
    HoldKey(VK_CONTROL, true);
    Type(GetDlgItem(details, IDCANCEL), 'C');
    const std::wstring detailsCopy = ClipboardText();
    Type(GetDlgItem(scan, ID_SCAN_RANGES), 'C');
    HoldKey(VK_CONTROL, false);
    EXPECT_NE(detailsCopy.find(L"SCAN SERIAL"), std::wstring::npos);
    EXPECT_EQ(detailsCopy.find(L"Result\t"), std::wstring::npos) << "the details window copied the scan";
    const std::wstring copied = ClipboardText();
    EXPECT_EQ(copied.rfind(L"Drive\t0\r\nModel\tSCAN MODEL\r\nSerial Number\tSCAN SERIAL\r\nCapacity\t67108864 bytes\r\n"
                           L"Sector Size\t512 bytes\r\nResult\tStopped\r\nScanned\t10485760 bytes\r\n",
                           0),
              0u)
        << std::string(copied.begin(), copied.end());
    EXPECT_NE(copied.find(L"Blocks up to 50 ms\t9\r\n"), std::wstring::npos);
    EXPECT_NE(copied.find(L"\r\n\r\nLBA\tSectors\tPartition\tVolume\tFile System\tFile\tOffset\r\n"), std::wstring::npos);

    // Escape in the details window closes it alone; in the scan window, a stopped result closes
    // without a question.
    Type(GetDlgItem(details, IDCANCEL), VK_ESCAPE);
    EXPECT_FALSE(IsWindow(details));
    EXPECT_TRUE(IsWindow(scan));
    Type(GetDlgItem(scan, ID_SCAN_RANGES), VK_ESCAPE);
    EXPECT_FALSE(IsWindow(scan));
    EXPECT_EQ(ScanWindow::Window(), nullptr);
    EXPECT_EQ(FakeKernel::OpenHandles(), 0);
    EXPECT_EQ(boxes.Boxes().size(), 2u);
}

// Start scans the drive of the heading or nothing: a drive N that now has another serial
// number or capacity is refused, by the scan's thread before its first read.
TEST_F(UiTest, StartRefusesADriveThatIsNoLongerTheOneInTheHeading)
{
    const struct {
        const char* name;
        const char* serial;
        std::int64_t size;
        bool refused;
    } cases[] = {
        {"another serial number", "OTHER SERIAL", 64 * kMiB, true},
        {"another capacity", "SCAN SERIAL", 128 * kMiB, true},
        {"the same drive", "SCAN SERIAL", 64 * kMiB, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeKernel::Reset();
        ScriptHangingDrive();
        ASSERT_NO_FATAL_FAILURE(Open());
        SelectRow(0);
        Command(MAKEWPARAM(ID_BTN_SCAN, BN_CLICKED));
        const HWND scan = ScanWindow::Window();
        ASSERT_NE(scan, nullptr);
        ScriptHangingDrive(false, c.serial, c.size);
        MessageBoxCapture boxes(IDYES);
        Click(scan, ID_SCAN_START);
        EXPECT_EQ(FakeKernel::CallsOf(KernelCall::Kind::Thread).size(), 1u);
        ASSERT_TRUE(PumpUntil([&] { return c.refused ? !boxes.Boxes().empty() : FakeKernel::Hanging(); }));
        ASSERT_EQ(boxes.Boxes().size(), c.refused ? 1u : 0u);
        EXPECT_EQ(FakeKernel::SurfaceReads() == 0, c.refused);
        if (c.refused) {
            EXPECT_EQ(boxes.Boxes()[0].text, L"Drive 0 is now a different drive. Refresh the list and open the scan again.");
            EXPECT_EQ(boxes.Boxes()[0].owner, scan);
            EXPECT_EQ(TextOf(GetDlgItem(scan, ID_SCAN_START)), L"Start");
        }
        // Closed, a running scan asks first.
        Click(scan, IDCANCEL);
        EXPECT_TRUE(PumpUntil([&] { return IsWindow(scan) == FALSE; })) << "not closed after the scan ended";
        ASSERT_EQ(boxes.Boxes().size(), 1u);
        EXPECT_EQ(boxes.Boxes()[0].buttons.size(), c.refused ? 1u : 2u);
        TearDown();
        EXPECT_EQ(FakeKernel::OpenHandles(), 0);
    }
}

// The drive is checked on the scan's thread: while a request of the check hangs, the window says
// so and answers, and Stop ends the scan before its first read.
TEST_F(ScanTest, TheDriveIsCheckedOnTheScansThreadAndStopEndsTheCheck)
{
    const HWND scan = OpenScanWindow(false);
    ASSERT_NE(scan, nullptr);
    const HWND start = GetDlgItem(scan, ID_SCAN_START);
    FakeKernel::Drive(0).surface->capacityHangs = true;
    Click(scan, ID_SCAN_START);
    ASSERT_TRUE(PumpUntil([] { return FakeKernel::Hanging(); }));
    EXPECT_EQ(ScanWindow::StatusText(), L"Checking the drive\u2026");
    Click(scan, ID_SCAN_START);
    ASSERT_TRUE(PumpUntil([&] { return IsWindowEnabled(start) != FALSE; }));
    EXPECT_EQ(SurfaceScan::Snapshot().ResultText(), L"Stopped");
    EXPECT_EQ(FakeKernel::SurfaceReads(), 0u);
    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(scan, ID_SCAN_CHECK_LOGGED))) << "enabled by a check that did not end";
}

// A read that the drive will not give up keeps no window waiting: Stop shows how long it has
// waited, with Start off; Close leaves the window open until the thread has ended; Close of a
// running scan asks first, and No keeps it running.
TEST_F(ScanTest, AReadThatNoCancelEndsKeepsTheWindowAnsweringAndClosesItWhenItEnds)
{
    const HWND scan = OpenScanWindow(true);
    ASSERT_NE(scan, nullptr);
    const HWND start = GetDlgItem(scan, ID_SCAN_START);
    Click(scan, ID_SCAN_START);
    ASSERT_TRUE(PumpUntil([] { return FakeKernel::Stuck(); }));
    {
        MessageBoxCapture no(IDNO);
        Click(scan, IDCANCEL);
        ASSERT_EQ(no.Boxes().size(), 1u);
        EXPECT_EQ(no.Boxes()[0].text, kConfirm);
        EXPECT_EQ(no.Boxes()[0].owner, scan);
        EXPECT_EQ(no.Boxes()[0].buttons, (std::vector<int>{IDYES, IDNO}));
        EXPECT_EQ(TextOf(start), L"Stop") << "No stopped the scan";
    }

    MessageBoxCapture boxes;
    Click(scan, ID_SCAN_START);
    EXPECT_EQ(TextOf(start), L"Start");
    EXPECT_FALSE(IsWindowEnabled(start));
    EXPECT_EQ(ScanWindow::StatusText().rfind(kStopping, 0), 0u) << ScanWindow::StatusText().c_str();
    // The window goes on answering, and asking for the cancel, while the read stays stuck.
    EXPECT_TRUE(PumpUntil([] { return FakeKernel::CallsOf(KernelCall::Kind::Cancel).size() >= 3; }));
    EXPECT_TRUE(FakeKernel::Stuck());
    Click(scan, ID_SCAN_START);
    EXPECT_EQ(FakeKernel::CallsOf(KernelCall::Kind::Thread).size(), 1u) << "a disabled Start started a scan";
    Click(scan, IDCANCEL);
    EXPECT_TRUE(IsWindow(scan)) << "closed before the thread ended";
    EXPECT_TRUE(boxes.Boxes().empty()) << "a stopping scan asked again";

    FakeKernel::ReleaseStuckRead();
    EXPECT_TRUE(PumpUntil([&] { return IsWindow(scan) == FALSE; }));
    EXPECT_EQ(SurfaceScan::Snapshot().ResultText(), L"Stopped");
    EXPECT_TRUE(IsWindowEnabled(UI::s_hwndBtnTest));
    EXPECT_EQ(FakeKernel::OpenHandles(), 0);
}

// What the loop saw while the program waited for the scan's thread, its windows gone.
struct Waiting {
    int ticks = 0;
    bool windowsGone = false;
    bool releaseAfterALook = false;
};
Waiting g_waiting;

void CALLBACK LookWhileWaiting(HWND, UINT, UINT_PTR, DWORD)
{
    if (++g_waiting.ticks == 1) {
        g_waiting.windowsGone = CountThreadWindows() == 0;
    }
    if (g_waiting.releaseAfterALook && g_waiting.ticks == 3) {
        FakeKernel::ReleaseStuckRead();
    }
}

// Closing the program during a scan asks first; Yes closes its windows at once, and the process
// waits for the scan's thread with its messages answered: until the thread ends, or, for a read
// no cancel ends, until its limit, and it ends then all the same.
TEST_F(UiTest, ClosingTheMainWindowDuringAScanStopsItAndLeavesNothing)
{
    enum class Read { Cancelled, StuckThenReleased, StuckForGood };
    for (const Read read : {Read::Cancelled, Read::StuckThenReleased, Read::StuckForGood}) {
        SCOPED_TRACE(static_cast<int>(read));
        FakeKernel::Reset();
        ScriptHangingDrive(read != Read::Cancelled);
        ASSERT_NO_FATAL_FAILURE(Open(SW_SHOWNORMAL));
        SelectRow(0);
        Recorders::Clear();
        Command(MAKEWPARAM(ID_BTN_SCAN, BN_CLICKED));
        const HWND scan = ScanWindow::Window();
        ASSERT_NE(scan, nullptr);
        Click(scan, ID_SCAN_START);
        ASSERT_TRUE(PumpUntil([] { return FakeKernel::Hanging() || FakeKernel::Stuck(); }));
        UpdateWindow(scan);
        {
            MessageBoxCapture no(IDNO);
            SendMessageW(m_main, WM_CLOSE, 0, 0);
            ASSERT_EQ(no.Boxes().size(), 1u);
            EXPECT_EQ(no.Boxes()[0].text, kConfirm);
            EXPECT_EQ(no.Boxes()[0].owner, m_main);
            EXPECT_TRUE(IsWindow(m_main));
        }

        MessageBoxCapture yes(IDYES);
        g_waiting = {0, false, read == Read::StuckThenReleased};
        const UINT_PTR timer = SetTimer(nullptr, 0, 50, LookWhileWaiting);
        SendMessageW(m_main, WM_CLOSE, 0, 0);
        EXPECT_FALSE(IsWindow(scan));
        EXPECT_FALSE(IsWindow(m_main));
        EXPECT_EQ(UI::MessageLoop(), 0);
        KillTimer(nullptr, timer);
        if (read == Read::Cancelled) {
            EXPECT_EQ(SurfaceScan::Snapshot().ResultText(), L"Stopped");
        } else {
            EXPECT_TRUE(g_waiting.windowsGone);
            EXPECT_GE(g_waiting.ticks, 3) << "no messages answered while the program waited";
            EXPECT_EQ(SurfaceScan::IsRunning(), read == Read::StuckForGood) << "the wait did not end with the thread";
        }
        if (FakeKernel::Stuck()) {
            FakeKernel::ReleaseStuckRead();
        }
        for (DWORD waited = 0; SurfaceScan::IsRunning() && waited < 20'000; waited += 5) {
            ::Sleep(5);
        }
        EXPECT_FALSE(SurfaceScan::IsRunning());
        EXPECT_EQ(FakeKernel::OpenHandles(), 0) << "the drive's handle or the scan's thread left";
        EXPECT_EQ(FakeKernel::CallsOf(KernelCall::Kind::Alloc).size(), FakeKernel::CallsOf(KernelCall::Kind::Free).size());
        EXPECT_TRUE(Recorders::gdi.live.empty()) << Recorders::gdi.live.size() << " GDI objects left";
        TearDown();
    }
}

} // namespace
