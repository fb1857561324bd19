#pragma once

#include "diskinfo/DiskInfo.h"
#include "disktest/SurfaceScan.h"

#include <windows.h>
#include <commctrl.h>

#include <string>

// Control identifiers of the scan window's children. Its Close button is IDCANCEL, the command
// that Escape gives as well.
constexpr int ID_SCAN_START = 1201;
constexpr int ID_SCAN_COPY = 1202;
constexpr int ID_SCAN_RANGES = 1203;
constexpr int ID_SCAN_CHECK_LOGGED = 1204;
constexpr int ID_SCAN_FIND_FILES = 1205;
constexpr int ID_SCAN_FILES = 1206;

// Sent to the owner when a scan starts (wParam TRUE) and when it has ended (FALSE), lParam the
// drive's number: while one runs, a read test would falsify both figures, and the drive's other
// requests would wait behind the scan's read.
constexpr UINT WM_SCAN_RUNNING = WM_APP + 1;

// The surface scan of one drive in a window of its own, owned by the main window but not modal:
// the heading, a progress bar and status line, the block map with its legend, the rate plot and
// the unreadable ranges, with Start (Stop while it runs), Check Logged LBAs, Find Files, Copy and
// Close; after a check, the logged LBAs where the ranges are; once Find Files has run, the files
// on the unreadable ranges where the plot is. One at a time. It never
// waits for the scan's thread: a Stop shows how long the drive has kept it waiting, and a Close
// while the thread is still in a read closes the window once the thread has ended.
class ScanWindow {
public:
    ScanWindow() = delete;

    // Opens the window for `drive`, of `geometry`, owned by `owner`; false when it could not be
    // made. While one is open, does nothing.
    static bool Open(HWND owner, const DriveInfo& drive, const SurfaceScan::Geometry& geometry);
    // The open window, or null.
    static HWND Window();
    // Whether a scan runs that nobody has asked to stop: its result would be lost unasked.
    static bool IsScanning();
    // Asks whether to stop the running scan and lose its result, in a box owned by `owner`.
    static bool ConfirmStop(HWND owner);
    // What the status line shows now.
    static std::wstring StatusText();

    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    static void OnCreate(HWND hwnd);
    static void OnSize(HWND hwnd);
    static void OnPaint(HWND hwnd);
    static void OnCommand(HWND hwnd, int controlId);
    static LRESULT OnNotify(HWND hwnd, NMHDR* header);
    static void OnProgress(HWND hwnd);
    static void OnTimer(HWND hwnd);
    static void OnClose(HWND hwnd);
    static void OnDestroy(HWND hwnd);
    static void OnGetMinMaxInfo(MINMAXINFO& limits);
};
