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

    // Registers a window class of `name` with the program's usual cursor and styles, once for
    // the life of the process. It has no brush: Windows would delete a class's brush with the
    // class, so each window paints its own background.
    static bool RegisterWindowClass(HINSTANCE instance, const wchar_t* name, WNDPROC procedure);

    // Whether a WM_COMMAND is a click: owner-drawn buttons send BN_DOUBLECLICKED after the
    // BN_CLICKED of a double click, which must not act twice.
    static bool IsClick(WPARAM wParam) { return HIWORD(wParam) == BN_CLICKED; }

    // The frame every top-level window of the program shares, driven by the one message loop.
    // Every window keeps its focused control across activations, and Enter or Space on a
    // focused button presses it. A window worked as a dialog box also takes Tab and Shift+Tab
    // between its controls, Escape as its IDCANCEL and Ctrl+C anywhere in it as `copyCommand`,
    // and shows the focus on its buttons.
    enum class Keys { Own, Dialog };
    static void AttachFrame(HWND window, Keys keys, int copyCommand = 0);
    // Before the window goes.
    static void DetachFrame(HWND window);
    // The loop's look at every message before it is dispatched: a key goes to the top-level
    // window it was typed in. True when the message was taken and must not be dispatched.
    static bool TranslateKeys(MSG& message);
    // The messages the frame answers for a window attached to it (WM_ACTIVATE, and the
    // buttons' WM_DRAWITEM of a dialog); true, with `result`, when it answered.
    static bool OnFrameMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result);
};
