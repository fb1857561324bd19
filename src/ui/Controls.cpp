#include "ui/Controls.h"

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

} // namespace

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
