#pragma once

#include <windows.h>

// What every window shares in laying out and drawing its children: a margin around the list,
// and a row of owner-drawn buttons in a band below it.
class Controls {
public:
    Controls() = delete;

    static constexpr int kMargin = 10;
    static constexpr int kButtonBand = 80;        // client height below the list
    static constexpr int kButtonsFromBottom = 60; // the buttons' top edge, up from the client bottom
    static constexpr int kButtonWidth = 150;
    static constexpr int kButtonHeight = 40;

    static HMENU Id(int id) { return reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)); }

    static HINSTANCE InstanceOf(HWND window)
    {
        return reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(window, GWLP_HINSTANCE));
    }

    // A button of the shared size at `x`, `y`.
    static HWND CreateButton(HWND parent, const wchar_t* text, DWORD style, int x, int y, int id)
    {
        return CreateWindowExW(0, L"BUTTON", text, style, x, y, kButtonWidth, kButtonHeight, parent, Id(id),
                               InstanceOf(parent), nullptr);
    }

    static void Move(HWND control, int x, int y, int width, int height)
    {
        SetWindowPos(control, nullptr, x, y, width, height, SWP_NOZORDER);
    }

    // A button of the row at `x`, in a client area `clientHeight` high.
    static void MoveButton(HWND button, int x, int clientHeight)
    {
        Move(button, x, clientHeight - kButtonsFromBottom, kButtonWidth, kButtonHeight);
    }

    // Moves `window` to the centre of its owner at an outer size of `width` x `height`, or as much
    // of that as the work area has room for.
    static void PlaceOverOwner(HWND window, int width, int height);

    // Paints `rect` in the windows' dark background, for a window whose class has no brush.
    static void FillBackground(HDC dc, const RECT& rect);

    // Whether a focused button shows it. The main window's buttons never do; a window that is
    // worked with the keyboard (Tab between its buttons) must.
    enum class FocusMark { Hidden, Shown };

    // An owner-drawn button: a flat face (lighter while pressed, the label shifted a pixel),
    // a 1-pixel border, the label light, or grey while the button is disabled.
    static void DrawButton(const DRAWITEMSTRUCT& item, FocusMark focusMark);
};
