#include "ui/Controls.h"

#include "ui/Clipboard.h"
#include "ui/GdiObject.h"
#include "ui/Theme.h"

#include <algorithm>
#include <array>

namespace {

constexpr std::size_t kButtonTextCapacity = 256;
// The focus mark sits this far inside the border, clear of the label.
constexpr int kFocusInset = 3;

// A 1-pixel outline in `colour`, drawn with a pen over a hollow brush so the face stays visible.
void DrawOutline(HDC dc, const RECT& rect, COLORREF colour)
{
    const GdiObject<HPEN> pen(CreatePen(PS_SOLID, 1, colour));
    const SelectedObject penSelection(dc, pen.Get());
    const SelectedObject brushSelection(dc, GetStockObject(NULL_BRUSH));
    Rectangle(dc, rect.left, rect.top, rect.right, rect.bottom);
}

// A top-level window of the frame and the control that had its focus when it was last active.
struct Framed {
    HWND window = nullptr;
    Controls::Keys keys = Controls::Keys::Own;
    int copyCommand = 0;
    HWND focus = nullptr;
};
// The main window, a details window and a scan window.
std::array<Framed, 3> g_framed;

// The frame's entry of `window`; with null, a free entry.
Framed* Slot(HWND window)
{
    const auto found = std::find_if(g_framed.begin(), g_framed.end(),
                                    [window](const Framed& framed) { return framed.window == window; });
    return found == g_framed.end() ? nullptr : &*found;
}

Framed* FrameOf(HWND window)
{
    return window == nullptr ? nullptr : Slot(window);
}

// An enabled owner-drawn button of `window`, which a key presses as a click would.
bool IsPressable(HWND control, HWND window)
{
    return GetParent(control) == window &&
           (GetWindowLongPtrW(control, GWL_STYLE) & BS_TYPEMASK) == BS_OWNERDRAW && IsWindowEnabled(control) != FALSE;
}

void Press(HWND window, HWND button)
{
    SendMessageW(window, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(button), BN_CLICKED), reinterpret_cast<LPARAM>(button));
}

// Going inactive, the window notes its focused control; active again, it gives the focus back
// to it, where Windows would give it to the window itself. False when there is none to give.
bool OnActivate(Framed& framed, WPARAM wParam)
{
    if (LOWORD(wParam) == WA_INACTIVE) {
        const HWND focus = GetFocus();
        framed.focus = IsChild(framed.window, focus) != FALSE ? focus : nullptr;
        return true;
    }
    if (HIWORD(wParam) != 0 || framed.focus == nullptr || IsChild(framed.window, framed.focus) == FALSE) {
        return false;
    }
    SetFocus(framed.focus);
    return true;
}

} // namespace

bool Controls::RegisterWindowClass(HINSTANCE instance, const wchar_t* name, WNDPROC procedure)
{
    WNDCLASSEXW windowClass{};
    if (GetClassInfoExW(instance, name, &windowClass) != FALSE) {
        return true;
    }
    windowClass.cbSize = sizeof(windowClass);
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = procedure;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.lpszClassName = name;
    return RegisterClassExW(&windowClass) != 0;
}

void Controls::AttachFrame(HWND window, Keys keys, int copyCommand)
{
    Framed* framed = FrameOf(window);
    if (framed == nullptr) {
        framed = Slot(nullptr);
    }
    if (framed != nullptr) {
        *framed = {window, keys, copyCommand, nullptr};
    }
}

void Controls::DetachFrame(HWND window)
{
    if (Framed* framed = FrameOf(window); framed != nullptr) {
        *framed = {};
    }
}

bool Controls::TranslateKeys(MSG& message)
{
    if (message.message < WM_KEYFIRST || message.message > WM_KEYLAST || message.hwnd == nullptr) {
        return false;
    }
    const HWND window = GetAncestor(message.hwnd, GA_ROOT);
    const Framed* framed = FrameOf(window);
    if (framed == nullptr) {
        return false;
    }
    if (message.message == WM_KEYDOWN) {
        if (framed->copyCommand != 0 && Clipboard::IsCopyKey(message.wParam)) {
            SendMessageW(window, WM_COMMAND, MAKEWPARAM(framed->copyCommand, BN_CLICKED), 0);
            return true;
        }
        if ((message.wParam == VK_RETURN || message.wParam == VK_SPACE) && IsPressable(message.hwnd, window)) {
            // A key held down repeats: one press, one click.
            constexpr LPARAM kRepeated = LPARAM{1} << 30;
            if ((message.lParam & kRepeated) == 0) {
                Press(window, message.hwnd);
            }
            return true;
        }
    }
    return framed->keys == Keys::Dialog && IsDialogMessageW(window, &message) != FALSE;
}

bool Controls::OnFrameMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result)
{
    Framed* framed = FrameOf(window);
    if (framed == nullptr) {
        return false;
    }
    result = 0;
    if (message == WM_ACTIVATE) {
        return OnActivate(*framed, wParam);
    }
    if (message == WM_DRAWITEM && framed->keys == Keys::Dialog) {
        const auto& item = *reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
        if (item.CtlType == ODT_BUTTON) {
            DrawButton(item, FocusMark::Shown);
            result = TRUE;
            return true;
        }
    }
    return false;
}

void Controls::PlaceOverOwner(HWND window, int width, int height)
{
    RECT work{};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    width = std::min<int>(width, work.right - work.left);
    height = std::min<int>(height, work.bottom - work.top);
    RECT owner{};
    GetWindowRect(GetWindow(window, GW_OWNER), &owner);
    const int x = std::clamp<int>((owner.left + owner.right - width) / 2, work.left, work.right - width);
    const int y = std::clamp<int>((owner.top + owner.bottom - height) / 2, work.top, work.bottom - height);
    SetWindowPos(window, nullptr, x, y, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
}

void Controls::FillBackground(HDC dc, const RECT& rect)
{
    const GdiObject<HBRUSH> background(CreateSolidBrush(Theme::kWindowBackground));
    FillRect(dc, &rect, background.Get());
}

void Controls::DrawButton(const DRAWITEMSTRUCT& item, FocusMark focusMark)
{
    const bool pressed = (item.itemState & ODS_SELECTED) != 0;
    const bool disabled = (item.itemState & ODS_DISABLED) != 0;
    RECT rect = item.rcItem;
    {
        const GdiObject<HBRUSH> face(CreateSolidBrush(pressed ? Theme::kButtonFacePressed : Theme::kButtonFace));
        FillRect(item.hDC, &rect, face.Get());
    }
    DrawOutline(item.hDC, rect, Theme::kButtonBorder);
    if (focusMark == FocusMark::Shown && (item.itemState & ODS_FOCUS) != 0) {
        RECT mark = rect;
        InflateRect(&mark, -kFocusInset, -kFocusInset);
        DrawOutline(item.hDC, mark, Theme::kLightText);
    }

    std::array<wchar_t, kButtonTextCapacity> text{};
    GetWindowTextW(item.hwndItem, text.data(), static_cast<int>(text.size()));
    SetBkMode(item.hDC, TRANSPARENT);
    SetTextColor(item.hDC, disabled ? Theme::kDisabledText : Theme::kLightText);
    if (pressed) {
        OffsetRect(&rect, 1, 1);
    }
    DrawTextW(item.hDC, text.data(), -1, &rect, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
}
