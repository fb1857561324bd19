// A thousand paintings of the buttons and a thousand refreshes leave no GDI object and no
// window behind. Wine's GetGuiResources always answers 0, so the counts come from this
// executable's own calls, which the recorders see through its import table.
#include "test_ui_harness.h"

#include <functional>
#include <string>

namespace {

constexpr int kRounds = 1000;

void PumpMessages()
{
    MSG message{};
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

TEST_F(UiTest, ThousandDrawingsAndRefreshesLeaveNothingBehind)
{
    // Every GDI call that could make an object is counted, or the tally could miss one.
    for (const std::string& name : Recorders::Imports("gdi32.dll")) {
        if (name.find("Create") != std::string::npos) {
            EXPECT_EQ(Recorders::CountedGdiCalls().count(name), 1u) << name << " makes objects the tally misses";
        }
    }

    FakeKernel::Drive(0);
    FakeKernel::Drive(3);
    ASSERT_NO_FATAL_FAILURE(Open(SW_SHOWNORMAL));
    PumpMessages();
    const int windows = CountThreadWindows();
    ASSERT_GE(windows, 4);

    struct Case {
        const char* name;
        std::function<void(int)> round;
        int minimumCreated;   // what the rounds cannot do with less
    };
    const Case cases[] = {
        {"button drawings",
         [](int round) {
             const HWND button = round % 2 == 0 ? UI::s_hwndBtnRefresh : UI::s_hwndBtnTest;
             InvalidateRect(button, nullptr, FALSE);
             UpdateWindow(button);
         },
         2 * kRounds},
        {"refreshes",
         [this](int) {
             Command(MAKEWPARAM(1001, BN_CLICKED));
             UpdateWindow(UI::s_hwndList);
         },
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Recorders::Clear();
        for (int round = 0; round < kRounds; ++round) {
            c.round(round);
        }
        PumpMessages();
        const GdiTally& gdi = Recorders::gdi;
        EXPECT_GE(gdi.created, c.minimumCreated);
        EXPECT_EQ(gdi.created, gdi.deleted);
        EXPECT_TRUE(gdi.live.empty()) << gdi.live.size() << " objects not deleted";
        EXPECT_EQ(gdi.foreignDeletes, 0);
        EXPECT_EQ(CountThreadWindows(), windows);
        EXPECT_EQ(Rows(), 2);
    }
    EXPECT_EQ(FakeKernel::OpenHandles(), 0);
}

} // namespace
