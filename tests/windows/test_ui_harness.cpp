#include "test_ui_harness.h"

#include "ui/ScanWindow.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <span>

std::vector<CreatedWindow> Recorders::created;
std::vector<ListSetupMessage> Recorders::sent;
std::vector<EnableCall> Recorders::enabled;
GdiTally Recorders::gdi;

namespace {

// The import address table entries of this executable for `dll`, with the names they import.
struct ImportSlot {
    std::string name;
    ULONGLONG* slot = nullptr;
};

std::vector<ImportSlot> ImportSlots(const char* dll)
{
    auto* const base = reinterpret_cast<std::uint8_t*>(GetModuleHandleW(nullptr));
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    std::vector<ImportSlot> slots;
    for (auto* module = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress);
         module->Name != 0; ++module) {
        if (_stricmp(reinterpret_cast<const char*>(base + module->Name), dll) != 0) {
            continue;
        }
        const auto* names = reinterpret_cast<const IMAGE_THUNK_DATA64*>(base + module->OriginalFirstThunk);
        auto* addresses = reinterpret_cast<IMAGE_THUNK_DATA64*>(base + module->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++addresses) {
            if (IMAGE_SNAP_BY_ORDINAL64(names->u1.Ordinal)) {
                continue;
            }
            const auto* byName = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            slots.push_back({reinterpret_cast<const char*>(byName->Name), &addresses->u1.Function});
        }
    }
    return slots;
}

// Points this executable's import of `dll`!`name` at `replacement`; returns the function it
// pointed at before, or null when the executable does not import it.
template <class Function>
Function Splice(const char* dll, const char* name, Function replacement)
{
    for (const ImportSlot& import : ImportSlots(dll)) {
        if (import.name != name) {
            continue;
        }
        DWORD protection = 0;
        VirtualProtect(import.slot, sizeof(*import.slot), PAGE_READWRITE, &protection);
        const ULONGLONG previous = std::exchange(*import.slot, reinterpret_cast<ULONGLONG>(replacement));
        VirtualProtect(import.slot, sizeof(*import.slot), protection, &protection);
        return reinterpret_cast<Function>(previous);
    }
    return nullptr;
}

decltype(&CreateWindowExW) g_createWindowExW;
decltype(&SendMessageW) g_sendMessageW;
decltype(&EnableWindow) g_enableWindow;
decltype(&CreateSolidBrush) g_createSolidBrush;
decltype(&CreatePen) g_createPen;
decltype(&DeleteObject) g_deleteObject;
decltype(&CreateCompatibleDC) g_createCompatibleDC;
decltype(&DeleteDC) g_deleteDC;
decltype(&CreateDIBSection) g_createDIBSection;
decltype(&CreateCompatibleBitmap) g_createCompatibleBitmap;

bool IsListView(HWND window)
{
    std::array<wchar_t, 64> name{};
    GetClassNameW(window, name.data(), static_cast<int>(name.size()));
    return std::wstring(name.data()) == WC_LISTVIEWW;
}

HWND WINAPI RecordCreateWindowExW(DWORD exStyle, LPCWSTR className, LPCWSTR text, DWORD style, int x, int y,
                                  int width, int height, HWND parent, HMENU menu, HINSTANCE instance, LPVOID param)
{
    const CreatedWindow call{exStyle,
                       IS_INTRESOURCE(className) ? L"#atom" : className,
                       text != nullptr ? text : L"",
                       style, x, y, width, height, parent,
                       reinterpret_cast<INT_PTR>(menu)};
    // Recorded before the call: creating the main window creates its children meanwhile.
    const std::size_t index = Recorders::created.size();
    Recorders::created.push_back(call);
    const HWND result =
        g_createWindowExW(exStyle, className, text, style, x, y, width, height, parent, menu, instance, param);
    Recorders::created[index].result = result;
    return result;
}

LRESULT WINAPI RecordSendMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (IsListView(window)) {
        ListSetupMessage sent{message, wParam, lParam, {}, {}};
        if (message == LVM_INSERTCOLUMNW) {
            sent.column = *reinterpret_cast<const LVCOLUMNW*>(lParam);
            sent.title = sent.column.pszText;
        }
        Recorders::sent.push_back(sent);
    }
    return g_sendMessageW(window, message, wParam, lParam);
}

