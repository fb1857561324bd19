// The surface scan window over a fake drive whose read hangs mid-drive: it opens once per
// selection, answers while the scan runs, keeps the read test off meanwhile, stops, copies,
// closes, and closing the main window during a scan leaves nothing behind.
#include "DriveAnswers.h"
#include "test_ui_harness.h"
#include "ui/ScanWindow.h"

#include <winioctl.h>

#include <string>

namespace {

constexpr std::int64_t kMiB = 1024 * 1024;

std::wstring TextOf(HWND window)
{
    wchar_t text[128]{};
    GetWindowTextW(window, text, 128);
    return text;
}

// Drive 0 reads at 100 MB/s until its third block, whose read hangs until it is cancelled.
void ScriptHangingDrive()
{
    FakeSurface surface;
    surface.hangAtLba = 2 * 2048;
    DriveAnswers::TypicalDrive("SCAN MODEL", "SCAN SERIAL", "1.0", 64 * kMiB, 40, 1, 1).ApplyTo(FakeKernel::Drive(0));
    FakeKernel::Drive(0).WithSurface(surface);
}

TEST_F(UiTest, ScanWindowRunsBesideTheMainWindowStopsCopiesAndCloses)
{
    ScriptHangingDrive();
    ASSERT_NO_FATAL_FAILURE(Open(SW_SHOWNORMAL));
    MessageBoxCapture boxes;
    Command(MAKEWPARAM(ID_BTN_SCAN, BN_CLICKED));
    ASSERT_EQ(boxes.Boxes().size(), 1u);
    EXPECT_EQ(boxes.Boxes()[0].text, L"Please select a drive first.");
    EXPECT_EQ(ScanWindow::Window(), nullptr);

    SelectRow(0);
    Command(MAKEWPARAM(ID_BTN_SCAN, BN_CLICKED));
    const HWND scan = ScanWindow::Window();
    ASSERT_NE(scan, nullptr);
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
    for (const auto& [id, x] : {std::pair{ID_SCAN_START, 10}, {ID_SCAN_COPY, 170}, {IDCANCEL, 330}}) {
        RECT client{};
        GetClientRect(scan, &client);
        const RECT button = ChildRect(GetDlgItem(scan, id));
        EXPECT_EQ(button.left, x);
        EXPECT_EQ(button.top, client.bottom - 60);
        EXPECT_EQ(button.right - button.left, 150);
    }

    // Started, the scan reads on its own thread while the window answers: the read test is off,
    // the main window's other commands work, and a resize lays the window out again.
    SendMessageW(scan, WM_COMMAND, MAKEWPARAM(ID_SCAN_START, BN_CLICKED), 0);
    EXPECT_EQ(TextOf(start), L"Stop");
    EXPECT_FALSE(IsWindowEnabled(UI::s_hwndBtnTest));
    EXPECT_TRUE(IsWindowEnabled(UI::s_hwndBtnRefresh));
    ASSERT_TRUE(PumpUntil([] { return FakeKernel::Hanging(); }));
    const RECT before = ChildRect(GetDlgItem(scan, ID_SCAN_RANGES));
    SetWindowPos(scan, nullptr, 0, 0, 800, 640, SWP_NOMOVE | SWP_NOZORDER);
    EXPECT_TRUE(PumpUntil([&] { return ChildRect(GetDlgItem(scan, ID_SCAN_RANGES)).right != before.right; }, 2000))
        << "no layout while the scan runs";
    Command(MAKEWPARAM(ID_BTN_REFRESH, BN_CLICKED));
    EXPECT_EQ(Rows(), 1);
    EXPECT_TRUE(FakeKernel::Hanging());

    // Stop cancels the read it hangs in; the read test comes back when the scan has ended.
    SendMessageW(scan, WM_COMMAND, MAKEWPARAM(ID_SCAN_START, BN_CLICKED), 0);
    ASSERT_TRUE(PumpUntil([&] { return TextOf(start) == L"Start"; }));
    EXPECT_TRUE(IsWindowEnabled(UI::s_hwndBtnTest));
    EXPECT_FALSE(SurfaceScan::IsRunning());

    ASSERT_NO_FATAL_FAILURE(ClearClipboard());
    HoldControl(true);
    MSG key{GetDlgItem(scan, ID_SCAN_RANGES), WM_KEYDOWN, 'C', 1, 0, {}};
    EXPECT_TRUE(ScanWindow::PreTranslate(key));
    HoldControl(false);
    const std::wstring copied = ClipboardText();
    EXPECT_EQ(copied.rfind(L"Drive\t0\r\nModel\tSCAN MODEL\r\nSerial Number\tSCAN SERIAL\r\nCapacity\t67108864 bytes\r\n"
                           L"Sector Size\t512 bytes\r\nResult\tStopped\r\nScanned\t2097152 bytes\r\n",
                           0),
              0u)
        << std::string(copied.begin(), copied.end());
    EXPECT_NE(copied.find(L"Blocks up to 50 ms\t2\r\n"), std::wstring::npos);

    SendMessageW(scan, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    EXPECT_FALSE(IsWindow(scan));
    EXPECT_EQ(ScanWindow::Window(), nullptr);
    EXPECT_EQ(FakeKernel::OpenHandles(), 0);
    EXPECT_EQ(boxes.Boxes().size(), 1u);
}

TEST_F(UiTest, ClosingTheMainWindowDuringAScanStopsItAndLeavesNothing)
{
    ScriptHangingDrive();
    ASSERT_NO_FATAL_FAILURE(Open(SW_SHOWNORMAL));
    SelectRow(0);
    Recorders::Clear();
    Command(MAKEWPARAM(ID_BTN_SCAN, BN_CLICKED));
    const HWND scan = ScanWindow::Window();
    ASSERT_NE(scan, nullptr);
    SendMessageW(scan, WM_COMMAND, MAKEWPARAM(ID_SCAN_START, BN_CLICKED), 0);
    ASSERT_TRUE(PumpUntil([] { return FakeKernel::Hanging(); }));
    UpdateWindow(scan);

    DestroyWindow(m_main);
    EXPECT_EQ(UI::MessageLoop(), 0);
    EXPECT_FALSE(IsWindow(scan));
    EXPECT_FALSE(SurfaceScan::IsRunning());
    EXPECT_EQ(SurfaceScan::Snapshot().ResultText(), L"Stopped");
    EXPECT_EQ(FakeKernel::OpenHandles(), 0) << "the drive's handle or the scan's thread left";
    EXPECT_EQ(FakeKernel::CallsOf(KernelCall::Kind::Alloc).size(), FakeKernel::CallsOf(KernelCall::Kind::Free).size());
    EXPECT_TRUE(Recorders::gdi.live.empty()) << Recorders::gdi.live.size() << " GDI objects left";
}

} // namespace
