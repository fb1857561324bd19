// The "Run Read Test" command: which drive it runs on, the buttons meanwhile, and its boxes.
#include "test_ui_harness.h"

#include <optional>
#include <string>
#include <vector>

namespace {

constexpr wchar_t kFailureText[] =
    L"Test failed. Please ensure the app is running with administrator privileges in WinPE.";

struct ExpectedBox {
    const wchar_t* caption;
    std::wstring text;
    LPCWSTR icon;
};

// How the fake drive's 25 reads go.
enum class Reads { Fails, At250_04, ClockStands, DriveGone };

void Script(FakeDrive& drive, Reads run, const std::function<void()>& duringFirstRead)
{
    // 100 MiB in 0.399936 s of a 10 MHz clock is 250.04 MiB/s.
    FakeRead first;
    first.during = duringFirstRead;
    first.ticks = run == Reads::At250_04 ? 3'999'360 : 0;
    first.fails = run == Reads::Fails || run == Reads::DriveGone;
    if (run == Reads::DriveGone) {
        first.error = ERROR_FILE_NOT_FOUND; // a drive whose link failed
    }
    drive.reads = {first};
}

std::vector<std::wstring> BenchmarkedPaths()
{
    std::vector<std::wstring> paths;
    for (const KernelCall& call : FakeKernel::CallsOf(KernelCall::Kind::Open)) {
        if ((call.flags & FILE_FLAG_NO_BUFFERING) != 0) {
            paths.push_back(call.path);
        }
    }
    return paths;
}

TEST_F(UiTest, ReadTestRunsOnTheSelectedRowsDriveAndReportsInBoxes)
{
    struct Case {
        const char* name;
        std::optional<int> selectedRow;
        Reads reads;
        std::vector<std::wstring> benchmarked;
        std::vector<ExpectedBox> boxes;
    };
    const std::wstring drive0 = L"\\\\.\\PhysicalDrive0";
    const std::wstring drive2 = L"\\\\.\\PhysicalDrive2";
    const std::vector<Case> cases{
        {"nothing selected", std::nullopt, Reads::At250_04, {},
         {{L"Information", L"Please select a drive first.", IDI_INFORMATION}}},
        {"second row at 250.04 MB/s", 1, Reads::At250_04, {drive2},
         {{L"Test Result", L"Sequential Read Speed: 250.0 MB/s", IDI_INFORMATION}}},
        {"first row fails", 0, Reads::Fails, {drive0},
         {{L"Error", kFailureText, IDI_ERROR}, {L"Test Result", L"Sequential Read Speed: Error", IDI_INFORMATION}}},
        {"second row fails", 1, Reads::Fails, {drive2},
         {{L"Error", kFailureText, IDI_ERROR}, {L"Test Result", L"Sequential Read Speed: Error", IDI_INFORMATION}}},
        {"the drive gone from its link", 1, Reads::DriveGone, {drive2},
         {{L"Error", L"The drive stopped answering (error 2)", IDI_ERROR},
          {L"Test Result", L"Sequential Read Speed: Error", IDI_INFORMATION}}},
        {"clock stands still", 0, Reads::ClockStands, {drive0},
         {{L"Test Result", L"Sequential Read Speed: 0.0 MB/s", IDI_INFORMATION}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeKernel::Reset();
        std::vector<bool> enabledDuringRead;
        const auto lookAtButtons = [&enabledDuringRead] {
            enabledDuringRead.push_back(IsWindowEnabled(UI::s_hwndBtnTest) != FALSE);
            enabledDuringRead.push_back(IsWindowEnabled(UI::s_hwndBtnRefresh) != FALSE);
            enabledDuringRead.push_back(IsWindowEnabled(UI::s_hwndBtnDetails) != FALSE);
            enabledDuringRead.push_back(IsWindowEnabled(UI::s_hwndBtnScan) != FALSE);
        };
        Script(FakeKernel::Drive(0), c.reads, lookAtButtons);
        Script(FakeKernel::Drive(2), c.reads, lookAtButtons);
        ASSERT_NO_FATAL_FAILURE(Open());
        ASSERT_EQ(Rows(), 2);
        if (c.selectedRow) {
            SelectRow(*c.selectedRow);
        }
        Recorders::Clear();
        {
            MessageBoxCapture capture;
            Command(MAKEWPARAM(1002, BN_CLICKED));
            EXPECT_EQ(capture.StillOpen(), 0);

            const std::vector<CapturedBox>& boxes = capture.Boxes();
            ASSERT_EQ(boxes.size(), c.boxes.size());
            for (std::size_t i = 0; i < boxes.size(); ++i) {
                SCOPED_TRACE(c.boxes[i].caption);
                EXPECT_EQ(boxes[i].caption, c.boxes[i].caption);
                EXPECT_EQ(boxes[i].text, c.boxes[i].text);
                EXPECT_EQ(boxes[i].owner, m_main);
                EXPECT_EQ(boxes[i].icon, LoadIconW(nullptr, c.boxes[i].icon));
                EXPECT_EQ(boxes[i].buttons, std::vector<int>{IDOK});
                EXPECT_TRUE(boxes[i].testEnabled);
                EXPECT_TRUE(boxes[i].refreshEnabled);
            }
        }
        EXPECT_EQ(BenchmarkedPaths(), c.benchmarked);
        EXPECT_EQ(FakeKernel::OpenHandles(), 0);

        // Disabled for exactly the run: test, refresh and details off, then on again.
        std::vector<std::pair<HWND, bool>> toggles;
        for (const EnableCall& call : Recorders::enabled) {
            toggles.emplace_back(call.window, call.enable);
        }
        const std::vector<std::pair<HWND, bool>> aroundRun{
            {UI::s_hwndBtnTest, false}, {UI::s_hwndBtnRefresh, false}, {UI::s_hwndBtnDetails, false},
            {UI::s_hwndBtnScan, false}, {UI::s_hwndBtnTest, true},     {UI::s_hwndBtnRefresh, true},
            {UI::s_hwndBtnDetails, true}, {UI::s_hwndBtnScan, true}};
        const bool ran = !c.benchmarked.empty();
        using Toggles = std::vector<std::pair<HWND, bool>>;
        EXPECT_EQ(toggles, ran ? aroundRun : Toggles{});
        EXPECT_EQ(enabledDuringRead, std::vector<bool>(ran ? 4 : 0, false));
        EXPECT_TRUE(IsWindowEnabled(UI::s_hwndBtnTest));
        EXPECT_TRUE(IsWindowEnabled(UI::s_hwndBtnRefresh));
        TearDown();
    }
}

TEST_F(UiTest, ReadTestWithASelectionBeyondTheRecordsDoesNothing)
{
    FakeKernel::Drive(0);
    FakeKernel::Drive(2);
    ASSERT_NO_FATAL_FAILURE(Open());
    SelectRow(1);
    // The list still shows two rows while the records have gone: no row to take a drive from.
    UI::s_drives.resize(1);
    Recorders::Clear();
    const std::size_t callsBefore = FakeKernel::Calls().size();
    MessageBoxCapture capture;
    Command(MAKEWPARAM(1002, BN_CLICKED));
    EXPECT_TRUE(capture.Boxes().empty());
    EXPECT_TRUE(Recorders::enabled.empty());
    EXPECT_EQ(FakeKernel::Calls().size(), callsBefore);
}

} // namespace
