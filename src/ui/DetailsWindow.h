#pragma once

#include "diskinfo/DiskInfo.h"

#include <windows.h>
#include <commctrl.h>

// Control identifiers of the details window's children. Its Close button is IDCANCEL, the
// command that Escape gives as well.
constexpr int ID_DETAILS_LIST = 1101;
constexpr int ID_BTN_COPY = 1102;
constexpr int ID_PARTITIONS_LIST = 1103;
constexpr int ID_LOGS_LIST = 1104;

// The details of one drive in a window of their own, modal to the main window: the heading,
// the assessment in its colour with its reasons, the table of SMART attributes or NVMe
// health-log fields (or the note that stands in its place), below it the drive's own logs and
// then the partitions with their volumes, with Copy and Close buttons. The partitions' file
// systems come when their first sectors have been read, on a thread of their own.
class DetailsWindow {
public:
    DetailsWindow() = delete;

    // Shows `details` in a window owned by `owner`, which is disabled until the window has
    // closed; false when the window could not be made. Returns at once: the program's one
    // message loop drives the window.
    static bool Show(HWND owner, DriveDetails details);

    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    static void OnCreate(HWND hwnd);
    static void OnSize(HWND hwnd);
    static void OnEraseBkgnd(HWND hwnd, HDC dc);
    static void OnPaint(HWND hwnd);
    static void OnCommand(HWND hwnd, int controlId);
    static LRESULT OnNotify(NMHDR* header);
    static void OnFileSystems(HWND hwnd);
    static void OnClose(HWND hwnd);
    static void OnGetMinMaxInfo(MINMAXINFO& limits);
};
