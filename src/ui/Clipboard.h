#pragma once

#include <windows.h>

#include <string_view>

// Copying what a window shows: the text goes to the clipboard only, never to a file.
class Clipboard {
public:
    Clipboard() = delete;

    // Replaces the clipboard's contents with `text` as CF_UNICODETEXT, `owner` holding the
    // clipboard meanwhile. When the clipboard did not open or did not take the text, says so
    // in an error box owned by `owner` and returns false.
    static bool Copy(HWND owner, std::wstring_view text);

    // Whether a WM_KEYDOWN of `key` is Ctrl+C.
    static bool IsCopyKey(WPARAM key);
};
