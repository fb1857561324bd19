#pragma once

#include <windows.h>

// The dark theme that both windows share, as COLORREF (0x00BBGGRR).
class Theme {
public:
    Theme() = delete;

    static constexpr COLORREF kWindowBackground = 0x1E1E1E;
    static constexpr COLORREF kLightText = 0xDCDCDC;
    static constexpr COLORREF kListBackground = 0x282828;
    static constexpr COLORREF kButtonFace = 0x3C3C3C;
    static constexpr COLORREF kButtonFacePressed = 0x505050;
    static constexpr COLORREF kButtonBorder = 0x646464;
    static constexpr COLORREF kDisabledText = 0x808080;
    static constexpr COLORREF kGood = 0x00C800;
    static constexpr COLORREF kCaution = 0x00B4FF;
    static constexpr COLORREF kBad = 0x3232FF;
    static constexpr COLORREF kSelectedBackground = 0xD77800;
    static constexpr COLORREF kSelectedText = 0xFFFFFF;
};