BOOL WINAPI RecordEnableWindow(HWND window, BOOL enable)
{
    Recorders::enabled.push_back({window, enable != FALSE});
    return g_enableWindow(window, enable);
}

template <class Handle>
Handle Made(Handle object)
{
    if (object != nullptr) {
        ++Recorders::gdi.created;
        Recorders::gdi.live.insert(object);
    }
    return object;
}

HBRUSH WINAPI CountCreateSolidBrush(COLORREF colour)
{
    return Made(g_createSolidBrush(colour));
}

HPEN WINAPI CountCreatePen(int style, int width, COLORREF colour)
{
    return Made(g_createPen(style, width, colour));
}

HDC WINAPI CountCreateCompatibleDC(HDC dc)
{
    return Made(g_createCompatibleDC(dc));
}

HBITMAP WINAPI CountCreateDIBSection(HDC dc, const BITMAPINFO* info, UINT usage, void** bits, HANDLE section,
                                     DWORD offset)
{
    return Made(g_createDIBSection(dc, info, usage, bits, section, offset));
}

HBITMAP WINAPI CountCreateCompatibleBitmap(HDC dc, int width, int height)
{
    return Made(g_createCompatibleBitmap(dc, width, height));
}

BOOL Unmade(HGDIOBJ object, BOOL deleted)
{
    if (deleted != FALSE) {
        if (Recorders::gdi.live.erase(object) == 1) {
            ++Recorders::gdi.deleted;
        } else {
            ++Recorders::gdi.foreignDeletes;
        }
    }
    return deleted;
}

BOOL WINAPI CountDeleteObject(HGDIOBJ object)
{
    return Unmade(object, g_deleteObject(object));
}

BOOL WINAPI CountDeleteDC(HDC dc)
{
    return Unmade(dc, g_deleteDC(dc));
}

// The open capture; boxes are modal, so there is only ever one.
struct Capture {
    std::vector<CapturedBox> boxes;
    std::vector<HWND> dialogs;   // parallel to boxes
    std::set<HWND> closed;
    int answer = IDOK;
};
Capture* g_capture = nullptr;

bool IsDialogClass(LPCWSTR className)
{
    constexpr ULONG_PTR kDialogAtom = 0x8002;
    return IS_INTRESOURCE(className) ? reinterpret_cast<ULONG_PTR>(className) == kDialogAtom
                                     : std::wstring(className) == L"#32770";
}

std::wstring WindowText(HWND window)
{
    std::array<wchar_t, 512> text{};
    GetWindowTextW(window, text.data(), static_cast<int>(text.size()));
    return text.data();
}

BOOL CALLBACK ReadBoxChild(HWND child, LPARAM lParam)
{
    auto& box = *reinterpret_cast<CapturedBox*>(lParam);
    std::array<wchar_t, 64> name{};
    GetClassNameW(child, name.data(), static_cast<int>(name.size()));
    const auto style = static_cast<DWORD>(GetWindowLongPtrW(child, GWL_STYLE));
    if (_wcsicmp(name.data(), L"Static") == 0) {
        if ((style & SS_TYPEMASK) == SS_ICON) {
            box.icon = reinterpret_cast<HICON>(SendMessageW(child, STM_GETICON, 0, 0));
        } else if (const std::wstring text = WindowText(child); !text.empty()) {
            box.text = text;
        }
    } else if (_wcsicmp(name.data(), L"Button") == 0 && (style & WS_VISIBLE) != 0) {
        box.buttons.push_back(GetDlgCtrlID(child));
    }
    return TRUE;
}

