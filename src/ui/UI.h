#pragma once

#include "diskinfo/DiskInfo.h"
#include "ui/DarkList.h"
#include "ui/GdiObject.h"

#include <windows.h>
#include <commctrl.h>

#include <cstddef>
#include <optional>
#include <vector>

// Control identifiers of the main window's children.
constexpr int ID_BTN_REFRESH = 1001;
constexpr int ID_BTN_TEST = 1002;
constexpr int ID_LISTVIEW = 1003;
constexpr int ID_BTN_DETAILS = 1004;
constexpr int ID_BTN_SCAN = 1005;
constexpr int ID_HINT = 1006;

// The whole user interface: one main window with the drive list and four buttons, driven by
// its window procedure on the one thread that runs the message loop, the details window of one
// drive (DetailsWindow) and the surface scan window (ScanWindow), opened from it.
class UI {
public:
    UI() = delete;

    // Makes the background brush and registers the window class; false when registration fails.
    static bool Initialize(HINSTANCE instance);
    // Creates, shows and paints the main window; null when it could not be created.
    static HWND CreateMainWindow(int showCommand);
    // The program's one message loop: runs until WM_QUIT, waits (its messages answered) up to
    // ten seconds for a scan's thread still in a read, then deletes the background brush;
    // returns the quit code.
    static int MessageLoop();
    // One message as the loop handles it: a key goes to the top-level window it was typed in.
    static void Dispatch(MSG& message);

    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    static void OnCreate(HWND hwnd);
    static void OnClose(HWND hwnd);
    static void OnSize(HWND hwnd);
    static void OnCommand(HWND hwnd, int controlId);
    static LRESULT OnNotify(HWND hwnd, NMHDR* header);
    static void RefreshDrives(HWND hwnd);
    static void DrawCustomButton(const DRAWITEMSTRUCT& item);
    static void RunTest(HWND hwnd);
    // Opens the details window of the selected row's drive; focus goes back to the list after,
    // as the main window keeps its focused control across activations.
    static void ShowDetails(HWND hwnd);
    // Opens the surface scan window of the selected row's drive, or brings the open one forward.
    static void ShowScan(HWND hwnd);
    // A scan started or ended: the read test waits while one runs.
    static void OnScanRunning(bool running, std::int32_t drive);

    static HINSTANCE s_hInstance;
    static GdiObject<HBRUSH> s_hbrBg;
    static HWND s_hwndList;
    static HWND s_hwndBtnRefresh;
    static HWND s_hwndBtnTest;
    static HWND s_hwndBtnDetails;
    static HWND s_hwndBtnScan;
    // The line below the list about storage controllers without a driver; hidden when none.
    static HWND s_hwndHint;
    // One record per list row, in row order.
    static std::vector<DriveInfo> s_drives;

private:
    static void AwaitScanEnd();
    static LRESULT OnCtlColor(HDC dc, HWND control);
    static void OnGetDispInfo(NMLVDISPINFOW& info);
    static LRESULT OnFindItem(const NMLVFINDITEMW& find);
    static void OnListKeyDown(HWND hwnd, const NMLVKEYDOWN& key);
    static void OnDoubleClick(HWND hwnd, const NMITEMACTIVATE& click);
    // The selected row, when it has a record; with no row selected, says so in a box first.
    static std::optional<std::size_t> SelectedRow(HWND hwnd);
};
