#include "ui/DarkList.h"

#include "ui/Controls.h"
#include "ui/Theme.h"

#include <algorithm>
#include <string_view>

namespace {

constexpr DWORD kListExStyle = LVS_EX_FULLROWSELECT | LVS_EX_DOUBLEBUFFER;
static_assert(kListExStyle == 0x10020);

// Asked of the list itself: the state a notification reports differs between versions of
// the control.
bool IsSelected(HWND list, std::size_t row)
{
    return (SendMessageW(list, LVM_GETITEMSTATE, row, LVIS_SELECTED) & LVIS_SELECTED) != 0;
}

void ColourCell(NMLVCUSTOMDRAW& draw, DarkList::TextColour colour)
{
    const auto row = static_cast<std::size_t>(draw.nmcd.dwItemSpec);
    if (IsSelected(draw.nmcd.hdr.hwndFrom, row)) {
        draw.clrText = Theme::kSelectedText;
        draw.clrTextBk = Theme::kSelectedBackground;
    } else {
        draw.clrText = colour(row, draw.iSubItem, draw.clrText);
        draw.clrTextBk = Theme::kListBackground;
    }
}

// Whether `text` starts with (or, unless `partial`, is) `typed`, ignoring case.
bool Matches(std::wstring_view text, std::wstring_view typed, bool partial)
{
    if (text.size() < typed.size() || (!partial && text.size() != typed.size())) {
        return false;
    }
    return CompareStringOrdinal(text.data(), static_cast<int>(typed.size()), typed.data(),
                                static_cast<int>(typed.size()), TRUE) == CSTR_EQUAL;
}

} // namespace

HWND DarkList::Create(HWND parent, int id, DWORD style, int x, int y, int width, int height)
{
    const HWND list = CreateWindowExW(WS_EX_CLIENTEDGE, WC_LISTVIEWW, L"", style, x, y, width, height, parent,
                                      Controls::Id(id), Controls::InstanceOf(parent), nullptr);
    SendMessageW(list, LVM_SETEXTENDEDLISTVIEWSTYLE, 0, kListExStyle);
    SendMessageW(list, LVM_SETBKCOLOR, 0, Theme::kListBackground);
    SendMessageW(list, LVM_SETTEXTBKCOLOR, 0, Theme::kListBackground);
    SendMessageW(list, LVM_SETTEXTCOLOR, 0, Theme::kLightText);
    return list;
}

void DarkList::AddColumn(HWND list, int position, const wchar_t* title, int width)
{
    LVCOLUMNW column{};
    column.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT | LVCF_SUBITEM;
    column.fmt = LVCFMT_LEFT;
    column.cx = width;
    column.pszText = const_cast<wchar_t*>(title);
    column.iSubItem = position;
    SendMessageW(list, LVM_INSERTCOLUMNW, static_cast<WPARAM>(position), reinterpret_cast<LPARAM>(&column));
}

LRESULT DarkList::OnCustomDraw(NMLVCUSTOMDRAW& draw, TextColour colour)
{
    switch (draw.nmcd.dwDrawStage) {
    case CDDS_PREPAINT:
        return CDRF_NOTIFYITEMDRAW;
    case CDDS_ITEMPREPAINT:
        // A row reported selected (or focused) here is painted in the system's selection
        // colours over the cells' own, grey once the list has lost the focus: the cells
        // paint the selection themselves instead.
        draw.nmcd.uItemState &= ~static_cast<UINT>(CDIS_SELECTED | CDIS_FOCUS);
        return CDRF_NOTIFYSUBITEMDRAW;
    case CDDS_ITEMPREPAINT | CDDS_SUBITEM:
        ColourCell(draw, colour);
        return CDRF_NEWFONT;
    default:
        return CDRF_DODEFAULT;
    }
}

LRESULT DarkList::FindRow(const NMLVFINDITEMW& find, std::size_t count, RowText textOf)
{
    // Windows asks with LVFI_SUBSTRING (the same as LVFI_PARTIAL) when the user types, and a
    // search that only wraps is a string search too.
    constexpr UINT kStringSearch = LVFI_STRING | LVFI_PARTIAL | kFindSubstring | LVFI_WRAP;
    constexpr UINT kPrefixSearch = LVFI_PARTIAL | kFindSubstring;
    const LVFINDINFOW& info = find.lvfi;
    const bool wraps = (info.flags & LVFI_WRAP) != 0;
    const auto first = static_cast<std::size_t>(std::max(find.iStart, 0));
    if ((info.flags & kStringSearch) == 0 || info.psz == nullptr || count == 0 || (first >= count && !wraps)) {
        return -1;
    }
    const std::size_t start = first < count ? first : 0;
    const std::size_t tries = wraps ? count : count - start;
    for (std::size_t step = 0; step < tries; ++step) {
        const std::size_t row = (start + step) % count;
        if (Matches(textOf(row), info.psz, (info.flags & kPrefixSearch) != 0)) {
            return static_cast<LRESULT>(row);
        }
    }
    return -1;
}