LRESULT CALLBACK BoxHook(int code, WPARAM wParam, LPARAM lParam)
{
    if (g_capture != nullptr && code == HCBT_CREATEWND &&
        IsDialogClass(reinterpret_cast<const CBT_CREATEWNDW*>(lParam)->lpcs->lpszClass)) {
        CapturedBox box;
        box.testEnabled = IsWindowEnabled(UI::s_hwndBtnTest) != FALSE;
        box.refreshEnabled = IsWindowEnabled(UI::s_hwndBtnRefresh) != FALSE;
        g_capture->boxes.push_back(box);
        g_capture->dialogs.push_back(reinterpret_cast<HWND>(wParam));
    } else if (g_capture != nullptr && code == HCBT_ACTIVATE) {
        const auto dialog = reinterpret_cast<HWND>(wParam);
        const auto it = std::find(g_capture->dialogs.begin(), g_capture->dialogs.end(), dialog);
        if (it != g_capture->dialogs.end() && g_capture->closed.insert(dialog).second) {
            CapturedBox& box = g_capture->boxes[static_cast<std::size_t>(it - g_capture->dialogs.begin())];
            box.caption = WindowText(dialog);
            box.owner = GetWindow(dialog, GW_OWNER);
            EnumChildWindows(dialog, ReadBoxChild, reinterpret_cast<LPARAM>(&box));
            const int answer = g_capture->answer;
            PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(answer, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(dialog, answer)));
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

BOOL CALLBACK CountWindow(HWND, LPARAM lParam)
{
    ++*reinterpret_cast<int*>(lParam);
    return TRUE;
}

// EnumChildWindows already walks every descendant.
BOOL CALLBACK CountTopWindow(HWND window, LPARAM lParam)
{
    ++*reinterpret_cast<int*>(lParam);
    EnumChildWindows(window, CountWindow, lParam);
    return TRUE;
}

} // namespace

void Recorders::Install()
{
    static const bool installed = [] {
        g_createWindowExW = Splice("user32.dll", "CreateWindowExW", &RecordCreateWindowExW);
        g_sendMessageW = Splice("user32.dll", "SendMessageW", &RecordSendMessageW);
        g_enableWindow = Splice("user32.dll", "EnableWindow", &RecordEnableWindow);
        g_createSolidBrush = Splice("gdi32.dll", "CreateSolidBrush", &CountCreateSolidBrush);
        g_createPen = Splice("gdi32.dll", "CreatePen", &CountCreatePen);
        g_deleteObject = Splice("gdi32.dll", "DeleteObject", &CountDeleteObject);
        g_createCompatibleDC = Splice("gdi32.dll", "CreateCompatibleDC", &CountCreateCompatibleDC);
        g_deleteDC = Splice("gdi32.dll", "DeleteDC", &CountDeleteDC);
        g_createDIBSection = Splice("gdi32.dll", "CreateDIBSection", &CountCreateDIBSection);
        g_createCompatibleBitmap = Splice("gdi32.dll", "CreateCompatibleBitmap", &CountCreateCompatibleBitmap);
        return g_createWindowExW != nullptr && g_sendMessageW != nullptr && g_enableWindow != nullptr &&
               g_createSolidBrush != nullptr && g_createPen != nullptr && g_deleteObject != nullptr &&
               g_createCompatibleDC != nullptr && g_deleteDC != nullptr && g_createDIBSection != nullptr &&
               g_createCompatibleBitmap != nullptr;
    }();
    ASSERT_TRUE(installed) << "an import to record is missing from the executable";
}

std::vector<std::string> Recorders::Imports(const char* dll)
{
    std::vector<std::string> names;
    for (const ImportSlot& import : ImportSlots(dll)) {
        names.push_back(import.name);
    }
    return names;
}

const std::set<std::string>& Recorders::CountedGdiCalls()
{
    static const std::set<std::string> calls{"CreateSolidBrush", "CreatePen",    "CreateCompatibleDC",
                                             "CreateDIBSection", "DeleteObject", "DeleteDC",
                                             "CreateCompatibleBitmap"};
    return calls;
}

void Recorders::Clear()
{
    created.clear();
    sent.clear();
    enabled.clear();
    gdi = GdiTally{};
}

MessageBoxCapture::MessageBoxCapture(int answer) : m_hook(SetWindowsHookExW(WH_CBT, BoxHook, nullptr, GetCurrentThreadId()))
{
    static Capture capture;
    capture = Capture{};
    capture.answer = answer;
    g_capture = &capture;
    EXPECT_NE(m_hook, nullptr);
}

MessageBoxCapture::~MessageBoxCapture()
{
    UnhookWindowsHookEx(m_hook);
    g_capture = nullptr;
}

const std::vector<CapturedBox>& MessageBoxCapture::Boxes() const
{
    return g_capture->boxes;
}

int MessageBoxCapture::StillOpen() const
{
    return static_cast<int>(std::count_if(g_capture->dialogs.begin(), g_capture->dialogs.end(),
                                          [](HWND dialog) { return IsWindow(dialog) != FALSE; }));
}

void UiTest::SetUp()
{
    ASSERT_NO_FATAL_FAILURE(Recorders::Install());
    FakeKernel::Reset();
    Recorders::Clear();
}

void UiTest::TearDown()
{
    if (m_main != nullptr && IsWindow(m_main)) {
        DestroyWindow(m_main);
        EXPECT_EQ(UI::MessageLoop(), 0);
    }
    UnregisterClassW(L"OstrevaneClass", GetModuleHandleW(nullptr));
}

void UiTest::Open(int showCommand)
{
    ASSERT_TRUE(UI::Initialize(GetModuleHandleW(nullptr)));
    m_main = UI::CreateMainWindow(showCommand);
    ASSERT_NE(m_main, nullptr);
}

void UiTest::Command(WPARAM wParam)
{
    SendMessageW(m_main, WM_COMMAND, wParam, 0);
}

int UiTest::Rows() const
{
    return static_cast<int>(SendMessageW(UI::s_hwndList, LVM_GETITEMCOUNT, 0, 0));
}

void UiTest::SelectRow(int row, bool selected)
{
    LVITEMW item{};
    item.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
    item.state = selected ? LVIS_SELECTED | LVIS_FOCUSED : 0;
    SendMessageW(UI::s_hwndList, LVM_SETITEMSTATE, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
}

int CountThreadWindows()
{
    int count = 0;
    EnumThreadWindows(GetCurrentThreadId(), CountTopWindow, reinterpret_cast<LPARAM>(&count));
    return count;
}

RECT ChildRect(HWND child)
{
    RECT rect{};
    GetWindowRect(child, &rect);
    MapWindowPoints(nullptr, GetParent(child), reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}

std::wstring CellOf(HWND main, int row, int column, int capacity)
{
    std::vector<wchar_t> buffer(static_cast<std::size_t>(capacity) + 1, L'\0');
    NMLVDISPINFOW info{};
    info.item.mask = LVIF_TEXT;
    info.item.iItem = row;
    info.item.iSubItem = column;
    info.item.pszText = buffer.data();
    info.item.cchTextMax = capacity;
    NotifyFromList(main, info, LVN_GETDISPINFOW);
    return buffer.data();
}

std::wstring ClipboardText()
{
    if (OpenClipboard(nullptr) == FALSE) {
        return L"(clipboard not opened)";
    }
    std::wstring text = L"(no text)";
    if (const HANDLE data = GetClipboardData(CF_UNICODETEXT); data != nullptr) {
        if (const auto* chars = static_cast<const wchar_t*>(GlobalLock(data)); chars != nullptr) {
            text = chars;
            GlobalUnlock(data);
        }
    }
    CloseClipboard();
    return text;
}

void ClearClipboard()
{
    ASSERT_TRUE(OpenClipboard(nullptr));
    EmptyClipboard();
    CloseClipboard();
}

void HoldKey(int virtualKey, bool held)
{
    std::array<BYTE, 256> keys{};
    GetKeyboardState(keys.data());
    keys[static_cast<std::size_t>(virtualKey)] = held ? 0x80 : 0;
    SetKeyboardState(keys.data());
}

bool PumpUntil(const std::function<bool()>& done, DWORD milliseconds)
{
    const ULONGLONG until = GetTickCount64() + milliseconds;
    while (!done()) {
        if (GetTickCount64() > until) {
            return false;
        }
        MSG message{};
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            UI::Dispatch(message);
        }
        ::Sleep(1);
    }
    return true;
}
