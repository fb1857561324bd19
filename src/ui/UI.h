#pragma once

#include "diskinfo/DiskInfo.h"
#include "ui/GdiObject.h"

#include <windows.h>
#include <commctrl.h>

#include <vector>

// Control identifiers of the main window's children.
constexpr int ID_BTN_REFRESH = 1001;
constexpr int ID_BTN_TEST = 1002;
constexpr int ID_LISTVIEW = 1003;

// The whole user interface: one main window with the drive list and two buttons, driven by
// its window procedure on the one thread that runs the message loop.
class UI {
public:
    UI() = delete;

    // Makes the background brush and registers the window class; false when registration fails.
    static bool Initialize(HINSTANCE instance);
    // Creates, shows and paints the main window; null when it could not be created.
    static HWND CreateMainWindow(int showCommand);
    // Runs until WM_QUIT, then deletes the background brush; returns the quit code.
    static int MessageLoop();

    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    static void OnCreate(HWND hwnd);
    static void OnSize(HWND hwnd);
    static void OnCommand(HWND hwnd, int controlId);
    static LRESULT OnNotify(HWND hwnd, NMHDR* header);
    static void RefreshDrives(HWND hwnd);
    static void DrawCustomButton(const DRAWITEMSTRUCT& item);
    static void RunTest(HWND hwnd);

    static HINSTANCE s_hInstance;
    static GdiObject<HBRUSH> s_hbrBg;
    static HWND s_hwndList;
    static HWND s_hwndBtnRefresh;
    static HWND s_hwndBtnTest;
    // One record per list row, in row order.
    static std::vector<DriveInfo> s_drives;

private:
    static LRESULT OnCtlColor(HDC dc);
    static void OnGetDispInfo(NMLVDISPINFOW& info);
    static LRESULT OnFindItem(const NMLVFINDITEMW& find);
};
