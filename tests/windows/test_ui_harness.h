#pragma once

#include "FakeKernel.h"
#include "ui/UI.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

// What the UI tests need around the real window: recorders spliced into this executable's own
// import table (the program's code and the tests' share it, so every call the UI makes to
// these functions passes through them), a capture of message boxes, and a fixture that opens
// the main window over fake drives.

struct CreatedWindow {
    DWORD exStyle = 0;
    std::wstring className;
    std::wstring text;
    DWORD style = 0;
    int x = 0, y = 0, width = 0, height = 0;
    HWND parent = nullptr;
    INT_PTR id = 0;
    HWND result = nullptr;
};

struct ListSetupMessage {
    UINT message = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
    LVCOLUMNW column{};       // for LVM_INSERTCOLUMNW, the column as handed over
    std::wstring title;
};

struct EnableCall {
    HWND window = nullptr;
    bool enable = false;
};

// GDI objects this executable made and deleted, by the calls it made itself.
struct GdiTally {
    int created = 0;
    int deleted = 0;
    int foreignDeletes = 0;   // deletions of objects it did not make (a stock object, say)
    std::set<HGDIOBJ> live;   // made and not deleted yet
};

class Recorders {
public:
    Recorders() = delete;

    // Splices the recorders in, once per process; a recorder passes every call on unchanged.
    static void Install();
    // Names of the functions this executable imports from `dll`.
    static std::vector<std::string> Imports(const char* dll);
    // The functions whose creations and deletions GdiTally counts.
    static const std::set<std::string>& CountedGdiCalls();

    static std::vector<CreatedWindow> created;
    static std::vector<ListSetupMessage> sent;   // messages sent to windows of class SysListView32
    static std::vector<EnableCall> enabled;
    static GdiTally gdi;

    static void Clear();
};

struct CapturedBox {
    std::wstring caption;
    std::wstring text;
    HWND owner = nullptr;
    HICON icon = nullptr;
    std::vector<int> buttons;     // identifiers of the box's push buttons
    bool testEnabled = false;     // the state of the two command buttons when the box appeared
    bool refreshEnabled = false;
};

// Records each message box while it exists and closes it with `answer` (OK, or Yes or No) as
// soon as it is active, so that no modal box is ever left waiting for a person.
class MessageBoxCapture {
public:
    explicit MessageBoxCapture(int answer = IDOK);
    MessageBoxCapture(const MessageBoxCapture&) = delete;
    MessageBoxCapture& operator=(const MessageBoxCapture&) = delete;
    ~MessageBoxCapture();

    const std::vector<CapturedBox>& Boxes() const;
    // Boxes that were created and are still windows.
    int StillOpen() const;

private:
    HHOOK m_hook;
};

// The main window, opened over fake drives that each test scripts first.
class UiTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Registers the class and opens the main window; the fake drives must be scripted before.
    // Hidden unless a test paints: Wine without a window manager waits two seconds for every
    // shown window to be withdrawn when it is destroyed.
    void Open(int showCommand = SW_HIDE);
    void Command(WPARAM wParam);
    // Row count as the list view itself reports it.
    int Rows() const;
    // Selects `row` and gives it the focus, or takes both off it; row -1 stands for every row.
    void SelectRow(int row, bool selected = true);

    HWND m_main = nullptr;
};

// Every window this thread owns, its children included.
int CountThreadWindows();
// A control's rectangle in its parent's client coordinates.
RECT ChildRect(HWND child);
// Sends `notification` (an NMHDR and what follows it) to the main window as the list sends
// it, or as the control `sender` does.
template <class Notification>
LRESULT NotifyFromList(HWND main, Notification& notification, UINT code, UINT_PTR sender = ID_LISTVIEW)
{
    auto& header = reinterpret_cast<NMHDR&>(notification);
    header.hwndFrom = UI::s_hwndList;
    header.idFrom = sender;
    header.code = code;
    return SendMessageW(main, WM_NOTIFY, sender, reinterpret_cast<LPARAM>(&notification));
}
// The clipboard's CF_UNICODETEXT, "(no text)" when it holds none.
std::wstring ClipboardText();
void ClearClipboard();
// A key (Ctrl, Shift) held down or not, as this thread's messages see it.
void HoldKey(int virtualKey, bool held);
// Dispatches this thread's messages as the program's loop does until `done` or `milliseconds`
// have passed; whether done.
bool PumpUntil(const std::function<bool()>& done, DWORD milliseconds = 20'000);
// The text of one cell as the window answers LVN_GETDISPINFOW into a buffer of `capacity`.
std::wstring CellOf(HWND main, int row, int column, int capacity = 260);
